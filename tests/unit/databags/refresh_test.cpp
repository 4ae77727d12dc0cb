// Packet refresh: the request frame of every packet and parameter, the refusals that
// send nothing, and the copy of each reply into its packet and nowhere else.

#include "link_fixture.h"

#include "data/model_data.h"

namespace kestro::test {
namespace {

using RefreshTest = LinkTest;

struct RequestCase {
    int packet;
    int param;
    std::vector<Bytes> frames;  // without checksums; empty: refused without traffic
};

const RequestCase kRequests[] = {
    {1, 99, {{0x01, 0x01, 0x00, 0x01, 0x01}}},
    {2, 0, {{0x01, 0x02, 0x00, 0x01, 0x00}}},
    {2, 2, {{0x01, 0x02, 0x00, 0x01, 0x02}}},
    {2, 3, {{0x01, 0x02, 0x00, 0x01, 0x03}}},  // clears the log, answered by ACK
    {2, 4, {}},
    {2, -1, {}},
    {3, 0, {{0x01, 0x03, 0x00, 0x01, 0x00}}},
    {3, 4, {{0x01, 0x03, 0x00, 0x01, 0x04}, {0x01, 0x03, 0x00, 0x01, 0x00}}},
    {3, 5, {}},
    {4, 1, {{0x01, 0x04, 0x00, 0x02, 0x01, 0x00}}},
    {4, 2, {{0x01, 0x04, 0x00, 0x02, 0x01, 0x01}}},
    {4, 0, {}},
    {4, 3, {}},
    {5, -7, {{0x01, 0x05, 0x00, 0x01, 0x01}}},
    {6, 6, {{0x01, 0x06, 0x00, 0x02, 0x01, 0x05}}},
    {6, 0, {}},
    {6, 7, {}},
    {7, 3,
     {{0x01, 0x07, 0x00, 0x03, 0x01, 0x02, 0x00},
      {0x01, 0x07, 0x00, 0x03, 0x01, 0x02, 0x01},
      {0x01, 0x07, 0x00, 0x03, 0x01, 0x02, 0x02},
      {0x01, 0x07, 0x00, 0x03, 0x01, 0x02, 0x03},
      {0x01, 0x07, 0x00, 0x03, 0x01, 0x02, 0x04}}},
    {7, 7, {}},
    {8, 4, {{0x01, 0x08, 0x00, 0x02, 0x01, 0x03}}},
    {8, 5, {}},
    {9, 1, {{0x01, 0x09, 0x00, 0x02, 0x01, 0x01}}},
    {9, 2, {{0x01, 0x09, 0x00, 0x02, 0x01, 0x02}}},
    {9, 7, {{0x01, 0x09, 0x00, 0x02, 0x01, 0x04}}},
    {9, 0, {}},
    {10, 5, {{0x01, 0x0A, 0x00, 0x02, 0x01, 0x01}}},
    {11, 5, {{0x01, 0x0B, 0x00, 0x01, 0x01}}},
    {12, 3, {{0x01, 0x0D, 0x00, 0x02, 0x01, 0x02}}},
    {13, 5, {{0x01, 0x0E, 0x00, 0x01, 0x01}}},
    {14, 258, {{0x01, 0x0F, 0x00, 0x03, 0x01, 0x01, 0x02}}},
    {14, 3, {{0x01, 0x0F, 0x00, 0x03, 0x01, 0x00, 0x03}}},
    {14, 4, {}},
    {14, 260, {}},
    {15, 5, {{0x01, 0x10, 0x00, 0x01, 0x01}}},
    {16, 271, {{0x01, 0x11, 0x00, 0x03, 0x01, 0x01, 0x0F}}},
    {16, 16, {}},
    {16, 255, {}},
    {17, 5, {{0x01, 0x0C, 0x00, 0x01, 0x01}}},
    {18, 5, {{0x01, 0x12, 0x00, 0x01, 0x01}}},
    {19, 5, {{0x01, 0x13, 0x00, 0x01, 0x01}}},
    {20, 5, {{0x01, 0x14, 0x00, 0x01, 0x01}}},
    {21, 3, {{0x01, 0x15, 0x00, 0x02, 0x01, 0x03}}},
    {21, 4, {}},
    {22, 37, {{0x01, 0x16, 0x00, 0x03, 0x01, 0x02, 0x07}}},
    {23, 37, {{0x01, 0x17, 0x00, 0x03, 0x01, 0x07, 0x03}}},
    {24, 37, {{0x01, 0x18, 0x00, 0x03, 0x01, 0x02, 0x07}}},
    {25, 37, {{0x01, 0x19, 0x00, 0x03, 0x01, 0x03, 0x07}}},
    {0, 1, {}},
    {26, 1, {}},
};

TEST_F(RefreshTest, RequestFramesAndRefusals) {
    for (const RequestCase& c : kRequests) {
        SCOPED_TRACE("packet " + std::to_string(c.packet) + " param " + std::to_string(c.param));
        fake.clearFrames();
        const std::string before = trace();
        const int result = IO_RefreshModelData(c.packet, c.param);
        EXPECT_EQ(result, c.frames.empty() ? 0 : 1);
        EXPECT_EQ(sentFrames(), c.frames);
        const std::string lines = trace().substr(before.size());
        const std::string name = c.packet >= 1 && c.packet <= 25 ? modelName(c.packet) : "Unknown";
        EXPECT_NE(lines.find("Refreshing databag  :  " + name + "\r\n"), std::string::npos) << lines;
        EXPECT_EQ(lines.find("Refresh Failed!") != std::string::npos, c.frames.empty()) << lines;
    }
}

TEST_F(RefreshTest, TraceNamesThePacket) {
    ASSERT_EQ(GSIRefreshDataPacket(12, 1), 1);
    EXPECT_NE(trace().find("Refreshing databag  :  ABS/DAP Curve\r\n"), std::string::npos);
}

// Every packet's reply lands in that packet's bytes (Version: its first 55) and nowhere
// else in the image.
TEST_F(RefreshTest, EachReplyChangesOnlyItsPacket) {
    const int params[26] = {0, 1, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0, 1, 1, 1, 1, 0, 0, 0, 0, 0};
    for (int packet = 1; packet <= 25; ++packet) {
        SCOPED_TRACE("packet " + std::to_string(packet));
        std::memset(image, 0xEE, kSettingsImageSize);
        const auto before = snapshot();
        ASSERT_EQ(IO_RefreshModelData(packet, params[packet]), 1);
        const DataPacketLayout* layout = dataPacketLayout(packet);
        std::size_t changed = 0;
        for (std::size_t i = 0; i < kSettingsImageSize; ++i) {
            const bool inside = i >= layout->position && i < layout->position + layout->length;
            if (!inside) { EXPECT_EQ(image[i], before[i]) << "position " << i; }
            if (image[i] != before[i]) ++changed;
        }
        EXPECT_GT(changed, 0u);
    }
}

// ---- Read mappings, byte by byte -------------------------------------------------------

TEST_F(RefreshTest, GeneratorTimeFillsItsSevenBytes) {
    replies[1] = {25, 6, 1, 12, 30, 45, 3};
    ASSERT_EQ(IO_RefreshModelData(1, 0), 1);
    EXPECT_EQ(Bytes(image + 231, image + 238), replies[1]);
    EXPECT_EQ(link->m_bPacketRead[0], 1);
}

TEST_F(RefreshTest, GeneratorLimitsTakeTheLowBytes) {
    replies[5] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    image[4] = 0x77;  // the technique record after the limits is not touched
    ASSERT_EQ(IO_RefreshModelData(5, 0), 1);
    EXPECT_EQ(Bytes(image, image + 5), (Bytes{0xA1, 0xA3, 0xA5, 0xA7, 0x77}));
}

TEST_F(RefreshTest, FluoSetupSkipsItsGaps) {
    const Bytes d = patternData(11);  // F4..F66
    std::memset(image + 386, 0xEE, 48);
    ASSERT_EQ(IO_RefreshModelData(11, 0), 1);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(image[386 + i], d[static_cast<std::size_t>(i)]) << i;      // F4..F15
    for (int i = 398; i < 402; ++i) EXPECT_EQ(image[i], 0xEE) << i;                                    // never transferred
    for (int i = 0; i < 11; ++i) EXPECT_EQ(image[402 + i], d[static_cast<std::size_t>(16 + i)]) << i; // F20..F30
    for (int i = 0; i < 20; ++i) EXPECT_EQ(image[413 + i], d[static_cast<std::size_t>(35 + i)]) << i; // F39..F58
    EXPECT_EQ(image[433], d[57]);                                                                        // F61
    EXPECT_EQ(link->m_bPacketRead[5], 1);
}

TEST_F(RefreshTest, AecRlfStartsAfterTheSelector) {
    const Bytes d = patternData(9);
    ASSERT_EQ(IO_RefreshModelData(9, 2), 1);
    EXPECT_EQ(Bytes(image + 444, image + 464), Bytes(d.begin() + 1, d.begin() + 21));  // F5..F24
}

TEST_F(RefreshTest, VersionWith31IsMaskedAndLongRepliesStopAtThePacket) {
    Bytes d = patternData(12, 255);
    d[5] = 31;
    replies[12] = d;
    std::memset(image + 1494, 0, 56);
    image[1549] = 0x5A;  // first byte after the packet
    ASSERT_EQ(IO_RefreshModelData(17, 0), 1);
    EXPECT_EQ(Bytes(image + 1494, image + 1499), Bytes(d.begin(), d.begin() + 5));
    for (int i = 1499; i < 1509; ++i) EXPECT_EQ(image[i], 0xFF) << i;
    EXPECT_EQ(Bytes(image + 1509, image + 1549), Bytes(d.begin() + 15, d.begin() + 55));
    EXPECT_EQ(image[1549], 0x5A);

    // A short reply fills only as many bytes as it carries.
    replies[12] = {1, 2, 3};
    ASSERT_EQ(IO_RefreshModelData(17, 0), 1);
    EXPECT_EQ(Bytes(image + 1494, image + 1498), (Bytes{1, 2, 3, d[3]}));
}

TEST_F(RefreshTest, AuxiliaryIoGroupsLandInTheirSixBytes) {
    std::memset(image + 356, 0, 30);
    fake.setAnswer([](const Bytes& f) {
        // selector bytes (receptor, group), then six bytes naming the group
        const std::uint8_t g = f[6];
        return bagFrame(7, {f[5], g, std::uint8_t(0x10 * g + 1), std::uint8_t(0x10 * g + 2), std::uint8_t(0x10 * g + 3),
                            std::uint8_t(0x10 * g + 4), std::uint8_t(0x10 * g + 5), std::uint8_t(0x10 * g + 6)});
    });
    ASSERT_EQ(IO_RefreshModelData(7, 2), 1);
    for (int g = 0; g < 5; ++g)
        for (int k = 0; k < 6; ++k) EXPECT_EQ(image[356 + 6 * g + k], 0x10 * g + k + 1) << g << "/" << k;
}

TEST_F(RefreshTest, AuxiliaryIoStopsAtTheFirstSilentGroup) {
    // The reply's index (7) is shared by the five groups: it answers the group last sent.
    std::memset(image + 356, 0, 30);
    int groupsAnswered = 0;
    fake.setAnswer([&](const Bytes& f) -> Bytes {
        if (f[6] == 2) return {};  // group 2 stays silent
        ++groupsAnswered;
        return bagFrame(7, {f[5], f[6], 9, 9, 9, 9, 9, 9});
    });
    EXPECT_EQ(IO_RefreshModelData(7, 1), 0);
    EXPECT_EQ(groupsAnswered, 2);
    EXPECT_EQ(sentFrames().size(), 4u);  // groups 0, 1, then group 2 twice
    for (int i = 356; i < 368; ++i) EXPECT_EQ(image[i], 9) << i;   // groups 0 and 1 stay copied
    for (int i = 368; i < 386; ++i) EXPECT_EQ(image[i], 0) << i;
}

TEST_F(RefreshTest, ErrorLogIsReorderedAndIndexed) {
    struct Case {
        std::uint8_t code;
        std::uint8_t index;
    };
    for (const Case c : {Case{5, 4}, Case{98, 97}, Case{99, 255}, Case{100, 73}, Case{105, 78}, Case{106, 255},
                         Case{200, 79}, Case{232, 111}, Case{233, 255}, Case{0, 255}}) {
        Bytes d(22);
        for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(0x40 + i);
        d[2] = c.code;
        replies[2] = d;
        ASSERT_EQ(IO_RefreshModelData(2, 1), 1);
        const std::uint8_t* log = image + 136;
        for (int i = 0; i < 15; ++i) EXPECT_EQ(log[i], d[static_cast<std::size_t>(i)]) << i;
        EXPECT_EQ(log[15], d[18]);
        EXPECT_EQ(log[16], d[17]);
        EXPECT_EQ(log[17], d[16]);
        EXPECT_EQ(log[18], d[15] + 1);
        EXPECT_EQ(log[19], d[20]);
        EXPECT_EQ(log[20], d[21]);
        EXPECT_EQ(log[21], d[19]);
        EXPECT_EQ(log[22], c.index) << int(c.code);
    }
    EXPECT_NE(trace().find("Invalid m_pData->ErrLog.errCode =  233"), std::string::npos);
}

TEST_F(RefreshTest, TubeSelectPicksItsPlacesFromTheTubeBlock) {
    Bytes t(453);
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<std::uint8_t>(i * 7 + 3);
    t[0] = 1;
    const char name[] = "XR-TUBE 150/30  ";
    std::memcpy(t.data() + 5, name, 16);
    replies[4] = t;
    for (const int dynamic : {0, 1}) {
        link->gen_CompInfo.bDynamicFilCalib = dynamic;
        ASSERT_EQ(IO_RefreshModelData(4, 2), 1);
        const std::uint8_t* p = image + 159;
        const int expected[47] = {0,   4,   123, 124, 197, 198, 271, 272, 345, 346, 419, 420,
                                  dynamic ? 421 : 422, dynamic ? 423 : 424, 426, 428, 432, 433, 434, 435, 436,
                                  5,   6,   7,   8,   9,   10,  11,  12,  13,  14,  15,  16,  17,  18,  19,  20,
                                  430, 431, 51,  53,  55,  57,  59,  61,  63,  65};
        for (int i = 0; i < 47; ++i) EXPECT_EQ(p[i], t[static_cast<std::size_t>(expected[i])]) << "P" << 159 + i;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 21), 16), name);
    }
    EXPECT_EQ(link->m_bPacketRead[1], 1);
}

