// The queued AEC DDC value: the host thread queues it, the link's worker takes it under
// the link's DDC lock (reading request and value together and clearing the request),
// exactly as the worker cycle does.

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "operator_fixture.h"

namespace kestro::test {
namespace {

// One worker-side take: the pending value, or -1 when nothing is pending.
int takePendingDDC(CCommProtocol& link) {
    std::lock_guard<std::mutex> lock(link.m_DDCLock);
    if (link.m_bSendDDC == 0) return -1;
    link.m_bSendDDC = 0;
    return link.m_nDDCValue;
}

using DDC = OperatorTest;

TEST_F(DDC, QueuesWithoutSending) {
    silence();
    EXPECT_EQ(IO_SendAECDDC(42), 1);
    EXPECT_EQ(link->m_bSendDDC, 1);
    EXPECT_EQ(link->m_nDDCValue, 42);
    EXPECT_EQ(IO_SendAECDDC(9000), 1);  // range is the worker's business
    EXPECT_EQ(takePendingDDC(*link), 9000);
    EXPECT_EQ(takePendingDDC(*link), -1);
    EXPECT_TRUE(port.frames().empty());
}

// A host thread queues 1, 2, 3, ... as fast as it can while a worker thread keeps
// taking. The worker must see each value at most once and in order (never a stale
// value with a fresh request), and the last value must be taken or still pending
// (never dropped by a clear that raced with the request).
TEST_F(DDC, HandOverBetweenThreadsLosesAndTearsNothing) {
    constexpr int kValues = 20000;
    std::atomic<bool> hostDone{false};
    std::vector<int> taken;
    std::thread worker([&] {
        while (true) {
            const bool finished = hostDone.load();
            const int value = takePendingDDC(*link);
            if (value >= 0) taken.push_back(value);
            if (finished && value < 0) break;
            std::this_thread::yield();
        }
    });
    std::thread hostThread([&] {
        for (int v = 1; v <= kValues; ++v) ASSERT_EQ(IO_SendAECDDC(v), 1);
        hostDone = true;
    });
    hostThread.join();
    worker.join();
    ASSERT_FALSE(taken.empty());
    for (std::size_t i = 1; i < taken.size(); ++i) ASSERT_LT(taken[i - 1], taken[i]) << "at " << i;
    EXPECT_EQ(taken.back(), kValues);
    EXPECT_EQ(link->m_bSendDDC, 0);
}

// A request that lands while the worker is between reading and clearing the pending
// pair must survive the clear: the host's call waits for the worker's lock, and its
// value is pending afterwards.
TEST_F(DDC, RequestDuringTheWorkersTakeIsNotLost) {
    {
        std::lock_guard<std::mutex> lock(link->m_DDCLock);
        link->m_nDDCValue = 10;
        link->m_bSendDDC = 1;
    }
    std::atomic<bool> workerInside{false}, hostReturned{false};
    int takenByWorker = -1;
    std::thread worker([&] {
        std::lock_guard<std::mutex> lock(link->m_DDCLock);
        takenByWorker = link->m_bSendDDC ? link->m_nDDCValue.load() : -1;
        workerInside = true;
        // The worker is busy for a while; a host call that does not wait for the lock
        // would complete now.
        waitUntil([&] { return hostReturned.load(); }, std::chrono::milliseconds(100));
        link->m_bSendDDC = 0;
    });
    ASSERT_TRUE(waitUntil([&] { return workerInside.load(); }, std::chrono::seconds(5)));
    EXPECT_EQ(IO_SendAECDDC(20), 1);
    hostReturned = true;
    worker.join();
    EXPECT_EQ(takenByWorker, 10);
    EXPECT_EQ(link->m_bSendDDC, 1);
    EXPECT_EQ(link->m_nDDCValue, 20);
    EXPECT_EQ(takePendingDDC(*link), 20);
}

}  // namespace
}  // namespace kestro::test
