// The worker thread against the simulator: the once-a-second poll, the ready light
// after error 220, the queued AEC DDC value, loss and return of the connection, and the
// fluoroscopy watchdog. The worker starts polling about 5 s after start-up, so each of
// these tests waits for it once.

#include "session.h"

namespace kestro::itest {
namespace {

class Worker : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(initGenerator(), 1);
        ASSERT_TRUE(waitWorkerRunning()) << "the worker never polled";
    }

    void queueDDC(int value) {
        std::lock_guard<std::mutex> lock(m_link->m_DDCLock);
        m_link->m_nDDCValue = value;
        m_link->m_bSendDDC = 1;
    }
};

TEST_F(Worker, ReadyLightFollowsError220FiveCyclesLater) {
    m_sim->reportError(220);
    const int error = waitNotice(6, 220, 2000ms);
    ASSERT_GE(error, 0);
    const int ready = waitNotice(9, 5, 6000ms, static_cast<std::size_t>(error) + 1);
    ASSERT_GE(ready, 0) << "no ready-light notification";
    // Five 500 ms cycles after the report: four whole cycles at least, less the slack of
    // when this thread took the two notifications from the window.
    EXPECT_GE(notices()[ready].time - notices()[error].time, 1800ms);
    // The worker writes its line and clears the thermal count just after the notice.
    EXPECT_TRUE(waitTrace("Sent ready light lighted message!", 1000ms));
    EXPECT_EQ(traceCount("Sent ready light lighted message!"), 1u);
    EXPECT_EQ(m_link->m_bErr220Pending, 0);
    EXPECT_TRUE(waitUntil([&] { return m_link->m_nThermalErrorCount == 0; }, 1000ms));
}

TEST_F(Worker, PollsKeepWatchAndSendTheQueuedDDC) {
    queueDDC(42);
    EXPECT_TRUE(m_sim->waitForCommand("DDC0042", 3000ms));
    queueDDC(9000);  // out of range: dropped, request cleared
    EXPECT_TRUE(waitUntil([&] { return m_link->m_bSendDDC == 0; }, 3000ms));
    EXPECT_EQ(m_sim->countCommand("DDC9000"), 0u);

    // A silent generator: three unanswered polls mark the connection lost, once.
    m_sim->setFault("silence", true);
    ASSERT_TRUE(waitTrace("Cannot connect!", 10000ms));
    EXPECT_EQ(m_link->m_WorkFlags.bCommOk, 0);
    EXPECT_EQ(traceCount("Cannot connect!"), 1u);
    // Back again: the next answered poll restores it.
    m_sim->setFault("silence", false);
    EXPECT_TRUE(waitUntil([&] { return m_link->m_WorkFlags.bCommOk == 1; }, 4000ms));

    // Program mode polls the status instead of the heat.
    ASSERT_EQ(IO_SetDllMode(1), 1);
    const auto mark = m_sim->logMark();
    EXPECT_TRUE(m_sim->waitForCommand("ST", 3000ms, mark));
    EXPECT_FALSE(m_sim->waitForCommand("HE?", 0ms, mark));
}

TEST_F(Worker, FluoroscopyWithoutHeatReportsEndsInLostConnection) {
    m_sim->setHeatReportPeriod(std::chrono::hours(1));
    std::string why;
    ASSERT_TRUE(m_sim->startFluoro(&why)) << why;
    ASSERT_TRUE(waitUntil([&] { return m_link->m_nGenState == 14; }, 3000ms));
    // Eight cycles of "RF" refreshes without an "HE": lost, back to state 2.
    ASSERT_TRUE(waitUntil([&] { return m_link->m_nGenState == 2; }, 8000ms));
    EXPECT_EQ(m_link->m_WorkFlags.bCommOk, 0);
    // The eighth "RF" went out just before the state changed; it may still be on its way.
    EXPECT_TRUE(waitUntil([&] { return m_sim->countCommand("RF") >= 8u; }, 1000ms));
}

TEST_F(Worker, SerialExposureWithoutItsEndIsCutOff) {
    // A serial exposure on receptor 5 at 30 pulses per second: no polls while it runs,
    // and without the generator's AT message the sum passes 3 x 30 on the fourth step.
    m_link->m_pData->receptor = 5;
    m_link->m_pData->radPPS = 30;
    m_link->m_nGenState = 3;
    const auto mark = m_sim->logMark();
    ASSERT_TRUE(waitUntil([&] { return m_link->m_nGenState == 2; }, 8000ms));
    EXPECT_EQ(m_link->m_WorkFlags.bCommOk, 0);
    EXPECT_EQ(m_link->m_nPostExpPollCount, 120);
    EXPECT_FALSE(m_sim->waitForCommand("HE?", 0ms, mark));
}

}  // namespace
}  // namespace kestro::itest
