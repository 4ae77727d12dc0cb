// Host threads sharing the link: ordinary commands keep working while another thread
// runs packet operations, and the packet operations keep working too.

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "session.h"

namespace kestro::itest {
namespace {

class SharedLink : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        m_sim->setState(2);
        ASSERT_EQ(initGenerator(), 1);
    }
};

TEST_F(SharedLink, CommandsAndPacketRefreshesFromSeveralThreadsAllSucceed) {
    struct Tally {
        std::atomic<long> calls{0};
        std::atomic<long> failed{0};
        void count(bool ok) {
            ++calls;
            if (!ok) ++failed;
        }
    };
    // 10 s by default; the test command runs it for 60 s once (KESTRO_STRESS_SECONDS).
    const char* seconds = std::getenv("KESTRO_STRESS_SECONDS");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds ? std::atoi(seconds) : 10);
    auto running = [&] { return std::chrono::steady_clock::now() < until; };
    Tally packets, setters, status;
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        for (int n = 1; running(); n = n % 6 + 1) packets.count(IO_RefreshModelData(6, n) == 1);
    });
    for (int t = 0; t < 5; ++t)
        threads.emplace_back([&, t] {
            for (int v = 50 + t; running(); v = v >= 140 ? 50 + t : v + 5) setters.count(IO_RadKVValue(0, v) != -1);
        });
    threads.emplace_back([&] {
        while (running()) status.count(IO_GetSTValue() != -1 && IO_GetCommState() == 1);
    });
    for (auto& thread : threads) thread.join();

    EXPECT_GT(packets.calls.load(), 20);
    EXPECT_GT(setters.calls.load(), 100);
    EXPECT_GT(status.calls.load(), 20);
    EXPECT_EQ(packets.failed.load(), 0);
    EXPECT_EQ(setters.failed.load(), 0);
    EXPECT_EQ(status.failed.load(), 0);
}

}  // namespace
}  // namespace kestro::itest
