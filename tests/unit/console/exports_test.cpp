// The console's exports through the C interface: opening the console port with the
// settings file's values, closing it, and handing requests to the console object.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <kestro/kestro.h>

#include "api/app.h"
#include "temp_host.h"

namespace kestro {
namespace {

class ConsoleExports : public ::testing::Test {
protected:
    void load(const std::string& serialComm) {
        host.standardLayout("", "[Communication]\r\nCommunication Type=1\r\n[Serial comm]\r\n" + serialComm);
        ASSERT_EQ(theApp().InitInstance(), 1);
    }
    void TearDown() override {
        theApp().ExitInstance();
        ::unsetenv("KESTRO_COM5");
        if (master >= 0) ::close(master);
    }
    // A pseudo-terminal the console opens as COM5; its master stays with the test.
    std::string makePty() {
        if (master >= 0) ::close(master);
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(::grantpt(master), 0);
        EXPECT_EQ(::unlockpt(master), 0);
        const std::string slave = ::ptsname(master);
        ::setenv("KESTRO_COM5", slave.c_str(), 1);
        return slave;
    }

    test::TempHost host;
    int master = -1;
};

TEST_F(ConsoleExports, InitOpensThePortWithTheConfiguredLineAndStartsTheThreads) {
    load("com=5\r\nbaud=9600\r\nstopbit=2\r\nparity=even\r\ndatabit=7\r\n");
    makePty();
    HWND window = KestroCreateMessageWindow();
    ASSERT_EQ(GSIInitConsole(window), 1);
    CMyProtocl* console = g_pConsole;
    ASSERT_NE(console, nullptr);
    EXPECT_TRUE(console->m_SerialPort.IsOpen());
    EXPECT_EQ(console->m_SerialPort.portNumber(), 5u);
    EXPECT_TRUE(console->threadsStarted());
    EXPECT_EQ(console->msgWnd(), window);

    termios tio{};
    ASSERT_EQ(::tcgetattr(master, &tio), 0);
    // A pseudo-terminal keeps the speed and the stop bits it is given (it forces 8 data
    // bits without parity).
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);

    // Closing ends the console object and builds fresh objects in its place.
    EXPECT_EQ(GSICloseConsoleCommunication(), 1);
    ASSERT_NE(g_pConsole.load(), nullptr);
    EXPECT_FALSE(g_pConsole.load()->threadsStarted());
    EXPECT_FALSE(g_pConsole.load()->m_SerialPort.IsOpen());
    EXPECT_NE(g_pCommProtocol.load(), nullptr);
    KestroDestroyMessageWindow(window);
}

TEST_F(ConsoleExports, InitWithAPortThatCannotBeOpenedLeavesNothingRunning) {
    load("com=5\r\n");
    ::setenv("KESTRO_COM5", (host.dir() / "no-such-device").c_str(), 1);
    EXPECT_EQ(GSIInitConsole(nullptr), 0);
    ASSERT_NE(g_pConsole.load(), nullptr);
    EXPECT_FALSE(g_pConsole.load()->threadsStarted());
    EXPECT_FALSE(g_pConsole.load()->m_SerialPort.IsOpen());

    // After a start that worked, a failed one stops the threads, and a good one again
    // starts them.
    makePty();
    ASSERT_EQ(GSIInitConsole(nullptr), 1);
    EXPECT_TRUE(g_pConsole.load()->threadsStarted());
    ::setenv("KESTRO_COM5", (host.dir() / "no-such-device").c_str(), 1);
    EXPECT_EQ(GSIInitConsole(nullptr), 0);
    EXPECT_FALSE(g_pConsole.load()->threadsStarted());
    makePty();
    ASSERT_EQ(GSIInitConsole(nullptr), 1);
    EXPECT_TRUE(g_pConsole.load()->threadsStarted());
}

TEST_F(ConsoleExports, RequestsReachTheConsoleObject) {
    load("com=5\r\n");
    CMyProtocl* console = g_pConsole;
    GSIConsoleUpDownload(nullptr, 1, 9);  // no text: nothing is stored
    EXPECT_FALSE(console->requestPending());
    EXPECT_EQ(IO_ConsoleDownLoad(nullptr, 1, 9), 0);
    EXPECT_FALSE(console->requestPending());

    GSIConsoleUpDownload("", 4, 10);
    EXPECT_TRUE(console->requestPending());
    EXPECT_EQ(console->operationCode(), 10);
    EXPECT_EQ(console->transferLength(), 512);
    EXPECT_EQ(IO_ConsoleDownLoad("/tmp/some.apr", 0, 12), 1);
    EXPECT_EQ(console->operationCode(), 12);
    // Without a write thread, operation 6 does not wait for the pending request.
    EXPECT_EQ(IO_ConsoleDownLoad("/tmp/other.apr", 0, 6), 1);
    EXPECT_EQ(console->operationCode(), 6);
}

TEST_F(ConsoleExports, InitDllStartsTheConsoleAndDeleteResStopsIt) {
    load("com=5\r\n");
    EXPECT_EQ(IO_InitDLL(3), 1);
    EXPECT_TRUE(g_pConsole.load()->threadsStarted());
    EXPECT_EQ(CMyProtocl::thread.load(), 1);
    IO_DeleteRes();
    EXPECT_EQ(g_pConsole.load(), nullptr);
    EXPECT_EQ(CMyProtocl::thread.load(), 0);
    EXPECT_EQ(IO_InitDLL(3), 0);
    IO_CreateRes();
    ASSERT_NE(g_pConsole.load(), nullptr);
    EXPECT_EQ(CMyProtocl::thread.load(), 1);
}

}  // namespace
}  // namespace kestro
