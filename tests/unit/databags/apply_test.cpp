// Packet apply and restore: write frames built on the last reply, the read-before-write
// conditions, NAK and silence, tube backup and restore requests, and one packet
// operation at a time.

#include <atomic>
#include <filesystem>
#include <thread>

#include "link_fixture.h"

namespace kestro::test {
namespace {

using ApplyTest = LinkTest;

TEST_F(ApplyTest, GeneratorTimeWritesSixBytesAfterARead) {
    replies[1] = {1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(IO_RefreshModelData(1, 0), 1);
    for (int i = 0; i < 7; ++i) image[231 + i] = static_cast<std::uint8_t>(0x30 + i);
    fake.clearFrames();
    ASSERT_EQ(IO_UtilityModelData(1, 0), 1);
    const auto raw = fake.frames();
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(raw[0].size(), 12u);
    EXPECT_EQ(sentFrames()[0], (Bytes{0x01, 0x01, 0x00, 0x07, 0x00, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35}));
}

struct Refusal {
    int packet;
    int param;
    bool restore;
};

TEST_F(ApplyTest, RefusalsSendNothing) {
    // Before any read: the packets whose write is built on their last reply.
    for (const Refusal r : {Refusal{1, 0, false}, Refusal{4, 1, false}, Refusal{8, 1, false}, Refusal{9, 1, false},
                            Refusal{10, 0, false}, Refusal{11, 0, false},
                            // read-only, out of range, or not writable this way
                            Refusal{2, 0, false}, Refusal{3, 0, false}, Refusal{6, 0, false}, Refusal{6, 7, false},
                            Refusal{7, 0, false}, Refusal{9, 0, true}, Refusal{14, 4, false}, Refusal{14, 260, true},
                            Refusal{16, 16, false}, Refusal{18, 1, false}, Refusal{21, 9, false}, Refusal{21, -1, true},
                            Refusal{25, 1, false}, Refusal{22, 1, true}, Refusal{4, 3, true}, Refusal{0, 1, false},
                            Refusal{26, 1, true}}) {
        SCOPED_TRACE("packet " + std::to_string(r.packet) + " param " + std::to_string(r.param) +
                     (r.restore ? " restore" : " apply"));
        const std::string before = trace();
        EXPECT_EQ(r.restore ? IO_UtilityModelData1(r.packet, r.param) : IO_UtilityModelData(r.packet, r.param), 0);
        EXPECT_TRUE(fake.frames().empty());
        const std::string lines = trace().substr(before.size());
        EXPECT_NE(lines.find(r.restore ? "Restoring Databag :  " : "Applying Databag :  "), std::string::npos);
        EXPECT_NE(lines.find(r.restore ? "RS Failed!" : "Apply Failed!"), std::string::npos);
    }
    // After a read of AEC Setup its channel must still be 1..4.
    ASSERT_EQ(IO_RefreshModelData(8, 1), 1);
    fake.clearFrames();
    EXPECT_EQ(IO_UtilityModelData(8, 5), 0);
    EXPECT_TRUE(fake.frames().empty());
    EXPECT_EQ(GSIApplyDataPacket(8, 2), 1);
}

TEST_F(ApplyTest, GeneratorLimitsInterleaveImageAndReply) {
    replies[5] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    image[0] = 0xB0;
    image[1] = 0xB1;
    image[2] = 0xB2;
    image[3] = 0xB3;
    ASSERT_EQ(IO_UtilityModelData(5, 0), 1);
    const auto frames = sentFrames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (Bytes{0x01, 0x05, 0x00, 0x01, 0x01}));
    EXPECT_EQ(frames[1], (Bytes{0x01, 0x05, 0x00, 0x09, 0x00, 0xA0, 0xB0, 0xA2, 0xB1, 0xA4, 0xB2, 0xA6, 0xB3}));
    EXPECT_EQ(image[0], 0xB0);  // the read before the write does not touch the image
}

TEST_F(ApplyTest, AecRlfKeepsTheCallersSelectorAndTheReplysLastByte) {
    Bytes reply = patternData(9, 23);  // F4..F26
    replies[9] = reply;
    ASSERT_EQ(IO_RefreshModelData(9, 1), 1);
    for (int i = 0; i < 20; ++i) image[444 + i] = static_cast<std::uint8_t>(0xC0 + i);
    fake.clearFrames();
    ASSERT_EQ(IO_UtilityModelData(9, 3), 1);
    const Bytes f = sentFrames().at(0);
    ASSERT_EQ(f.size(), 27u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 6), (Bytes{0x01, 0x09, 0x00, 0x17, 0x00, 0x04}));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(f[static_cast<std::size_t>(6 + i)], 0xC0 + i);
    EXPECT_EQ(f[26], reply[22]);
}

TEST_F(ApplyTest, FluoSetupShiftsTheReplyBehindTheCommandByte) {
    const Bytes d = patternData(11);  // F4..F66
    ASSERT_EQ(IO_RefreshModelData(11, 0), 1);
    for (int i = 386; i < 434; ++i) image[i] = static_cast<std::uint8_t>(i - 300);
    fake.clearFrames();
    ASSERT_EQ(IO_UtilityModelData(11, 0), 1);
    const Bytes f = sentFrames().at(0);
    ASSERT_EQ(f.size(), 68u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 5), (Bytes{0x01, 0x0B, 0x00, 0x40, 0x00}));
    for (std::size_t k = 5; k < 68; ++k) {
        std::uint8_t expected = d[k - 5];  // the reply, one position up
        if (k <= 16) expected = static_cast<std::uint8_t>(386 - 300 + (k - 5));
        else if (k >= 21 && k <= 31) expected = static_cast<std::uint8_t>(402 - 300 + (k - 21));
        else if (k >= 40 && k <= 59) expected = static_cast<std::uint8_t>(413 - 300 + (k - 40));
        else if (k == 62) expected = static_cast<std::uint8_t>(433 - 300);
        EXPECT_EQ(f[k], expected) << "F" << k;
    }
}

