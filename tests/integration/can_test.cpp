// What only the CAN run of the suite can show: commands and answers in frames through the
// simulator's socketcand face, the CAN faults (a frame of identifier 9, foreign frames,
// a lost continuation frame) ridden out, and a dropped connection opened again.

#include "session.h"

namespace kestro::itest {
namespace {

class CanBus : public Session {
protected:
    void SetUp() override {
        if (!overCan()) GTEST_SKIP() << "runs in the CAN run of the suite (KESTRO_IT_TRANSPORT=can)";
        Session::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(initGenerator(), 1);
    }
    sim::CanFaceCounters counters() const { return m_canFace->counters(); }
};

TEST_F(CanBus, StreamsGoOutInFramesOf0x550AndAnswersComeBackInFramesOf8) {
    EXPECT_EQ(m_link->m_nGenState, 2);  // a CAN start leaves the generator in state 2
    const auto start = counters();
    char set[] = "KV081";
    ASSERT_EQ(m_link->GetCpuCommandData(set, 5, 0), 1);
    EXPECT_EQ(m_link->m_pData->radKV, 81);
    EXPECT_EQ(counters().framesOut - start.framesOut, 1u);  // "KV081", ETX, checksum: one frame

    struct Case {
        const char* text;
        std::uint64_t frames;  // text, ETX and checksum, 8 bytes per frame
    };
    const Case cases[] = {{"KV080", 1}, {"KV?", 1}, {"MC? FC? KV? M", 2}, {"MC? FC? KV? MS", 2}, {"MC? FC? KV? MS?", 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto before = counters();
        std::string text = c.text;
        ASSERT_EQ(m_link->SendCpuUnrestrictedCommand(text.data(), static_cast<int>(text.size())), 1);
        ASSERT_TRUE(m_sim->waitForCommand(c.text, 2s));
        EXPECT_EQ(counters().framesIn - before.framesIn, c.frames);
    }
}

TEST_F(CanBus, ForeignFramesAndIdentifier9AreNeverTaken) {
    for (const char* fault : {"can-id9", "can-foreign-burst"}) {
        SCOPED_TRACE(fault);
        const auto before = counters();
        ASSERT_TRUE(m_canFace->setCanFault(fault, true));
        ASSERT_TRUE(m_sim->setValue("KV", 77));
        char query[] = "KV?";
        EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), 1);
        EXPECT_EQ(m_link->m_pData->radKV, 77);
        EXPECT_GT(counters().injectedFrames, before.injectedFrames);
        m_canFace->setCanFault(fault, false);
    }
    EXPECT_EQ(traceCount("KV099"), 0u);  // what the identifier-9 frames carry
}

TEST_F(CanBus, LostContinuationFrameFailsOneAttemptAndTheRetryReadsThePacket) {
    ASSERT_TRUE(m_canFace->setCanFault("can-drop-continuation", true));
    const auto mark = m_sim->logMark();
    EXPECT_EQ(IO_RefreshModelData(6, 3), 1);
    std::size_t requests = 0;
    for (const auto& entry : m_sim->received())
        if (entry.seq >= mark && entry.unit.kind == sim::UnitKind::DataBag) ++requests;
    EXPECT_EQ(requests, 2u);
    EXPECT_EQ(counters().droppedFrames, 1u);
}

TEST_F(CanBus, ADroppedConnectionIsOpenedAgainByTheLinkAndARestartStillWorks) {
    // The server stays up and takes the link's next connection.
    m_canFace->dropClient();
    ASSERT_TRUE(waitTrace("CAN bus reopened", 3s));
    EXPECT_EQ(traceCount("CAN bus lost, m_WorkFlags.bCommOk FALSE; reopening every ms : 1000"), 1u);
    char query[] = "KV?";
    EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), 1);
    EXPECT_EQ(counters().clients, 2u);
    EXPECT_EQ(m_link->m_nReconnections.load(), 1u);
    // The host may still start the link anew: the connection in use is kept.
    EXPECT_EQ(initGenerator(), 1);
    EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), 1);
    EXPECT_EQ(counters().clients, 2u);
}

}  // namespace
}  // namespace kestro::itest
