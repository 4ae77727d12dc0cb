// The generator's line going away and coming back while the session runs: the link
// notices at once and comes back by itself.

#include <sys/resource.h>

#include "session.h"

namespace kestro::itest {
namespace {

class Reconnect : public Session {
protected:
    void SetUp() override {
        // Reopening a vanished device is the serial port's; the CAN link comes back
        // through a new start-up (its own tests).
        if (overCan()) GTEST_SKIP() << "automatic reopening is built for the serial port";
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
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(m_sim->disconnect());
        // Marked down at once (not after three missed polls).
        EXPECT_TRUE(waitUntil([&] { return m_link->m_WorkFlags.bCommOk == 0; }, 500ms));
        if (round == 0) {
            // While the line is gone the library waits without spinning.
            const double before = processCpuSeconds();
            std::this_thread::sleep_for(1s);
            EXPECT_LT(processCpuSeconds() - before, 0.3);
        }
        std::string error;
        ASSERT_TRUE(m_sim->reconnect(&error)) << error;
        EXPECT_TRUE(waitUntil([] { return IO_GetCommState() == 1; }, 6s));
        const int kv = 60 + round;
        ASSERT_TRUE(m_sim->setValue("KV", kv));
        EXPECT_EQ(IO_RadKVValue(0, kv), kv);
    }
    EXPECT_EQ(m_link->m_nReconnections.load(), 10u);
    EXPECT_EQ(traceCount("COM port reopened"), 10u);
    // The host may still start the link anew itself.
    EXPECT_EQ(initGenerator(), 1);
    EXPECT_EQ(IO_RadKVValue(0, 99), 99);
}

}  // namespace
}  // namespace kestro::itest
