// Data packets and APR techniques against the simulator: every writable packet goes
// to the generator and comes back byte for byte, refused and corrupted answers fail
// cleanly, and techniques are confirmed or refused.

#include <cstring>

#include "session.h"

namespace kestro::itest {
namespace {

struct Range {
    std::size_t from;  // image position
    std::size_t count;
};

struct WritablePacket {
    int packet;
    int param;
    bool restore;                // written with the restore variant
    std::vector<Range> written;  // image bytes the write carries and a read brings back
};

// The bytes the generator keeps per packet (selector bytes stay as the refresh left
// them: they pick the record the write goes to).
const WritablePacket kWritable[] = {
    {1, 0, false, {{231, 6}}},
    {4, 1, false, {{160, 20}, {198, 8}}},
    {5, 0, false, {{0, 4}}},
    {6, 3, false, {{207, 24}}},
    {7, 2, false, {{356, 30}}},
    {8, 2, false, {{435, 9}}},
    {9, 2, false, {{444, 20}}},
    {10, 0, false, {{464, 16}}},
    {11, 0, false, {{386, 12}, {402, 32}}},
    {12, 2, false, {{481, 26}}},
    {13, 0, false, {{507, 13}}},
    {14, 257, false, {{522, 384}}},
    {15, 0, false, {{238, 6}}},
    {16, 3, false, {{908, 200}}},
    {17, 0, false, {{1494, 5}}},
    {18, 0, false, {{244, 70}}},
    {19, 0, false, {{1549, 40}}},
    {20, 0, false, {{1589, 21}}},
    {21, 2, false, {{1610, 72}}},
    {22, 16, false, {{316, 8}}},
    {23, 12, false, {{336, 20}}},
    {24, 31, false, {{326, 8}}},
    {25, 13, true, {{1110, 384}}},
};

class DataBagSession : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        m_sim->setState(2);
        ASSERT_EQ(initGenerator(), 1);
        image = m_link->m_pData->SettingsImage;
    }
    std::uint8_t* image = nullptr;
};

TEST_F(DataBagSession, EveryWritablePacketRoundTripsByteForByte) {
    for (const WritablePacket& w : kWritable) {
        SCOPED_TRACE("packet " + std::to_string(w.packet));
        ASSERT_EQ(IO_RefreshModelData(w.packet, w.param), 1);

        // New contents, different from what the generator held.
        std::vector<std::uint8_t> wanted(kSettingsImageSize);
        std::memcpy(wanted.data(), image, wanted.size());
        for (const Range& r : w.written)
            for (std::size_t i = r.from; i < r.from + r.count; ++i)
                wanted[i] = image[i] = static_cast<std::uint8_t>(image[i] + 1 + (i * 7 + w.packet) % 200);
        if (w.packet == 17) wanted[1499] = image[1499] = 0;  // not the masked variant

        const int applied = w.restore ? IO_UtilityModelData1(w.packet, w.param) : IO_UtilityModelData(w.packet, w.param);
        ASSERT_EQ(applied, 1);

        // Forget the new bytes locally, then read them back from the generator.
        for (const Range& r : w.written) std::memset(image + r.from, 0, r.count);
        ASSERT_EQ(IO_RefreshModelData(w.packet, w.param), 1);
        for (const Range& r : w.written)
            for (std::size_t i = r.from; i < r.from + r.count; ++i) ASSERT_EQ(image[i], wanted[i]) << "P" << i;
    }
    EXPECT_EQ(traceCount("Apply Failed!") + traceCount("RS Failed!") + traceCount("Refresh Failed!"), 0u);
}

TEST_F(DataBagSession, RefusedWritesAndCorruptRepliesFailCleanly) {
    ASSERT_EQ(IO_RefreshModelData(10, 0), 1);
    m_sim->setNak(sim::NakMode::Once);
    const std::uint64_t mark = m_sim->logMark();
    EXPECT_EQ(IO_UtilityModelData(10, 0), 0);
    EXPECT_EQ(traceCount("Apply Failed!"), 1u);
    std::size_t writes = 0;
    for (const auto& u : m_sim->received())
        if (u.seq >= mark && u.unit.kind == sim::UnitKind::DataBag && u.unit.bagIndex == 10) ++writes;
    EXPECT_EQ(writes, 1u);  // a refusal is final
    EXPECT_EQ(IO_UtilityModelData(10, 0), 1);

    std::vector<std::uint8_t> before(image, image + kSettingsImageSize);
    m_sim->setFault("bad-checksum", true);
    EXPECT_EQ(IO_RefreshModelData(18, 0), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(image, image + kSettingsImageSize), before);
    EXPECT_EQ(m_link->m_bDataBagChecksumError, 1);
    m_sim->clearFaults();

    m_sim->setDrop(sim::DropMode::Once);  // the first reply is lost, the second attempt is answered
    EXPECT_EQ(IO_RefreshModelData(18, 0), 1);
    EXPECT_EQ(std::memcmp(image + 294, "20250601000000012345", 20), 0);
}

TEST_F(DataBagSession, TechniquesAreConfirmedOrRefused) {
    _APRSourceData d{70, 12.5f, 1.25f, 2.0f, 0, 1, 0, 2, 1, 0};
    EXPECT_EQ(IO_ApplyAPRDirectly(&d), 1);
    EXPECT_EQ(m_sim->value("KV"), 70);
    EXPECT_EQ(m_sim->value("MA"), 125);
    EXPECT_EQ(m_sim->value("MS"), 12);
    EXPECT_EQ(m_sim->value("MX"), 20);
    EXPECT_TRUE(m_sim->waitForCommand("SA WS1 FO1 ET0 FI010 FS010 FN+0 KV070 MA00125 MS00012 MX00020", 1000ms));

    _APRSourceData back{};
    ASSERT_EQ(GIGetGenCurAPRData(&back), 1);
    EXPECT_EQ(back.kV, 70);
    EXPECT_FLOAT_EQ(back.mA, 12.5f);
    EXPECT_FLOAT_EQ(back.ms, 1.25f);
    EXPECT_FLOAT_EQ(back.mAs, 2.0f);
    EXPECT_EQ(back.focus, 1);
    EXPECT_EQ(back.field, 2);
    EXPECT_EQ(back.film, 1);

    m_sim->setRefuseTechnique(true);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(GIApplyAPRData(80, 20.0f, 10.0f, 0.5f, 0, 0, 1, 1, 0, 0), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 400ms);
    EXPECT_EQ(GIApplyAPRData(39, 20.0f, 10.0f, 0.5f, 0, 0, 1, 1, 0, 0), 2);
    m_sim->setRefuseTechnique(false);
    EXPECT_EQ(GIApplyAPRData(80, 20.0f, 10.0f, 0.5f, 0, 0, 1, 1, 0, 0), 0);
    EXPECT_EQ(m_sim->value("KV"), 80);
}

}  // namespace
}  // namespace kestro::itest