TEST_F(RefreshTest, AuxiliarySetupSelectsTheReceptor) {
    Bytes d = patternData(6);
    d[0] = 2;  // receptor index (0-based)
    d[2] = 5;  // tomography enabled
    replies[6] = d;
    ASSERT_EQ(IO_RefreshModelData(6, 3), 1);
    EXPECT_EQ(Bytes(image + 206, image + 224), Bytes(d.begin(), d.begin() + 18));
    EXPECT_EQ(Bytes(image + 224, image + 231), Bytes(d.begin() + 19, d.begin() + 26));
    EXPECT_EQ(link->m_pData->receptor, 2);
    EXPECT_EQ(link->m_pData->bTomo, 1);
    d[2] = 0;
    replies[6] = d;
    ASSERT_EQ(IO_RefreshModelData(6, 3), 1);
    EXPECT_EQ(link->m_pData->bTomo, 0);
}

// ---- Replies that must not reach the image -----------------------------------------------

TEST_F(RefreshTest, BadRepliesLeaveTheImageAsItWas) {
    struct Case {
        const char* what;
        Bytes reply;
    };
    Bytes badSum = bagFrame(1, {1, 2, 3, 4, 5, 6, 7});
    badSum.back() ^= 0x5A;
    Bytes tooLong = bagFrame(1, Bytes(300, 0x33));
    Bytes wrongIndex = bagFrame(5, Bytes(8, 0x44));
    Bytes indexBeyond = bagFrame(29, Bytes(7, 0x55));
    const Case cases[] = {{"checksum", badSum}, {"longer than the buffer", tooLong}, {"another bag", wrongIndex},
                          {"index 29", indexBeyond}, {"NAK", {0x15}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.clearFrames();
        link->m_bDataBagChecksumError = 0;
        std::memset(image, 0xEE, kSettingsImageSize);
        const auto before = snapshot();
        fake.setAnswer([&](const Bytes&) { return c.reply; });
        EXPECT_EQ(IO_RefreshModelData(1, 0), 0);
        EXPECT_EQ(snapshot(), before);
        EXPECT_EQ(sentFrames().size(), 2u);  // two attempts
        if (std::string(c.what) == "checksum") { EXPECT_EQ(link->m_bDataBagChecksumError, 1); }
    }
    // The link still works afterwards: the next good reply is read.
    fake.setAnswer([](const Bytes&) { return bagFrame(1, {9, 8, 7, 6, 5, 4, 3}); });
    ASSERT_EQ(IO_RefreshModelData(1, 0), 1);
    EXPECT_EQ(Bytes(image + 231, image + 238), (Bytes{9, 8, 7, 6, 5, 4, 3}));
}

TEST_F(RefreshTest, ErrorLogClearWaitsForAck) {
    fake.setAnswer([](const Bytes&) { return Bytes{0x06}; });
    const auto before = snapshot();
    EXPECT_EQ(IO_RefreshModelData(2, 3), 1);
    EXPECT_EQ(snapshot(), before);
    fake.setAnswer([](const Bytes&) { return Bytes{0x15}; });
    EXPECT_EQ(IO_RefreshModelData(2, 3), 0);
}

TEST_F(RefreshTest, DemonstrationModeSucceedsWithoutTraffic) {
    link->m_pData->bDemo = 1;
    const auto before = snapshot();
    for (int packet = 0; packet <= 26; ++packet) {
        EXPECT_EQ(IO_RefreshModelData(packet, -5), 1);
        EXPECT_EQ(IO_UtilityModelData(packet, -5), 1);
        EXPECT_EQ(IO_UtilityModelData1(packet, -5), 1);
    }
    EXPECT_EQ(IO_RefreshRadData(), 1);
    EXPECT_EQ(IO_RefreshSystemData(), 1);
    EXPECT_EQ(IO_RefreshFluoData(), 1);
    EXPECT_TRUE(fake.frames().empty());
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(trace().find("databag"), std::string::npos);
}

}  // namespace
}  // namespace kestro::test

