// The generator's exposure handshakes: every prepare, exposure and fluoroscopy message
// is echoed at once, moves the generator state and notifies the host.

#include "session.h"

namespace kestro::itest {
namespace {

using Code = std::pair<std::uintptr_t, std::intptr_t>;

class Handshake : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(initGenerator(), 1);
    }

    // Waits for the notification and checks the generator state it came with.
    void expectStep(Code code, int state, std::size_t& from) {
        const int at = waitNotice(code.first, code.second, 3000ms, from);
        ASSERT_GE(at, 0) << "no notification (" << code.first << ", " << code.second << ")";
        from = static_cast<std::size_t>(at) + 1;
        EXPECT_TRUE(waitUntil([&] { return m_link->m_nGenState == state; }, 1000ms))
            << "state " << m_link->m_nGenState << " after (" << code.first << ", " << code.second << ")";
    }
};

TEST_F(Handshake, RadiographyIsEchoedStepByStep) {
    std::string why;
    ASSERT_TRUE(m_sim->startExposure(200, &why)) << why;
    std::size_t from = 0;
    expectStep({2, 2}, 3, from);   // PR1
    expectStep({2, 3}, 10, from);  // PR2
    expectStep({1, 2}, 4, from);   // XR1
    expectStep({1, 1}, 11, from);  // XR0
    expectStep({2, 1}, 2, from);   // PR0
    ASSERT_TRUE(m_sim->waitHandshakeDone(5000ms));

    const sim::HandshakeResult result = m_sim->lastHandshake();
    EXPECT_TRUE(result.completed);
    EXPECT_FALSE(result.aborted);
    for (const char* step : {"PR1", "PR2", "XR1", "XR0", "PR0"}) {
        const sim::HandshakeStep* s = result.step(step);
        ASSERT_NE(s, nullptr) << step;
        EXPECT_TRUE(s->echoed) << step;
    }
    EXPECT_EQ(noticeCodes(), (std::vector<Code>{{2, 2}, {2, 3}, {1, 2}, {1, 1}, {2, 1}}));
    EXPECT_EQ(traceCount("Heat= "), 1u);  // the prepare's end reports the tube heat
}

TEST_F(Handshake, FluoroscopyIsEchoedAndEnds) {
    std::string why;
    ASSERT_TRUE(m_sim->startFluoro(&why)) << why;
    std::size_t from = 0;
    expectStep({3, 2}, 13, from);  // FLP1
    expectStep({4, 2}, 14, from);  // FLX1
    EXPECT_EQ(m_link->m_bFluoroExposing, 1);
    ASSERT_TRUE(m_sim->stopFluoro(&why)) << why;
    expectStep({4, 1}, 12, from);  // FLX0
    expectStep({3, 1}, 2, from);   // FLP0
    EXPECT_EQ(m_link->m_bFluoroExposing, 0);
    ASSERT_TRUE(m_sim->waitHandshakeDone(5000ms));
    EXPECT_TRUE(m_sim->lastHandshake().allEchoed());
    for (const char* label : {"Heat = ", "INT time = ", "ACC time = "}) EXPECT_EQ(traceCount(label), 1u) << label;
}

TEST_F(Handshake, CalibrationModeEchoesOnlyDuringACalibration) {
    ASSERT_EQ(IO_SetDllMode(2), 1);
    // Not calibrating: the prepare is left unanswered (the strict generator gives up).
    m_sim->setEchoTimeout(300ms);
    std::string why;
    ASSERT_TRUE(m_sim->startExposure(100, &why)) << why;
    ASSERT_TRUE(m_sim->waitHandshakeDone(5000ms));
    EXPECT_TRUE(m_sim->lastHandshake().aborted);
    EXPECT_EQ(m_sim->countCommand("PR1"), 0u);
    EXPECT_EQ(m_link->m_ReplyFlags[14], 1);  // still set for whoever looks next

    // Calibrating: echoes and notifications, the generator state left alone, and after
    // the exposure the calibration values are asked for.
    m_sim->sendMessage("CA1");
    ASSERT_TRUE(waitUntil([&] { return m_link->m_pData->calibMode == 1; }, 2000ms));
    m_link->m_ReplyFlags[14] = 0;
    m_sim->setState(2);
    const int stateBefore = m_link->m_nGenState;
    m_sim->setEchoTimeout(1000ms);
    const std::size_t from = notices().size();
    ASSERT_TRUE(m_sim->startExposure(100, &why)) << why;
    ASSERT_TRUE(m_sim->waitHandshakeDone(5000ms));
    EXPECT_TRUE(m_sim->lastHandshake().completed);
    // In order; the calibration values' "MC" answer may add its own (1, 1).
    std::size_t next = from;
    for (Code code : {Code{2, 2}, Code{2, 3}, Code{1, 2}, Code{1, 1}, Code{2, 1}}) {
        const int at = waitNotice(code.first, code.second, 2000ms, next);
        ASSERT_GE(at, 0) << "no notification (" << code.first << ", " << code.second << ")";
        next = static_cast<std::size_t>(at) + 1;
    }
    EXPECT_EQ(m_link->m_nGenState, stateBefore);
    EXPECT_TRUE(m_sim->waitForCommand("MC? FC? KV? MS?", 1000ms));
}

}  // namespace
}  // namespace kestro::itest
