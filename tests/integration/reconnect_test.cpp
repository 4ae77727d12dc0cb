// The generator's line going away and coming back while the session runs: the link
// notices at once and comes back by itself.

#include <sys/resource.h>

#include "session.h"

namespace kestro::itest {
namespace {

class Reconnect : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        m_sim->setState(2);
        ASSERT_EQ(initGenerator(), 1);
        ASSERT_TRUE(waitUntil([] { return IO_GetCommState() == 1; }, 9s));
    }
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(Reconnect, UnpluggedTenTimesTheSessionComesBackEachTime) {
    // Over CAN the simulator's socketcand face drops its client and turns new ones away
    // while the generator is unplugged.
    const std::string device = overCan() ? "CAN bus" : "COM port";
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(m_sim->disconnect());
        // Marked down at once (not after three missed polls).
        EXPECT_TRUE(waitUntil([&] { return m_link->m_WorkFlags.bCommOk == 0; }, 500ms));
        if (round == 0) {
            // While the line is gone the library waits without spinning.
            const double before = processCpuSeconds();
            std::this_thread::sleep_for(1s);
            const double used = processCpuSeconds() - before;
            RecordProperty("cpu_seconds_in_one_second_unplugged", std::to_string(used));
            EXPECT_LT(used, 0.3);
        }
        std::string error;
        ASSERT_TRUE(m_sim->reconnect(&error)) << error;
        EXPECT_TRUE(waitUntil([] { return IO_GetCommState() == 1; }, 6s));
        const int kv = 60 + round;
        ASSERT_TRUE(m_sim->setValue("KV", kv));
        EXPECT_EQ(IO_RadKVValue(0, kv), kv);
    }
    EXPECT_EQ(m_link->m_nReconnections.load(), 10u);
    EXPECT_EQ(traceCount(device + " reopened"), 10u);
    EXPECT_EQ(traceCount(device + " lost, m_WorkFlags.bCommOk FALSE"), 10u);
    if (overCan()) {
        EXPECT_EQ(m_canFace->counters().clients, 11u);  // the start-up's and one per round
        EXPECT_GE(m_canFace->counters().refusedClients, 1u);  // attempts while unplugged
    }
    KestroLinkStatistics stats{};
    ASSERT_EQ(KestroGetLinkStatistics(&stats), 1);
    EXPECT_EQ(stats.reconnections, 10u);
    // The host may still start the link anew itself.
    EXPECT_EQ(initGenerator(), 1);
    EXPECT_EQ(IO_RadKVValue(0, 99), 99);
}

}  // namespace
}  // namespace kestro::itest
