// Bytes from the generator side that start a unit and never finish it must not make
// the link deaf.

#include "session.h"

namespace kestro::itest {
namespace {

class StrayBytes : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        m_sim->setState(2);
        ASSERT_EQ(initGenerator(), 1);
    }
};

TEST_F(StrayBytes, AStrayDataBagHeaderDuringPacketRefreshesLeavesTheLinkWorking) {
    std::atomic<bool> stop{false};
    std::atomic<int> refreshes{0};
    std::atomic<int> refreshed{0};
    std::thread refresher([&] {
        for (int n = 1; !stop; n = n % 6 + 1) {
            refreshed += IO_RefreshModelData(6, n);
            ++refreshes;
        }
    });
    // A header announcing 65535 bytes that never come, several times while the
    // refreshes run (so that some land in the middle of an exchange).
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(150ms);
        m_sim->sendRaw({0x01, 0x05, 0xFF, 0xFF});
    }
    std::this_thread::sleep_for(300ms);
    stop = true;
    refresher.join();
    EXPECT_GT(refreshes.load(), 5);
    // Only the exchanges a header landed in may fail.
    EXPECT_GE(refreshed.load(), refreshes.load() - 5);

    EXPECT_EQ(IO_RefreshModelData(6, 1), 1);
    ASSERT_TRUE(m_sim->setValue("KV", 90));
    EXPECT_EQ(IO_RadKVValue(0, 90), 90);
    EXPECT_EQ(IO_GetCommState(), 1);
    EXPECT_GE(traceCount("Refused data bag reply longer than its type allows"), 1u);
}

}  // namespace
}  // namespace kestro::itest