TEST_F(ApplyTest, AuxiliaryIoWritesFiveGroups) {
    for (int i = 0; i < 30; ++i) image[356 + i] = static_cast<std::uint8_t>(0x80 + i);
    ASSERT_EQ(IO_UtilityModelData(7, 4), 1);
    const auto frames = sentFrames();
    ASSERT_EQ(frames.size(), 5u);
    for (std::size_t g = 0; g < 5; ++g) {
        Bytes expected = {0x01, 0x07, 0x00, 0x09, 0x00, 0x03, static_cast<std::uint8_t>(g)};
        for (std::size_t k = 0; k < 6; ++k) expected.push_back(static_cast<std::uint8_t>(0x80 + 6 * g + k));
        EXPECT_EQ(frames[g], expected) << g;
    }
}

TEST_F(ApplyTest, VersionSendsTenBytes) {
    for (int i = 0; i < 15; ++i) image[1494 + i] = static_cast<std::uint8_t>(0x61 + i);
    ASSERT_EQ(IO_UtilityModelData(17, 0), 1);
    EXPECT_EQ(sentFrames().at(0), (Bytes{0x01, 0x0C, 0x00, 0x06, 0x00, 0x61, 0x62, 0x63, 0x64, 0x65}));
}

TEST_F(ApplyTest, SelectorPatches) {
    struct Case {
        int packet, param;
        bool restore;
        Bytes head;  // F0..F6 of the write
        std::size_t size;
    };
    image[1108] = 0xD0;
    image[1109] = 0xD1;
    image[314] = 0xE0;
    image[315] = 0xE1;
    const Case cases[] = {
        {25, 37, true, {0x01, 0x19, 0x01, 0x83, 0x00, 0x03, 0x07}, 391},
        {22, 37, false, {0x01, 0x16, 0x00, 0x0B, 0x00, 0x02, 0x07}, 15},
        {23, 37, false, {0x01, 0x17, 0x00, 0x17, 0x00, 0x07, 0x03}, 27},
        {24, 37, true, {0x01, 0x18, 0x00, 0x0B, 0x00, 0x02, 0x07}, 15},
        {14, 258, false, {0x01, 0x0F, 0x01, 0x83, 0x00, 0x01, 0x02}, 391},
        {16, 15, true, {0x01, 0x11, 0x00, 0xCB, 0x00, 0x00, 0x0F}, 207},
        {12, 3, false, {0x01, 0x0D, 0x00, 0x1C, 0x00, 0x02}, 32},
        {18, 2, false, {0x01, 0x12, 0x00, 0x47, 0x02}, 75},
        {21, 3, true, {0x01, 0x15, 0x00, 0x4A, 0x00, 0x03}, 78},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("packet " + std::to_string(c.packet));
        fake.clearFrames();
        ASSERT_EQ(c.restore ? IO_UtilityModelData1(c.packet, c.param) : IO_UtilityModelData(c.packet, c.param), 1);
        const Bytes f = sentFrames().at(0);
        EXPECT_EQ(f.size(), c.size);
        EXPECT_EQ(Bytes(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(c.head.size())), c.head);
        if (c.packet == 25) { EXPECT_EQ(Bytes(f.begin() + 7, f.begin() + 391), Bytes(image + 1110, image + 1494)); }
        if (c.packet == 22) { EXPECT_EQ(Bytes(f.begin() + 7, f.end()), Bytes(image + 316, image + 324)); }
    }
}

