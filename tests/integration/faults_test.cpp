// Faults on the line: garbage, corrupted, split and slow frames, and the port
// vanishing in the middle of a session.

#include "session.h"

#include <sys/resource.h>

namespace kestro::itest {
namespace {

class Faults : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(initGenerator(), 1);
    }
};

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

TEST_F(Faults, DamagedAnswersAreDroppedAndTheParserResynchronises) {
    struct Case {
        const char* fault;
        int kv;
        bool acknowledged;
    };
    const Case cases[] = {
        {"garbage", 91, true},        // bytes that start no message before each frame
        {"split", 92, true},          // frames arrive in pieces
        {"bad-checksum", 93, false},  // every frame fails its checksum
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const int before = m_link->m_pData->radKV;
        ASSERT_TRUE(m_sim->setValue("KV", c.kv));
        ASSERT_TRUE(m_sim->setFault(c.fault, true));
        char query[] = "KV?";
        EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), c.acknowledged ? 1 : 0);
        EXPECT_EQ(m_link->m_pData->radKV, c.acknowledged ? c.kv : before);
        m_sim->clearFaults();
        // The next clean answer is understood.
        EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), 1);
        EXPECT_EQ(m_link->m_pData->radKV, c.kv);
    }
    EXPECT_EQ(traceCount("Got command from GEN : KV093"), 1u);  // the corrupted ones were not traced
}

TEST_F(Faults, SlowAnswerWithinTheBudgetIsAccepted) {
    m_sim->setSlow(60ms);
    char query[] = "KV?";
    EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), 1);
    EXPECT_EQ(m_sim->countCommand("KV?"), 1u);
}

TEST_F(Faults, PortVanishingMidSessionNeitherHangsNorSpins) {
    ASSERT_TRUE(m_sim->disconnect());
    char query[] = "KV?";
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);

    // The reader must not busy-loop on the dead device.
    const double cpuBefore = processCpuSeconds();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(processCpuSeconds() - cpuBefore, 0.3);

    // The generator comes back on a new line: a fresh start-up reopens the port.
    std::string error;
    ASSERT_TRUE(m_sim->reconnect(&error)) << error;
    EXPECT_EQ(initGenerator(), 1);
    EXPECT_EQ(m_link->GetCpuCommandData(query, 3, 0), 1);

    // And vanishing again, the link still shuts down promptly.
    ASSERT_TRUE(m_sim->disconnect());
    const auto stopping = std::chrono::steady_clock::now();
    IO_DeleteRes();
    m_link = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - stopping, 2s);
}

}  // namespace
}  // namespace kestro::itest
