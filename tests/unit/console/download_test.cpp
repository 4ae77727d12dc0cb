// Downloads and command frames of the console link, on virtual time.

#include "console_fixture.h"

namespace kestro::test {
namespace {

const Bytes kHeader1{0xFF, 0x01, 0xFF, 0x01};

TEST_F(ConsoleLink, DownloadSendsHeaderThenBlocksAndReportsProgress) {
    answerDownloads();
    const std::string content = std::string(1024, 'k') + "****";
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("a.apr", content).c_str(), 0, 1), 1);
    ASSERT_TRUE(notices.waitFor({1028, 1028}));
    ASSERT_TRUE(waitServed());

    const auto w = peer.written();
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0].bytes, kHeader1);
    EXPECT_GE(w[0].atMs, 3000);  // the write thread's start delay
    EXPECT_EQ(w[1].bytes.size(), 513u);
    EXPECT_EQ(w[2].bytes.size(), 513u);
    EXPECT_EQ(w[3].bytes, (Bytes{0xFF, 0x08, 0xFF, 0x08, 0x0E}));
    EXPECT_EQ(downloads.fileData(), content);
    // One ACK each for the header and the three blocks, then the end byte.
    const std::vector<NoticeCollector::Notice> expected{{1028, 512}, {1028, 1024}, {1028, 1536}, {1028, 2048},
                                                        {1028, 1028}};
    EXPECT_EQ(notices.notices(), expected);
    EXPECT_EQ(console->transferLength(), 1028);
}

TEST_F(ConsoleLink, RefusedBlockIsSentAgain) {
    answerDownloads();
    std::string content;
    for (int i = 0; i < 1500; ++i) content.push_back(static_cast<char>('0' + i % 43));
    content += "****";
    downloads.nakBlock = 2;
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("b.apr", content).c_str(), 0, 2), 1);
    ASSERT_TRUE(notices.waitFor({1504, 1504}));
    ASSERT_TRUE(waitServed());
    const auto w = writes();
    ASSERT_EQ(w.size(), 5u);  // header, block 1, block 2, block 2 again, the final block
    EXPECT_EQ(w[2], w[3]);
    EXPECT_EQ(w[4].size(), 481u);
    EXPECT_EQ(downloads.fileData(), content);
}

TEST_F(ConsoleLink, SilentConsoleGetsTheHeaderAgainAndTheDownloadIsGivenUp) {
    downloads.silent = true;
    answerDownloads();
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("c.apr", "ABCD****").c_str(), 0, 3), 1);
    ASSERT_TRUE(notices.waitFor({1, 3}));
    ASSERT_TRUE(waitServed());
    const auto w = peer.written();
    // The console never answers: four resends of the header 2 s apart, and the fifth
    // retry gives up, 10 s after the header.
    ASSERT_EQ(w.size(), 5u);
    EXPECT_EQ(w[0].bytes, (Bytes{0xFF, 0x03, 0xFF, 0x03}));
    for (std::size_t i = 1; i < 5; ++i) {
        EXPECT_EQ(w[i].bytes, w[0].bytes) << i;
        EXPECT_EQ(w[i].atMs - w[0].atMs, static_cast<long long>(i) * 2000) << i;
    }
    EXPECT_EQ(notices.notices(), (std::vector<NoticeCollector::Notice>{{1, 3}}));
}

TEST_F(ConsoleLink, ConsoleFallingSilentMidwayGetsTheLastBlockAgain) {
    answerDownloads();
    peer.setResponder([this](const Bytes& written) {
        if (downloads.blocks.size() == 1 && !DownloadConsole::isHeader(written)) return Bytes{};
        return downloads.answer(written);
    });
    const std::string content = std::string(600, 'm') + "****";
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("d.apr", content).c_str(), 0, 4), 1);
    ASSERT_TRUE(notices.waitFor({1, 3}));
    ASSERT_TRUE(waitServed());
    const auto w = writes();
    ASSERT_EQ(w.size(), 7u);  // header, block 1, block 2 and its four resends
    for (std::size_t i = 3; i < 7; ++i) EXPECT_EQ(w[i], w[2]) << i;
    EXPECT_EQ(w[2].size(), 93u);
}

TEST_F(ConsoleLink, FileWithoutMarkerEndsAtItsEnd) {
    answerDownloads();
    const std::string content(700, 'q');
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("e.apr", content).c_str(), 0, 5), 1);
    ASSERT_TRUE(notices.waitFor({700, 1536}));  // header and both blocks acknowledged
    ASSERT_TRUE(waitServed());
    const auto w = writes();
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[2].size(), 189u);
    EXPECT_EQ(downloads.fileData(), content);
    for (const auto& n : notices.notices()) EXPECT_NE(n, (NoticeCollector::Notice{1, 3}));
}

