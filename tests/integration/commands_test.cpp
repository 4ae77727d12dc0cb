// Commands, the state gate, packet refreshes and multi-commands over the wire.

#include "session.h"

#include <cstring>

namespace kestro::itest {
namespace {

using Bytes = sim::Bytes;

class Running : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(initGenerator(), 1);
    }

    // Units of one kind received since mark.
    std::vector<sim::WireUnit> unitsSince(std::uint64_t mark, sim::UnitKind kind) const {
        std::vector<sim::WireUnit> units;
        for (const auto& entry : m_sim->received())
            if (entry.seq >= mark && entry.unit.kind == kind) units.push_back(entry.unit);
        return units;
    }
};

TEST_F(Running, SetValueIsFramedSentAndConfirmedByTheGeneratorsAnswer) {
    const auto mark = m_sim->logMark();
    char cmd[] = "KV080";
    ASSERT_EQ(m_link->GetCpuCommandData(cmd, 5, 0), 1);
    EXPECT_EQ(m_link->m_pData->radKV, 80);
    EXPECT_EQ(m_sim->value("KV"), 80);

    const auto units = unitsSince(mark, sim::UnitKind::Command);
    ASSERT_EQ(units.size(), 1u);
    const Bytes expected = {'K', 'V', '0', '8', '0', 0x03, 0x3C};  // checksum: sum of text and ETX
    EXPECT_EQ(units[0].raw, expected);
    EXPECT_EQ(traceCount("UI sent command            :  KV080"), 1u);
    EXPECT_GE(traceCount("Got command from GEN : KV080"), 1u);
}

TEST_F(Running, StateGateKeepsRefusedCommandsOffTheWire) {
    m_sim->setState(4);
    char status[] = "ST";
    ASSERT_EQ(m_link->GetCpuCommandData(status, 2, 7), 1);  // status passes the gate in state 4
    ASSERT_EQ(m_link->m_nGenState, 4);

    const auto mark = m_sim->logMark();
    char query[] = "MA?";
    EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 1), 0);
    EXPECT_TRUE(unitsSince(mark, sim::UnitKind::Command).empty());
    EXPECT_EQ(m_link->SendCommand("MA?", 3, 1), -1);
}

TEST_F(Running, VersionPacketIsCopiedAndItsUnsetMarkerBlanked) {
    Bytes version = *m_sim->bagRecord(12);
    for (std::size_t i = 0; i < version.size(); ++i) version[i] = static_cast<std::uint8_t>('A' + i % 26);
    ASSERT_TRUE(m_sim->putBagRecord(12, {}, version));
    const auto mark = m_sim->logMark();
    ASSERT_EQ(IO_RefreshModelData(17, 0), 1);

    const auto bags = unitsSince(mark, sim::UnitKind::DataBag);
    ASSERT_EQ(bags.size(), 1u);
    EXPECT_EQ(bags[0].raw, (Bytes{0x01, 0x0C, 0x00, 0x01, 0x01, 0x0F}));
    const std::uint8_t* image = m_link->m_pData->packet(17);
    EXPECT_TRUE(std::equal(version.begin(), version.end(), image));

    // Byte 5 holding 31 marks an unset field: ten bytes from there read as 0xFF.
    version[5] = 31;
    ASSERT_TRUE(m_sim->putBagRecord(12, {}, version));
    ASSERT_EQ(IO_RefreshModelData(17, 0), 1);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(image[i], version[i]);
    for (std::size_t i = 5; i < 15; ++i) EXPECT_EQ(image[i], 0xFF) << i;
    for (std::size_t i = 15; i < version.size(); ++i) EXPECT_EQ(image[i], version[i]);
}

