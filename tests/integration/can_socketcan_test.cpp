// The CAN session over the kernel's SocketCAN: a vcan interface in a network namespace of
// the test's own, the simulator's SocketCAN face and the library's SocketCAN backend.
// Where no vcan interface can be made (not root, no vcan module) the test says so and is
// skipped.

#include <sched.h>
#include <unistd.h>

#include <cstdlib>

#include "session.h"

namespace kestro::itest {
namespace {

class SocketCanSession : public Session {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "a vcan interface needs root";
        if (::unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "no network namespace of our own (unshare failed)";
        if (std::system("ip link add dev vcan0 type vcan >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "no vcan interface can be created here (the vcan kernel module is missing)";
        if (std::system("ip link set up vcan0 >/dev/null 2>&1") != 0) GTEST_SKIP() << "vcan0 cannot be set up";
        ::setenv("KESTRO_IT_TRANSPORT", "can", 1);
        ::setenv("KESTRO_IT_CAN_BUS", "socketcan:vcan0", 1);
        Session::SetUp();
    }
};

TEST_F(SocketCanSession, StartUpCommandsAndHandshakeOnVcan0) {
    ASSERT_EQ(initGenerator(), 1);
    // vcan has no bit rate of its own: the link says it is not the 500000 bit/s it runs at.
    EXPECT_GE(traceCount("CAN bus warning: interface vcan0 runs at an unknown bit/s, not 500000"), 1u);
    char set[] = "KV080";
    EXPECT_EQ(m_link->GetCpuCommandData(set, 5, 0), 1);
    EXPECT_EQ(m_link->m_pData->radKV, 80);
    EXPECT_EQ(IO_RefreshModelData(6, 3), 1);
    std::string why;
    ASSERT_TRUE(m_sim->startExposure(100, &why)) << why;
    EXPECT_TRUE(m_sim->waitHandshakeDone(5s));
    EXPECT_TRUE(m_sim->lastHandshake().completed);
}

TEST_F(SocketCanSession, InterfaceDownAndUpAgainIsOpenedAgainByTheLink) {
    ASSERT_EQ(initGenerator(), 1);
    ASSERT_TRUE(waitUntil([] { return IO_GetCommState() == 1; }, 9s));
    ASSERT_EQ(std::system("ip link set down vcan0"), 0);
    EXPECT_TRUE(waitUntil([&] { return m_link->m_WorkFlags.bCommOk == 0; }, 500ms));
    EXPECT_TRUE(waitTrace("CAN bus lost, m_WorkFlags.bCommOk FALSE", 1s));
    ASSERT_EQ(std::system("ip link set up vcan0"), 0);
    EXPECT_TRUE(waitTrace("CAN bus reopened", 3s));
    EXPECT_TRUE(waitUntil([] { return IO_GetCommState() == 1; }, 6s));
    ASSERT_TRUE(m_sim->setValue("KV", 71));
    EXPECT_EQ(IO_RadKVValue(0, 71), 71);
    EXPECT_EQ(m_link->m_nReconnections.load(), 1u);
}

}  // namespace
}  // namespace kestro::itest
