// Taking the resources down while other host threads are inside exports: the link
// must outlive every call that already reached it, and later calls must fail cleanly.

#include <atomic>
#include <future>

#include "session.h"

namespace kestro::itest {
namespace {

class Lifetime : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        m_sim->setState(2);
        ASSERT_EQ(initGenerator(), 1);
    }
};

TEST_F(Lifetime, DeleteResWaitsForTheCallStillWaitingForItsAnswer) {
    ASSERT_TRUE(m_sim->setFault("silence", true));
    const auto mark = m_sim->logMark();
    std::atomic<bool> callReturned{false};
    auto call = std::async(std::launch::async, [&] {
        const int result = IO_RadKVValue(0, 90);
        callReturned = true;
        return result;
    });
    // The call is in flight once its command is on the wire; it waits ~200 ms in vain.
    ASSERT_TRUE(m_sim->waitForCommand("KV090", 2s, mark));
    IO_DeleteRes();
    EXPECT_TRUE(callReturned.load()) << "IO_DeleteRes returned while a call was still using the link";
    EXPECT_EQ(call.get(), -1);
    // Once the link is gone every call fails without touching it.
    EXPECT_EQ(IO_RadKVValue(0, 91), -1);
    EXPECT_EQ(IO_GetCommState(), 0);
    EXPECT_EQ(IO_RefreshModelData(6, 0), 0);
}

TEST_F(Lifetime, CreateAndDeleteRacingSettersGettersAndPacketOperations) {
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 2; ++t)
        hosts.emplace_back([&, t] {
            for (int v = 60; !stop; v = v == 120 ? 60 : v + 1) {
                IO_RadKVValue(0, v + t);
                ++calls;
            }
        });
    hosts.emplace_back([&] {
        while (!stop) {
            IO_GetCommState();
            IO_GetSTValue();
            ++calls;
        }
    });
    hosts.emplace_back([&] {
        while (!stop) {
            IO_RefreshModelData(6, 0);
            ++calls;
        }
    });
    for (int round = 1; round <= 16; ++round) {
        IO_DeleteRes();
        IO_CreateRes();
        // Bring the new link up now and then so that the calls reach a live generator.
        if (round % 4 == 0) IO_InitGenerator(m_window);
        std::this_thread::sleep_for(20ms);
    }
    stop = true;
    for (auto& host : hosts) host.join();
    EXPECT_GT(calls.load(), 100);

    // The last link built works normally.
    IO_DeleteRes();
    IO_CreateRes();
    ASSERT_EQ(IO_InitGenerator(m_window), 1);
    ASSERT_TRUE(m_sim->setValue("KV", 77));
    EXPECT_EQ(IO_RadKVValue(0, 77), 77);
}

}  // namespace
}  // namespace kestro::itest