TEST_F(Running, RefreshRequestFramesCarryTheSelector) {
    struct Case {
        int packet;
        int index;
        Bytes frame;  // without the checksum
    };
    const Case cases[] = {
        {6, 3, {0x01, 0x06, 0x00, 0x02, 0x01, 0x02}},
        {8, 4, {0x01, 0x08, 0x00, 0x02, 0x01, 0x03}},
        {12, 2, {0x01, 0x0D, 0x00, 0x02, 0x01, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("packet " + std::to_string(c.packet));
        const auto mark = m_sim->logMark();
        ASSERT_EQ(IO_RefreshModelData(c.packet, c.index), 1);
        const auto bags = unitsSince(mark, sim::UnitKind::DataBag);
        ASSERT_EQ(bags.size(), 1u);
        Bytes expected = c.frame;
        std::uint8_t sum = 0;
        for (auto b : expected) sum = static_cast<std::uint8_t>(sum + b);
        expected.push_back(sum);
        EXPECT_EQ(bags[0].raw, expected);
    }
    // The AEC setup read sets the packet's read flag.
    EXPECT_EQ(m_link->m_bPacketRead[2], 1);
}

TEST_F(Running, RefreshFailuresSendNothingAndSaySo) {
    struct Case {
        int packet;
        int index;
        const char* name;
    };
    const Case cases[] = {{6, 0, "AuxiliarySetup"}, {6, 7, "AuxiliarySetup"}, {8, 5, "AECSetup"},
                          {0, 1, "Unknown"},        {26, 1, "Unknown"}};
    for (const Case& c : cases) {
        SCOPED_TRACE("packet " + std::to_string(c.packet) + " index " + std::to_string(c.index));
        const auto mark = m_sim->logMark();
        const std::size_t failures = traceCount("Refresh Failed!");
        const std::size_t named = traceCount(std::string("Refreshing databag  :  ") + c.name);
        EXPECT_EQ(IO_RefreshModelData(c.packet, c.index), 0);
        EXPECT_TRUE(unitsSince(mark, sim::UnitKind::DataBag).empty());
        EXPECT_EQ(traceCount("Refresh Failed!"), failures + 1);
        EXPECT_EQ(traceCount(std::string("Refreshing databag  :  ") + c.name), named + 1);
    }
}

TEST_F(Running, UnansweredRefreshIsSentTwiceAndLeavesTheImage) {
    std::uint8_t before[10];
    std::memcpy(before, m_link->m_pData->packet(8), sizeof before);
    m_sim->setFault("silence", true);
    const auto mark = m_sim->logMark();
    EXPECT_EQ(IO_RefreshModelData(8, 2), 0);
    EXPECT_EQ(unitsSince(mark, sim::UnitKind::DataBag).size(), 2u);
    EXPECT_EQ(std::memcmp(before, m_link->m_pData->packet(8), sizeof before), 0);
    EXPECT_EQ(m_link->m_bDataBagMode, 0);
}

TEST_F(Running, MultiCommandsRefreshGroupsOfValues) {
    m_sim->setValue("KV", 93);
    m_sim->setValue("FLK", 71);
    EXPECT_EQ(m_link->GetCpuMultiCommandData(53), 1);
    EXPECT_EQ(m_link->m_pData->radKV, 93);
    EXPECT_EQ(m_link->GetCpuMultiCommandData(54), 1);
    EXPECT_EQ(m_link->GetCpuMultiCommandData(55), 1);
    EXPECT_EQ(m_link->m_pData->fluoKV, 71);
    EXPECT_EQ(m_link->GetCpuMultiCommandData(56), 0);
    EXPECT_EQ(m_sim->countCommand("RR"), 1u);
    EXPECT_EQ(m_sim->countCommand("RS"), 1u);
    EXPECT_EQ(m_sim->countCommand("RF"), 1u);

    // Unanswered: both attempts are spent.
    m_sim->setFault("silence", true);
    EXPECT_EQ(m_link->GetCpuMultiCommandData(53), 0);
    EXPECT_EQ(m_sim->countCommand("RR"), 3u);
}

TEST_F(Running, DataBagWriteWaitsForTheGeneratorsVerdict) {
    struct Case {
        const char* fault;  // nullptr: none
        int result;
        std::size_t framesSent;
    };
    const Case cases[] = {
        {nullptr, 1, 1},   // ACK at once
        {"nak", 0, 1},     // refused: no second attempt
        {"silence", 0, 2}, // unanswered: sent twice
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault ? c.fault : "no fault");
        if (c.fault) {
            ASSERT_TRUE(m_sim->setFault(c.fault, true));
        }
        unsigned char frame[] = {0x01, 0x01, 0x00, 0x07, 0x00, 25, 7, 4, 9, 15, 30};
        const auto mark = m_sim->logMark();
        EXPECT_EQ(m_link->ProcessCpuDataBag(frame, sizeof frame, 58, 1), c.result);
        EXPECT_EQ(unitsSince(mark, sim::UnitKind::DataBag).size(), c.framesSent);
        EXPECT_EQ(m_link->m_bDataBagMode, 0);
        m_sim->clearFaults();
    }
    // The accepted write reached the generator's store.
    EXPECT_EQ(*m_sim->bagRecord(1), (Bytes{25, 7, 4, 9, 15, 30, 0}));
}

TEST_F(Running, SuspendedReaderLeavesAnswersQueuedUntilResumed) {
    ASSERT_EQ(IO_SuspendWorkThread(), 1);
    ASSERT_TRUE(m_sim->setValue("KV", 77));
    char query[] = "KV?";
    EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), 0);  // answered, but nobody reads
    EXPECT_NE(m_link->m_pData->radKV, 77);
    ASSERT_EQ(IO_ResumeWorkThread(), 1);
    EXPECT_TRUE(waitUntil([&] { return m_link->m_pData->radKV == 77; }, 2000ms));
    EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), 1);
}

}  // namespace
}  // namespace kestro::itest