namespace kestro::test {
namespace {

TEST_F(RefreshTest, GroupRefreshesWaitForEveryItem) {
    const std::string fluo = "FLK070 FLM100 FLI00010 FLT00020 FLS075 FLF1 FLA1 FLZ0 FLD0";
    std::string answer = fluo;
    fake.setAnswer([&](const Bytes& f) -> Bytes {
        const std::string cmd(f.begin(), f.begin() + 2);
        if (cmd == "RF") return message(answer);
        if (cmd == "RR") return message("KV081 MA00125 MS00012 MX00020");
        return {};
    });
    EXPECT_EQ(IO_RefreshFluoData(), 1);
    EXPECT_EQ(link->m_pData->fluoKV, 70);
    EXPECT_EQ(IO_RefreshRadData(), 1);
    EXPECT_EQ(link->m_pData->radMS, 12);

    // With the dose-rate feature the answer must also carry FDR.
    link->gen_CompInfo.ABSDoseRate = 1;
    fake.clearFrames();
    EXPECT_EQ(IO_RefreshFluoData(), 0);
    EXPECT_EQ(fake.frames().size(), 2u);
    answer = fluo + " FDR1";
    EXPECT_EQ(IO_RefreshFluoData(), 1);
    EXPECT_EQ(link->m_pData->fluoDoseRate, 1);
}

}  // namespace
}  // namespace kestro::test

namespace kestro::test {
namespace {

TEST_F(RefreshTest, BagNumbersWithoutADataBagChangeNothing) {
    ASSERT_EQ(IO_RefreshModelData(18, 0), 1);  // a reply sits in a store
    std::memset(image, 0xEE, kSettingsImageSize);
    const auto before = snapshot();
    for (int bag : {0, 57, 64, 75, 79, 81, 83, 100, 108, 111, 113, 116, 125, 300, -1})
        for (int direction : {0, 1}) link->UpdateDataBag(bag, direction);
    link->UpdateDataBag(117, 2);  // neither direction
    EXPECT_EQ(snapshot(), before);
    link->UpdateDataBag(117, 0);
    EXPECT_EQ(Bytes(image + 244, image + 314), patternData(18));
}

}  // namespace
}  // namespace kestro::test
