// CSerialPort against a real pseudo-terminal: the port opens the terminal side
// (KESTRO_COM7), the test plays the far end on the master side.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "transport/serial_port.h"

namespace kestro {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr UINT kPort = 7;
const std::string kComErrorLine =
    "[COM Error] COM or USB to COM port Invalid ! Please check the connection and restart software. \n";

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

int countOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

// Opens a pseudo-terminal pair and points KESTRO_COM7 at its terminal side. The test
// also holds the terminal side open itself (opened before the port, so the port's
// exclusive mode does not stop it) to look at the line settings the port applied.
class SerialPty : public ::testing::Test {
protected:
    void SetUp() override {
        master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        slavePath = ::ptsname(master);
        observer = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(observer, 0);
        ::setenv("KESTRO_COM7", slavePath.c_str(), 1);
        port.setTraceSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(traceMutex);
            traces.push_back(line);
        });
    }

    void TearDown() override {
        port.Close();
        ::unsetenv("KESTRO_COM7");
        if (observer >= 0) ::close(observer);
        if (master >= 0) ::close(master);
    }

    int openDefault() { return port.Open(kPort, 19200, 0, 8, 1, 512); }

    void masterWrite(const std::vector<std::uint8_t>& bytes) {
        ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Reads from the master side until count bytes came or the time passed.
    std::vector<std::uint8_t> masterRead(std::size_t count, int timeoutMs = 2000) {
        std::vector<std::uint8_t> got;
        const auto deadline = Clock::now() + milliseconds(timeoutMs);
        while (got.size() < count && Clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            std::uint8_t buf[256];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    // Polls BytesInQueue until it reaches count or 2 s passed.
    int waitQueued(int count) {
        const auto deadline = Clock::now() + milliseconds(2000);
        int queued = 0;
        while ((queued = port.BytesInQueue()) < count && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
        return queued;
    }

    std::vector<std::string> traceLines() {
        std::lock_guard<std::mutex> lock(traceMutex);
        return traces;
    }

    int master = -1;
    int observer = -1;
    std::string slavePath;
    CSerialPort port;
    std::mutex traceMutex;
    std::vector<std::string> traces;
};

TEST(SerialDeviceName, EnvironmentNamesThePortOtherwiseTtyS) {
    ::setenv("KESTRO_COM3", "/dev/pts/42", 1);
    ::unsetenv("KESTRO_COM4");
    ::setenv("KESTRO_COM5", "", 1);
    EXPECT_EQ(CSerialPort::deviceName(3), "/dev/pts/42");
    EXPECT_EQ(CSerialPort::deviceName(4), "/dev/ttyS3");
    EXPECT_EQ(CSerialPort::deviceName(5), "/dev/ttyS4");  // empty: as if unset
    EXPECT_EQ(CSerialPort::deviceName(1), "/dev/ttyS0");
    EXPECT_EQ(CSerialPort::deviceName(10), "/dev/ttyS9");
    ::unsetenv("KESTRO_COM3");
    ::unsetenv("KESTRO_COM5");
}

TEST_F(SerialPty, OpenIsExclusiveIdempotentAndReopenable) {
    EXPECT_EQ(port.IsOpen(), 0);
    ASSERT_EQ(openDefault(), 1);
    EXPECT_EQ(port.IsOpen(), 1);
    EXPECT_EQ(port.portNumber(), kPort);
    EXPECT_EQ(port.bufferSize(), 512u);

    // Open on an open port keeps the line as it is.
    EXPECT_EQ(port.Open(kPort, 4800, 2, 7, 3, 64), 1);
    termios t{};
    ASSERT_EQ(::tcgetattr(observer, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

    CSerialPort other;
    EXPECT_EQ(other.Open(kPort, 19200, 0, 8, 1, 512), 0);  // held by the first port

    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(port.IsOpen(), 0);
    EXPECT_EQ(port.Close(), 1);
    EXPECT_EQ(other.Open(kPort, 19200, 0, 8, 1, 512), 1);  // free again
    EXPECT_EQ(other.Close(), 1);
    EXPECT_EQ(openDefault(), 1);
}

TEST_F(SerialPty, FailedOpensReturnZeroQuietlyAndLeaveNothingOpen) {
    testing::internal::CaptureStderr();
    ::setenv("KESTRO_COM8", "/nonexistent/tty", 1);
    EXPECT_EQ(port.Open(8, 19200, 0, 8, 1, 512), 0);
    ::setenv("KESTRO_COM8", "/dev/null", 1);  // not a terminal: settings rejected
    EXPECT_EQ(port.Open(8, 19200, 0, 8, 1, 512), 0);
    ::unsetenv("KESTRO_COM8");

    struct Bad {
        UINT baud;
        BYTE parity, byteSize;
        UINT stopBits;
    };
    for (const Bad& bad : {Bad{12345, 0, 8, 1}, Bad{19200, 5, 8, 1}, Bad{19200, 0, 9, 1}, Bad{19200, 0, 3, 1},
                           Bad{19200, 0, 8, 0}, Bad{19200, 0, 8, 4}}) {
        EXPECT_EQ(port.Open(kPort, bad.baud, bad.parity, bad.byteSize, bad.stopBits, 512), 0)
            << bad.baud << " " << int(bad.parity) << " " << int(bad.byteSize) << " " << bad.stopBits;
        EXPECT_EQ(port.IsOpen(), 0);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(traceLines().empty());
    // A rejected open let go of the device.
    CSerialPort other;
    EXPECT_EQ(other.Open(kPort, 19200, 0, 8, 1, 512), 1);
}

TEST_F(SerialPty, LineSettingsAreApplied) {
    struct Case {
        UINT baud;
        BYTE parity, byteSize;
        UINT stopBits;
        speed_t speed;
        tcflag_t stop;  // a pseudo-terminal keeps 8 bits without parity, but keeps this
    };
    const Case cases[] = {
        {4800, 0, 8, 1, B4800, 0},
        {9600, 1, 7, 2, B9600, CSTOPB},  // one and a half: two
        {19200, 2, 6, 3, B19200, CSTOPB},
        {115200, 0, 4, 1, B115200, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        ASSERT_EQ(port.Open(kPort, c.baud, c.parity, c.byteSize, c.stopBits, 512), 1);
        termios t{};
        ASSERT_EQ(::tcgetattr(observer, &t), 0);
        EXPECT_EQ(::cfgetospeed(&t), c.speed);
        EXPECT_EQ(::cfgetispeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & CSTOPB, c.stop);
        EXPECT_NE(t.c_cflag & CLOCAL, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
        port.Close();
    }
}

TEST_F(SerialPty, BytesTravelUnchangedBothWays) {
    ASSERT_EQ(openDefault(), 1);
    // Bytes a cooked terminal would change or act on.
    const std::vector<std::uint8_t> frame = {'K', 'V', 0x00, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x04, 0x7F, 0xFF};

    EXPECT_EQ(port.Write(frame.data(), static_cast<UINT>(frame.size())), static_cast<int>(frame.size()));
    EXPECT_EQ(masterRead(frame.size()), frame);
    EXPECT_TRUE(masterRead(1, 100).empty());  // nothing added either

    masterWrite(frame);
    EXPECT_EQ(waitQueued(static_cast<int>(frame.size())), static_cast<int>(frame.size()));
    std::vector<std::uint8_t> got(frame.size() + 4, 0xEE);
    EXPECT_EQ(port.Read(got.data(), 3), 3);
    EXPECT_EQ(port.BytesInQueue(), static_cast<int>(frame.size()) - 3);
    // Asking for more than is queued gives what is there, at once.
    const auto start = Clock::now();
    EXPECT_EQ(port.read(got.data() + 3, static_cast<int>(got.size()) - 3), static_cast<int>(frame.size()) - 3);
    EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.begin() + static_cast<long>(frame.size())), frame);
    EXPECT_EQ(port.Read(got.data(), 4), 0);  // empty queue: nothing, no wait
    EXPECT_LT(msSince(start), 500);
    EXPECT_EQ(port.BytesInQueue(), 0);
    EXPECT_TRUE(traceLines().empty());
}

TEST_F(SerialPty, ClosedPortDoesNothing) {
    std::uint8_t byte = 'A';
    EXPECT_EQ(port.Write(&byte, 1), 0);
    EXPECT_EQ(port.Read(&byte, 1), 0);
    EXPECT_EQ(port.BytesInQueue(), 0);
    EXPECT_FALSE(port.waitForInput(1000));
    EXPECT_EQ(port.PurgeRx(), 1);
    EXPECT_EQ(port.PurgeTx(), 1);
}

TEST_F(SerialPty, PurgeRxDiscardsQueuedInput) {
    ASSERT_EQ(openDefault(), 1);
    masterWrite({1, 2, 3});
    ASSERT_EQ(waitQueued(3), 3);
    EXPECT_EQ(port.PurgeRx(), 1);
    EXPECT_EQ(port.BytesInQueue(), 0);
}

TEST_F(SerialPty, WaitForInputEndsOnDataTimeoutCancelAndClose) {
    ASSERT_EQ(openDefault(), 1);

    // Times out, neither early nor far too late.
    auto start = Clock::now();
    EXPECT_FALSE(port.waitForInput(150));
    EXPECT_GE(msSince(start), 140);
    EXPECT_LT(msSince(start), 1500);

    // Data from the far end.
    std::thread far([this] {
        std::this_thread::sleep_for(milliseconds(50));
        masterWrite({0x42});
    });
    start = Clock::now();
    EXPECT_TRUE(port.waitForInput(5000));
    EXPECT_LT(msSince(start), 2000);
    far.join();
    EXPECT_EQ(port.BytesInQueue(), 1);
    port.PurgeRx();

    // Cancelled from another thread while waiting without limit.
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = port.waitForInput(-1) ? 1 : 0; });
    std::this_thread::sleep_for(milliseconds(50));
    start = Clock::now();
    port.cancelWait();
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(msSince(start), 2000);

    // A cancel before the wait ends the next wait at once, and only that one.
    port.cancelWait();
    start = Clock::now();
    EXPECT_FALSE(port.waitForInput(5000));
    EXPECT_LT(msSince(start), 1000);
    start = Clock::now();
    EXPECT_FALSE(port.waitForInput(100));
    EXPECT_GE(msSince(start), 90);

    // Close wakes a waiter.
    result = -1;
    std::thread closing([&] { result = port.waitForInput(-1) ? 1 : 0; });
    std::this_thread::sleep_for(milliseconds(50));
    start = Clock::now();
    EXPECT_EQ(port.Close(), 1);
    closing.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(msSince(start), 2000);
}

TEST_F(SerialPty, CloseEndsAWriteTheFarEndDoesNotTake) {
    ASSERT_EQ(openDefault(), 1);
    // Far more than the terminal buffers; its time-out would be many minutes.
    std::vector<std::uint8_t> big(4 * 1024 * 1024, 0x55);
    std::atomic<int> written{-1};
    std::thread writer([&] { written = port.Write(big.data(), static_cast<UINT>(big.size())); });
    pollfd p{master, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);  // the write has started
    std::this_thread::sleep_for(milliseconds(50));
    const auto start = Clock::now();
    EXPECT_EQ(port.Close(), 1);
    writer.join();
    EXPECT_LT(msSince(start), 2000);
    EXPECT_EQ(written.load(), 0);  // not a partial count
}

TEST_F(SerialPty, WritesAreNotHeldUpByABusyReader) {
    ASSERT_EQ(openDefault(), 1);
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) port.BytesInQueue();  // the link's receive loop asks without pause
    });
    const std::uint8_t frame[] = {'S', 'T', 0x03, 0x57};
    const auto start = Clock::now();
    int ok = 0;
    for (int i = 0; i < 100; ++i) ok += port.Write(frame, sizeof frame) == static_cast<int>(sizeof frame);
    const auto took = msSince(start);
    stop = true;
    reader.join();
    EXPECT_EQ(ok, 100);
    EXPECT_LT(took, 1000);  // a writer and the reader giving up on each other costs 1 s
    EXPECT_EQ(masterRead(100 * sizeof frame).size(), 100 * sizeof frame);
}

TEST_F(SerialPty, LostFarEndFailsCleanlyAndIsReportedOnce) {
    ASSERT_EQ(openDefault(), 1);
    masterWrite({1, 2});
    ASSERT_EQ(waitQueued(2), 2);
    std::uint8_t buf[8];
    ASSERT_EQ(port.Read(buf, 2), 2);

    testing::internal::CaptureStderr();
    ::close(master);
    master = -1;

    // Every wait returns false promptly (no hang, no spinning on the hang-up).
    const auto start = Clock::now();
    for (int i = 0; i < 50; ++i) EXPECT_FALSE(port.waitForInput(5000));
    EXPECT_LT(msSince(start), 2000);

    const std::uint8_t frame[] = {'S', 'T', 0x03};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(port.Write(frame, sizeof frame), 0);
        EXPECT_EQ(port.Read(buf, 1), 0);
        EXPECT_EQ(port.BytesInQueue(), 0);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(countOf(err, kComErrorLine), 1) << err;
    EXPECT_EQ(countOf(err, "Application Error"), 0) << err;
    EXPECT_TRUE(traceLines().empty());

    // Closing and opening again is how the port comes back; the box stays shown once.
    EXPECT_EQ(port.Close(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(openDefault(), 0);  // the terminal side went with its master
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(SerialPty, ReportLastErrorNamesCallErrorAndPort) {
    ASSERT_EQ(openDefault(), 1);
    testing::internal::CaptureStderr();
    errno = ENOENT;
    port.ReportLastError("ReadFile()");
    errno = EACCES;
    port.ReportLastError("WriteFile()");
    const std::string err = testing::internal::GetCapturedStderr();
    // The box text is "WARNING:  <what> Failed with the following error: \n<text>\nPort: <n>\n";
    // on standard error its line breaks show as " | ".
    EXPECT_EQ(err, "[Application Error] WARNING:  ReadFile() Failed with the following error:  | " +
                       platform::errorText(ENOENT) + " | Port: 7 | \n" +
                       "[Application Error] WARNING:  WriteFile() Failed with the following error:  | " +
                       platform::errorText(EACCES) + " | Port: 7 | \n");
}

}  // namespace
}  // namespace kestro
