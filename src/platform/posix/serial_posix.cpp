// The serial port on POSIX: a termios device in raw mode, non-blocking I/O and poll().
//
// Port N is the device named by the environment variable KESTRO_COM<N>, otherwise
// /dev/ttyS<N-1>. The device is opened exclusively (TIOCEXCL for other openers, an
// advisory lock for cooperating ones, which also holds for root).
//
// What termios cannot express: 4 data bits become 5 (the nearest size a POSIX line
// has) and one and a half stop bits become two.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "transport/serial_backend.h"

namespace kestro {

std::string CSerialPort::deviceName(UINT port) {
    const std::string variable = "KESTRO_COM" + std::to_string(port);
    if (const char* named = std::getenv(variable.c_str()); named != nullptr && named[0] != '\0') return named;
    return "/dev/ttyS" + std::to_string(static_cast<long long>(port) - 1);
}

namespace {

using Clock = std::chrono::steady_clock;

bool speedFor(UINT baud, speed_t& speed) {
    struct Rate {
        UINT baud;
        speed_t code;
    };
    static const Rate rates[] = {
        {50, B50},           {75, B75},         {110, B110},       {134, B134},       {150, B150},
        {200, B200},         {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
        {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
#ifdef B57600
        {57600, B57600},
#endif
#ifdef B115200
        {115200, B115200},
#endif
#ifdef B230400
        {230400, B230400},
#endif
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B500000
        {500000, B500000},
#endif
#ifdef B576000
        {576000, B576000},
#endif
#ifdef B921600
        {921600, B921600},
#endif
#ifdef B1000000
        {1000000, B1000000},
#endif
#ifdef B1500000
        {1500000, B1500000},
#endif
#ifdef B2000000
        {2000000, B2000000},
#endif
#ifdef B3000000
        {3000000, B3000000},
#endif
#ifdef B4000000
        {4000000, B4000000},
#endif
    };
    for (const Rate& rate : rates) {
        if (rate.baud == baud) {
            speed = rate.code;
            return true;
        }
    }
    return false;
}

// The c_cflag bits that carry size, parity and stop bits.
tcflag_t lineBitsMask() {
    tcflag_t mask = CSIZE | PARENB | PARODD | CSTOPB;
#ifdef CMSPAR
    mask |= CMSPAR;
#endif
    return mask;
}

// The c_cflag bits for the settings; false when the line cannot have them.
bool lineBits(const SerialLineSettings& s, tcflag_t& bits) {
    switch (s.byteSize) {
        case 4:  // no 4-bit characters on a POSIX line: the nearest size
        case 5: bits = CS5; break;
        case 6: bits = CS6; break;
        case 7: bits = CS7; break;
        case 8: bits = CS8; break;
        default: return false;
    }
    switch (s.parity) {
        case 0: break;
        case 1: bits |= PARENB | PARODD; break;
        case 2: bits |= PARENB; break;
#ifdef CMSPAR
        case 3: bits |= PARENB | PARODD | CMSPAR; break;  // mark
        case 4: bits |= PARENB | CMSPAR; break;           // space
#endif
        default: return false;
    }
    switch (s.stopBits) {
        case 1: break;
        case 2:  // one and a half: not available, two is the nearest
        case 3: bits |= CSTOPB; break;
        default: return false;
    }
    return true;
}

// Raw 8-bit line with the given settings; the rest of the driver's settings (hardware
// flow control among them) stay. 0 or the error.
int applySettings(int fd, const SerialLineSettings& s) {
    speed_t speed{};
    tcflag_t bits = 0;
    if (!speedFor(s.baud, speed) || !lineBits(s, bits)) return EINVAL;
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return errno;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~lineBitsMask();
    t.c_cflag |= bits | CREAD | CLOCAL;
    // With O_NONBLOCK, VMIN 1 makes an empty queue read as EAGAIN and a hung-up line as 0.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return errno;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return errno;
    // tcsetattr succeeds when any part was taken: the speed must have been. Character
    // framing is left as the driver took it, since a pseudo-terminal has none (it keeps
    // 8 bits without parity whatever is asked) and must still open.
    termios now{};
    if (::tcgetattr(fd, &now) != 0) return errno;
    if (::cfgetospeed(&now) != speed || ::cfgetispeed(&now) != speed) return EINVAL;
    return 0;
}

// Asks the driver to hand over received bytes without its usual delay. Drivers that
// have no such setting (pseudo-terminals among them) are used as they are.
void requestLowLatency(int fd) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        (void)::ioctl(fd, TIOCSSERIAL, &serial);
    }
#else
    (void)fd;
#endif
}

// Errors that mean the device is no longer there.
bool isGone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

int millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// A self-pipe used to wake poll(). Both ends are non-blocking.
struct WakePipe {
    int fds[2] = {-1, -1};