TEST_F(ConsoleLink, UnreadableOrEmptyFileEndsTheRequestWithoutTraffic) {
    answerDownloads();
    ASSERT_EQ(console->ConsoleDownLoad((host.dir() / "missing.apr").string().c_str(), 0, 1), 1);
    ASSERT_TRUE(notices.waitFor({1, 3}));
    ASSERT_TRUE(waitServed());
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("empty.apr", "").c_str(), 0, 1), 1);
    ASSERT_TRUE(waitServed());
    ASSERT_TRUE(waitUntil([this] { return notices.notices().size() == 2; }, std::chrono::seconds(10)));
    EXPECT_EQ(notices.notices(), (std::vector<NoticeCollector::Notice>{{1, 3}, {1, 3}}));
    EXPECT_TRUE(peer.written().empty());
    EXPECT_NE(traceText().find("missing.apr"), std::string::npos);
    EXPECT_NE(traceText().find("empty.apr"), std::string::npos);
}

TEST_F(ConsoleLink, LargeFileArrivesWhole) {
    answerDownloads();
    std::string content;
    content.reserve(10 * 1024 * 1024 + 4);
    std::uint32_t x = 12345;
    while (content.size() < 10u * 1024 * 1024) {
        x = x * 1103515245u + 12345u;
        const char c = static_cast<char>((x >> 16) & 0xFF);
        content.push_back(c == '*' ? '+' : c);
    }
    content += "****";
    const int length = static_cast<int>(content.size());
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("big.apr", content).c_str(), 0, 1), 1);
    ASSERT_TRUE(notices.waitFor({static_cast<std::uintptr_t>(length), length}, std::chrono::seconds(240)));
    ASSERT_TRUE(waitServed());
    EXPECT_EQ(downloads.blocks.size(), 20481u);
    EXPECT_TRUE(downloads.fileData() == content);
}

TEST_F(ConsoleLink, ParameterFrameOfOperation9) {
    ASSERT_EQ(console->ConsoleDownLoad("", 3, 9), 1);
    ASSERT_TRUE(waitServed());
    EXPECT_EQ(writes(), (std::vector<Bytes>{{0xFF, 0x0B, 0xFF, 0x0B, 0x03, 0xFF, 0x08, 0xFF, 0x08, 0x11, 0, 0, 0}}));
    EXPECT_EQ(console->transferLength(), 512);
}

TEST_F(ConsoleLink, RequestsStoredDuringATransferAreServedAfterIt) {
    answerDownloads();
    const std::string first = std::string(2048, 'f') + "****";
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("f1.apr", first).c_str(), 0, 1), 1);
    ASSERT_TRUE(waitUntil([this] { return peer.written().size() >= 2; }, std::chrono::seconds(10)));
    // Operation 6 waits for the pending download; then a command frame follows it.
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("f2.apr", "WXYZ****").c_str(), 0, 6), 1);
    EXPECT_EQ(writes().size(), 6u);  // the first download had ended
    ASSERT_TRUE(waitUntil([this] { return peer.written().size() >= 8; }, std::chrono::seconds(10)));
    ASSERT_EQ(console->ConsoleDownLoad("", 7, 10), 1);
    ASSERT_TRUE(waitServed());
    const auto w = writes();
    ASSERT_EQ(w.size(), 6u + 2u + 1u);
    EXPECT_EQ(w[6], (Bytes{0xFF, 0x06, 0xFF, 0x06}));
    EXPECT_EQ(w[7], (Bytes{'W', 'X', 'Y', 'Z', 0xFF, 0x08, 0xFF, 0x08, 0x70}));
    EXPECT_EQ(w[8].size(), 13u);
    EXPECT_EQ(w[8][1], 0x0C);
}

TEST_F(ConsoleLink, ControlBytesOfTheConsole) {
    // 0x01 is reported at any time; 0x05 only during an upload request; 0x04 reports the
    // transfer length twice.
    ASSERT_EQ(console->ConsoleDownLoad("", 1, 9), 1);
    ASSERT_TRUE(waitServed());
    peer.send({0x05, 0x01, 0x04});
    ASSERT_TRUE(notices.waitFor({512, 512}));
    EXPECT_EQ(notices.notices(), (std::vector<NoticeCollector::Notice>{{1, 2}, {512, 512}}));
}

TEST_F(ConsoleLink, TerminateEndsBothThreadsDuringATransfer) {
    downloads.silent = true;
    answerDownloads();
    ASSERT_EQ(console->ConsoleDownLoad(makeFile("g.apr", "ABCD****").c_str(), 0, 1), 1);
    ASSERT_TRUE(waitUntil([this] { return peer.written().size() >= 3; }, std::chrono::seconds(10)));
    const auto started = std::chrono::steady_clock::now();
    console->Terminate();
    console = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(CMyProtocl::thread.load(), 0);
    const auto count = peer.written().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(peer.written().size(), count);
}

}  // namespace
}  // namespace kestro::test