TEST_F(ApplyTest, NakFailsAtOnceAndSilenceAfterTwoAttempts) {
    fake.setAnswer([](const Bytes&) { return Bytes{0x15}; });
    EXPECT_EQ(IO_UtilityModelData(15, 0), 0);
    EXPECT_EQ(fake.frames().size(), 1u);
    fake.clearFrames();
    fake.setAnswer([](const Bytes&) { return Bytes{}; });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(IO_UtilityModelData(15, 0), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
    EXPECT_EQ(fake.frames().size(), 2u);
    EXPECT_NE(trace().find("Apply Failed!"), std::string::npos);
}

TEST_F(ApplyTest, ANakLeftFromAReadDoesNotFailTheNextWrite) {
    fake.setAnswer([](const Bytes&) { return Bytes{0x15}; });
    EXPECT_EQ(IO_RefreshModelData(15, 0), 0);  // a read is not answered by NAK
    fake.setAnswer([this](const Bytes& f) { return standardAnswer(f); });
    EXPECT_EQ(IO_UtilityModelData(15, 0), 1);
}

TEST_F(ApplyTest, TubeSelectWritesTheBlockBehindItsHeader) {
    Bytes t(453);
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(i * 3 + 1);
    t[0] = 0;
    replies[4] = t;
    ASSERT_EQ(IO_RefreshModelData(4, 1), 1);
    std::uint8_t* p = image + 159;
    p[0] = 1;
    p[1] = 0xF1;
    p[12] = 0xF2;  // T422 without dynamic filament calibration
    p[21] = 'Z';   // the name is not written back
    p[39] = 0xF3;  // T51
    fake.clearFrames();
    ASSERT_EQ(IO_UtilityModelData(4, 1), 1);
    const Bytes f = sentFrames().at(0);
    ASSERT_EQ(f.size(), 454u);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 5), (Bytes{0x01, 0x04, 0x01, 0xC2, 0x00}));
    Bytes expected(t.begin(), t.begin() + 449);
    expected[0] = 1;
    expected[4] = 0xF1;
    expected[422] = 0xF2;
    expected[51] = 0xF3;
    EXPECT_EQ(Bytes(f.begin() + 5, f.end()), expected);
}

TEST_F(ApplyTest, AuxiliarySetupApplySelectsTheReceptor) {
    image[206] = 4;
    image[208] = 0;
    ASSERT_EQ(IO_UtilityModelData(6, 5), 1);
    EXPECT_EQ(link->m_pData->receptor, 4);
    EXPECT_EQ(link->m_pData->bTomo, 0);
    const Bytes f = sentFrames().at(0);
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 6), (Bytes{0x01, 0x06, 0x00, 0x1B, 0x00, 0x04}));
}

TEST_F(ApplyTest, OnePacketOperationAtATime) {
    std::atomic<int> outstanding{0};
    std::atomic<int> most{0};
    std::vector<std::thread> answers;
    std::mutex answersLock;
    fake.setAnswer([&](const Bytes& f) -> Bytes {
        const int now = ++outstanding;
        most = std::max(most.load(), now);
        Bytes reply = f.size() > 6 && f[3] > 3 ? Bytes{0x06} : bagFrame(f[1], patternData(f[1]));
        std::lock_guard<std::mutex> lock(answersLock);
        answers.emplace_back([&, reply] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            --outstanding;
            fake.inject(reply);
        });
        return {};
    });
    std::atomic<int> failures{0};
    auto worker = [&](int packet) {
        for (int i = 0; i < 5; ++i)
            if (IO_RefreshModelData(packet, 0) != 1) ++failures;
    };
    std::thread a(worker, 13), b(worker, 15), c([&] {
        for (int i = 0; i < 5; ++i)
            if (IO_UtilityModelData(19, 0) != 1) ++failures;
    });
    a.join();
    b.join();
    c.join();
    {
        std::lock_guard<std::mutex> lock(answersLock);
        for (auto& t : answers) t.join();
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(most, 1);
    EXPECT_EQ(fake.frames().size(), 15u);
}

}  // namespace
}  // namespace kestro::test
