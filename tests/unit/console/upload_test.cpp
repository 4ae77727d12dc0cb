// Uploads from the console to the PC, on virtual time.

#include "console_fixture.h"

namespace kestro::test {
namespace {

const std::string kTrailer = std::string(64, '$') + "****";

// The console answers an upload request (header 16 or 17) with its start byte and the
// stream.
void answerUploads(ConsolePeer& peer, Bytes structStream, Bytes dataStream) {
    peer.setResponder([structStream, dataStream](const Bytes& written) -> Bytes {
        if (written == Bytes{0xFF, 0x10, 0xFF, 0x10}) {
            Bytes out{0x03};
            out.insert(out.end(), structStream.begin(), structStream.end());
            return out;
        }
        if (written == Bytes{0xFF, 0x11, 0xFF, 0x11}) {
            Bytes out{0x02};
            out.insert(out.end(), dataStream.begin(), dataStream.end());
            return out;
        }
        return {};
    });
}

TEST_F(ConsoleLink, BothUploadsAreWrittenWithTheirNotifications) {
    answerUploads(peer, bytesOf("x$$y$$$$"), bytesOf("\x01\x02$$$\x03$$$$"));
    const std::string dir = host.dir().string() + "/";
    ASSERT_EQ(console->ConsoleDownLoad(dir.c_str(), 0, 12), 1);
    ASSERT_TRUE(notices.waitFor({2, 4}));
    EXPECT_EQ(TempHost::readFile(host.dir() / "AprStruct.bin"), "x$$y" + kTrailer);
    EXPECT_EQ(console->operationCode(), 0);

    // A reader that has waited longer than the upload give-up when the next request
    // comes in must not carry that give-up into the next upload.
    idleFor(6000);
    ASSERT_EQ(console->ConsoleDownLoad(dir.c_str(), 0, 13), 1);
    ASSERT_TRUE(notices.waitFor({2, 3}));
    EXPECT_EQ(TempHost::readFile(host.dir() / "AprData.bin"), "\x01\x02$$$\x03" + kTrailer);
    EXPECT_EQ(notices.notices(), (std::vector<NoticeCollector::Notice>{{2, 1}, {2, 4}, {2, 2}, {2, 3}}));
    EXPECT_EQ(peer.purges(), 2);
    EXPECT_EQ(console->operationCode(), 0);
}

TEST_F(ConsoleLink, UploadThatDoesNotStartIsGivenUpAfterTwoSeconds) {
    ASSERT_EQ(console->ConsoleDownLoad((host.dir().string() + "/").c_str(), 0, 13), 1);
    ASSERT_TRUE(notices.waitFor({2, 5}));
    const auto w = peer.written();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].bytes, (Bytes{0xFF, 0x11, 0xFF, 0x11}));
    EXPECT_EQ(console->operationCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(host.dir() / "AprData.bin"));
    // A start byte arriving late belongs to no request and is dropped.
    peer.send(bytesOf("\x02zz$$$$"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(waitUntil([this] { return peer.pendingInput() == 0; }, std::chrono::seconds(10)));
    EXPECT_FALSE(std::filesystem::exists(host.dir() / "AprData.bin"));
    EXPECT_EQ(notices.notices(), (std::vector<NoticeCollector::Notice>{{2, 5}}));
}

TEST_F(ConsoleLink, StalledUploadIsCompletedAndReportedAborted) {
    answerUploads(peer, bytesOf("part$$"), {});
    ASSERT_EQ(console->ConsoleDownLoad((host.dir().string() + "/").c_str(), 0, 12), 1);
    ASSERT_TRUE(notices.waitFor({2, 5}));
    EXPECT_EQ(notices.notices(), (std::vector<NoticeCollector::Notice>{{2, 1}, {2, 5}}));
    EXPECT_EQ(TempHost::readFile(host.dir() / "AprStruct.bin"), "part$$" + kTrailer);
    EXPECT_EQ(console->operationCode(), 0);
}

TEST_F(ConsoleLink, UploadWithoutTerminatorIsCutAtTheLimitAndTheNextUploadWorks) {
    // A console that streams without ever sending the terminator: the file keeps the
    // bytes up to the limit and the upload is reported aborted; a later upload works.
    console->setUploadLimit(16);
    answerUploads(peer, Bytes(40, 'a'), bytesOf("ok$$$$"));
    const std::string dir = host.dir().string() + "/";
    ASSERT_EQ(console->ConsoleDownLoad(dir.c_str(), 0, 12), 1);
    ASSERT_TRUE(notices.waitFor({2, 5}));
    EXPECT_EQ(TempHost::readFile(host.dir() / "AprStruct.bin"), std::string(16, 'a') + kTrailer);
    EXPECT_NE(traceText().find("Console upload abandoned, longer than bytes : 16"), std::string::npos);
    EXPECT_EQ(console->operationCode(), 0);
    ASSERT_TRUE(waitUntil([this] { return peer.pendingInput() == 0; }, std::chrono::seconds(20)));

    ASSERT_EQ(console->ConsoleDownLoad(dir.c_str(), 0, 13), 1);
    ASSERT_TRUE(notices.waitFor({2, 3}));
    EXPECT_EQ(TempHost::readFile(host.dir() / "AprData.bin"), "ok" + kTrailer);
}

TEST_F(ConsoleLink, UploadSilentForFourSecondsIsAbandonedAndTheReceiverGoesOn) {
    // The start byte and "ab" answer the header; "cd" follows 3.5 to 3.9 s after "b" was
    // read (the upload goes on), the rest 4.3 s or more after "cd": the upload is
    // abandoned after 4 s of silence and the late bytes are read as control bytes.
    long long headerAt = -1;
    peer.setResponder([&](const Bytes& written) -> Bytes {
        if (written == Bytes{0xFF, 0x10, 0xFF, 0x10}) {
            headerAt = clock.nowMs();
            peer.sendAt(headerAt + 3900, bytesOf("cd"));
            peer.sendAt(headerAt + 8300, bytesOf("gh$$$$"));
            return bytesOf("\x03" "ab");
        }
        if (written == Bytes{0xFF, 0x11, 0xFF, 0x11}) return bytesOf("\x02xy$$$$");
        return {};
    });
    const std::string dir = host.dir().string() + "/";
    ASSERT_EQ(console->ConsoleDownLoad(dir.c_str(), 0, 12), 1);
    ASSERT_TRUE(notices.waitFor({2, 5}));
    EXPECT_EQ(TempHost::readFile(host.dir() / "AprStruct.bin"), "abcd" + kTrailer);
    EXPECT_NE(traceText().find("Console upload abandoned, no byte for ms : 4000"), std::string::npos);
    EXPECT_EQ(console->operationCode(), 0);
    ASSERT_TRUE(waitUntil([this] { return peer.pendingInput() == 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(TempHost::readFile(host.dir() / "AprStruct.bin"), "abcd" + kTrailer);

    // Any byte values while idle, then an upload: it is received as usual.
    Bytes every(256);
    for (int b = 0; b < 256; ++b) every[static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(b);
    peer.send(every);
    ASSERT_TRUE(waitUntil([this] { return peer.pendingInput() == 0; }, std::chrono::seconds(20)));
    ASSERT_EQ(console->ConsoleDownLoad(dir.c_str(), 0, 13), 1);
    ASSERT_TRUE(notices.waitFor({2, 3}));
    EXPECT_EQ(TempHost::readFile(host.dir() / "AprData.bin"), "xy" + kTrailer);
}

TEST_F(ConsoleLink, UploadIntoMissingDirectoryIsDrainedAndReported) {
    answerUploads(peer, bytesOf("abc$$$$"), {});
    const std::string dir = (host.dir() / "no-such-dir").string() + "/";
    ASSERT_EQ(console->ConsoleDownLoad(dir.c_str(), 0, 12), 1);
    ASSERT_TRUE(notices.waitFor({2, 5}));
    EXPECT_EQ(peer.pendingInput(), 0u);  // the stream was taken off the line
    EXPECT_NE(traceText().find("AprStruct.bin"), std::string::npos);
    EXPECT_EQ(notices.notices(), (std::vector<NoticeCollector::Notice>{{2, 5}}));

    // The link goes on normally: a download after it works.
    answerDownloads();
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("after.apr", "ABCD****").c_str(), 0, 1), 1);
    ASSERT_TRUE(notices.waitFor({8, 8}));
}

TEST_F(ConsoleLink, StartBytesOutsideTheirOperationAreDropped) {
    ASSERT_EQ(console->ConsoleDownLoad((host.dir().string() + "/").c_str(), 0, 9), 1);
    ASSERT_TRUE(waitServed());
    peer.send(bytesOf("\x03q$$$$\x02r$$$$\x01"));
    ASSERT_TRUE(notices.waitFor({1, 2}));
    EXPECT_FALSE(std::filesystem::exists(host.dir() / "AprStruct.bin"));
    EXPECT_FALSE(std::filesystem::exists(host.dir() / "AprData.bin"));
}

}  // namespace
}  // namespace kestro::test