    WakePipe() {
        if (::pipe(fds) != 0) {
            fds[0] = fds[1] = -1;
            return;
        }
        for (int fd : fds) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
    }
    ~WakePipe() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    int readEnd() const { return fds[0]; }
    void signal() const {
        if (fds[1] < 0) return;
        const char byte = 1;
        ssize_t n;
        do n = ::write(fds[1], &byte, 1);
        while (n < 0 && errno == EINTR);
    }
    void drain() const {
        if (fds[0] < 0) return;
        char bytes[64];
        while (::read(fds[0], bytes, sizeof bytes) > 0) {
        }
    }
};

class PosixSerialBackend final : public CSerialPort::Backend {
public:
    ~PosixSerialBackend() override { close(); }

    int open(const std::string& device, const SerialLineSettings& settings) override {
        close();
        std::unique_lock<std::shared_mutex> lock(io);
        int f;
        do f = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        while (f < 0 && errno == EINTR);
        if (f < 0) return errno;
        if (::flock(f, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(f);
            return error;
        }
        if (const int error = applySettings(f, settings); error != 0) {
            ::close(f);
            return error;
        }
        (void)::ioctl(f, TIOCEXCL);
        requestLowLatency(f);
        ::tcflush(f, TCIOFLUSH);
        fd = f;
        failed = false;
        microsPerChar = microsecondsPerCharacter(settings);
        return 0;
    }

    void close() override {
        closing = true;
        closeWake.signal();
        std::unique_lock<std::shared_mutex> lock(io);
        if (fd >= 0) {
            // Exclusive mode stays on the terminal after the last close on some
            // systems (a pty lives as long as its other side): give it back.
            (void)::ioctl(fd, TIOCNXCL);
            ::close(fd);
            fd = -1;
        }
        dropAhead();
        failed = false;
        closeWake.drain();
        closing = false;
    }

    int bytesInQueue() override {
        std::shared_lock<std::shared_mutex> lock(io);
        if (fd < 0 || failed) return 0;
        std::lock_guard<std::mutex> guard(aheadLock);
        if (aheadEnd > aheadBegin) return static_cast<int>(aheadEnd - aheadBegin);
        // Nothing read ahead: one read() takes what the driver holds (the caller reads
        // it next), instead of a count from the driver now and the read after it.
        const ssize_t n = fillAhead();
        if (n > 0) return static_cast<int>(n);
        if (n == 0 || isGone(errno)) failed = true;
        return 0;
    }

    SerialIoResult read(std::uint8_t* buffer, int count, const Started& started) override {
        std::shared_lock<std::shared_mutex> lock(io);
        SerialIoResult result;
        if (fd < 0 || closing || count <= 0) {
            started();
            return result;
        }
        std::lock_guard<std::mutex> guard(aheadLock);
        if (aheadEnd > aheadBegin) {
            started();
            const std::size_t n = std::min(aheadEnd - aheadBegin, static_cast<std::size_t>(count));
            std::memcpy(buffer, ahead + aheadBegin, n);
            aheadBegin += n;
            result.count = static_cast<int>(n);
            return result;
        }
        if (failed) {
            started();
            return gone(EIO, false);
        }
        const ssize_t n = fillAhead();
        const int error = errno;
        started();
        if (n > 0) {
            const std::size_t take = std::min(static_cast<std::size_t>(n), static_cast<std::size_t>(count));
            std::memcpy(buffer, ahead, take);
            aheadBegin = take;
            result.count = static_cast<int>(take);
            return result;
        }
        if (n == 0) return gone(EIO, false);  // hung up (VMIN 1: an empty queue is EAGAIN)
        if (error == EAGAIN || error == EWOULDBLOCK) return result;
        if (isGone(error)) return gone(error, false);
        result.fault = SerialFault::Other;
        result.error = error;
        return result;
    }

    SerialIoResult write(const std::uint8_t* data, int count, int timeoutMs, const Started& started) override {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        std::shared_lock<std::shared_mutex> lock(io);
        SerialIoResult result;
        if (fd < 0 || closing) {
            started();
            return result;
        }
        if (failed) {
            started();
            return gone(EIO, false);
        }
        bool first = true;
        while (result.count < count) {
            ssize_t n;
            do n = ::write(fd, data + result.count, static_cast<size_t>(count - result.count));
            while (n < 0 && errno == EINTR);
            const int error = errno;
            const bool inCompletion = !first;
            if (first) {
                first = false;
                started();
            }
            if (n > 0) {
                result.count += static_cast<int>(n);
                continue;
            }
            if (n < 0 && error != EAGAIN && error != EWOULDBLOCK) {
                if (isGone(error)) return gone(error, inCompletion, result.count);
                result.fault = SerialFault::Other;
                result.error = error;
                result.inCompletion = inCompletion;
                return result;
            }
            // The driver's buffer is full: wait for room, for close, or for the deadline.
            const int left = millisecondsLeft(deadline);
            if (left == 0) return result;
            pollfd fds[2] = {{fd, POLLOUT, 0}, {closeWake.readEnd(), POLLIN, 0}};
            const int ready = ::poll(fds, 2, left);
            if (ready < 0 && errno != EINTR) {
                result.fault = SerialFault::Other;
                result.error = errno;
                result.inCompletion = true;
                return result;
            }
            if (closing || fds[1].revents != 0) return result;
            if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return gone(EIO, true, result.count);
        }
        if (first) started();
        return drainOutput(result, deadline);
    }

    void purge(bool output, bool input) override {
        std::shared_lock<std::shared_mutex> lock(io);
        if (fd < 0) return;
        // Output is purged only when some is still waiting to be sent. A write returns
        // once the driver has sent everything, so that is only what a timed-out write
        // left behind; flushing otherwise would, on a pseudo-terminal, throw away bytes
        // already delivered to the far end that it has not read yet.
        int pending = 0;
        if (output && ::ioctl(fd, TIOCOUTQ, &pending) == 0 && pending <= 0) output = false;
        if (input) dropAhead();
        if (output && input) ::tcflush(fd, TCIOFLUSH);
        else if (output) ::tcflush(fd, TCOFLUSH);
        else if (input) ::tcflush(fd, TCIFLUSH);
    }

    SerialWait waitForInput(int timeoutMs) override {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        std::shared_lock<std::shared_mutex> lock(io);
        if (fd < 0 || closing) return SerialWait::Closed;
        if (aheadCount() > 0) return SerialWait::Input;
        if (failed) return SerialWait::PortGone;
        for (;;) {
            pollfd fds[3] = {{fd, POLLIN, 0}, {cancelWake.readEnd(), POLLIN, 0}, {closeWake.readEnd(), POLLIN, 0}};
            const int ready = ::poll(fds, 3, timeoutMs < 0 ? -1 : millisecondsLeft(deadline));
            if (ready < 0) {
                if (errno == EINTR) continue;
                // poll() itself failed (out of memory): count it as a dead port rather
                // than return at once again and again.
                failed = true;
                return SerialWait::PortGone;
            }
            if (ready == 0) return SerialWait::TimedOut;
            if (closing || fds[2].revents != 0) return SerialWait::Closed;
            if (fds[1].revents != 0) {
                cancelPending = false;
                cancelWake.drain();
                return SerialWait::Cancelled;
            }
            const short events = fds[0].revents;
            if ((events & POLLIN) != 0 && (events & (POLLHUP | POLLERR | POLLNVAL)) == 0) return SerialWait::Input;
            int queued = 0;
            const bool counted = ::ioctl(fd, FIONREAD, &queued) == 0;
            const int error = errno;
            if (counted && queued > 0) return SerialWait::Input;
            if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0 || (!counted && isGone(error))) {
                failed = true;
                return SerialWait::PortGone;
            }
            if ((events & POLLIN) != 0) return SerialWait::Input;
        }
    }

    void cancelWait() override {
        if (!cancelPending.exchange(true)) cancelWake.signal();
    }

private:
    SerialIoResult gone(int error, bool inCompletion, int count = 0) {
        failed = true;
        SerialIoResult result;
        result.count = count;
        result.fault = SerialFault::PortGone;
        result.error = error;
        result.inCompletion = inCompletion;
        return result;
    }

    static int microsecondsPerCharacter(const SerialLineSettings& s) {
        const int bits = 1 + (s.byteSize < 5 ? 5 : s.byteSize) + (s.parity != 0 ? 1 : 0) + (s.stopBits > 1 ? 2 : 1);
        return static_cast<int>((1000000LL * bits + s.baud - 1) / (s.baud == 0 ? 1 : s.baud));
    }

    // A write is complete when the driver has sent it, not when it has taken it: the
    // next write discards whatever output is still pending. Waits (woken by close)
    // for the time the queued characters need on the line, until the deadline.
    SerialIoResult drainOutput(SerialIoResult result, Clock::time_point deadline) {
        for (;;) {
            int pending = 0;
            if (::ioctl(fd, TIOCOUTQ, &pending) != 0 || pending <= 0) return result;
            const int left = millisecondsLeft(deadline);
            if (left == 0 || closing) {
                result.count -= pending < result.count ? pending : result.count;
                return result;
            }
            const long long needMs = (static_cast<long long>(pending) * microsPerChar + 999) / 1000 + 1;
            pollfd wake = {closeWake.readEnd(), POLLIN, 0};
            (void)::poll(&wake, 1, needMs < left ? static_cast<int>(needMs) : left);
        }
    }

    // Bytes already taken from the driver but not yet handed out: the parser asks for
    // one byte at a time, and one read() per arrival instead of two system calls per
    // byte keeps a reply's round trip short. They count as queued input.
    std::mutex aheadLock;
    std::uint8_t ahead[512] = {};
    std::size_t aheadBegin = 0;
    std::size_t aheadEnd = 0;

    // One read() of what the driver holds into the empty read-ahead buffer (aheadLock
    // held). Its result; errno tells a failure.
    ssize_t fillAhead() {
        ssize_t n;
        do n = ::read(fd, ahead, sizeof ahead);
        while (n < 0 && errno == EINTR);
        aheadBegin = 0;
        aheadEnd = n > 0 ? static_cast<std::size_t>(n) : 0;
        return n;
    }

    std::size_t aheadCount() {
        std::lock_guard<std::mutex> guard(aheadLock);
        return aheadEnd - aheadBegin;
    }
    void dropAhead() {
        std::lock_guard<std::mutex> guard(aheadLock);
        aheadBegin = aheadEnd = 0;
    }

    std::shared_mutex io;  // shared: an operation in progress; exclusive: open and close
    int fd = -1;
    int microsPerChar = 0;
    std::atomic<bool> failed{false};
    std::atomic<bool> closing{false};
    std::atomic<bool> cancelPending{false};
    WakePipe cancelWake;
    WakePipe closeWake;
};

}  // namespace

std::unique_ptr<CSerialPort::Backend> createSerialBackend() { return std::make_unique<PosixSerialBackend>(); }

}  // namespace kestro
