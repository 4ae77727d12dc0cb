// The serial port on Windows: a COM device opened for overlapped I/O.
//
// Port N opens "COM<N>:" below 10 and "\\.\COM<N>" from 10 on. Reads take only what the
// driver already holds (the read interval time-out makes ReadFile return at once);
// writes wait for completion within the caller's time-out and are cut short by close.
// The input wait is WaitCommEvent on "character received", with the queue checked
// first, since the event fires only for characters that arrive after it was armed.
//
// Under Wine on a pseudo-terminal a pending WaitCommEvent with nothing queued completes
// after a few milliseconds with ERROR_OPERATION_ABORTED. That is "nothing yet", not a
// dead port: the wait pauses (woken by cancel, close and a write) and arms again.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <mutex>
#include <shared_mutex>

#include "transport/serial_backend.h"

namespace kestro {

std::string CSerialPort::deviceName(UINT port) {
    char name[32];
    if (port >= 10) std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(port));
    else std::snprintf(name, sizeof name, "COM%u:", static_cast<unsigned>(port));
    return name;
}

namespace {

using Clock = std::chrono::steady_clock;

// Pause after an aborted WaitCommEvent before it is armed again: short while an answer
// to a recent write may be on its way, longer when the line has been quiet.
constexpr DWORD kAbortedWaitPauseMs = 20;
constexpr DWORD kAbortedWaitPauseAfterWriteMs = 1;
constexpr long long kAfterWriteWindowMs = 250;

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// Errors that mean the device of an open port has gone away (adapter unplugged, far end
// closed). "Invalid function" and "not ready" are how Wine reports a pseudo-terminal
// whose far end has hung up.
bool isGone(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_GEN_FAILURE || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_BAD_COMMAND || error == ERROR_INVALID_HANDLE ||
           error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_READY;
}

DWORD millisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    return left >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(left);
}

// An overlapped block with its own manual-reset event.
struct Overlapped {
    OVERLAPPED ov{};

    Overlapped() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        if (ov.hEvent) CloseHandle(ov.hEvent);
    }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;

    OVERLAPPED* arm() {
        HANDLE event = ov.hEvent;
        ov = OVERLAPPED{};
        ov.hEvent = event;
        ResetEvent(event);
        return &ov;
    }
};

class Win32SerialBackend final : public CSerialPort::Backend {
public:
    Win32SerialBackend()
        : cancelEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          closeEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          writeEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

    ~Win32SerialBackend() override {
        close();
        for (HANDLE event : {cancelEvent, closeEvent, writeEvent})
            if (event) CloseHandle(event);
    }

    int open(const std::string& device, const SerialLineSettings& settings) override {
        close();
        std::unique_lock<std::shared_mutex> lock(io);
        HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE) return errorOr(GetLastError());

        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;  // with both totals 0: return what is queued
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        timeouts.WriteTotalTimeoutMultiplier = 50;
        timeouts.WriteTotalTimeoutConstant = 2000;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        bool ok = SetCommTimeouts(h, &timeouts) && SetupComm(h, 1024, 1024) && GetCommState(h, &dcb);
        if (ok) {
            // Only these four change; every other setting stays as the driver had it.
            dcb.BaudRate = settings.baud;
            dcb.ByteSize = settings.byteSize;
            dcb.Parity = settings.parity;
            dcb.StopBits = static_cast<BYTE>(settings.stopBits - 1);
            ok = SetCommState(h, &dcb) != 0;
        }
        ok = ok && SetCommMask(h, EV_RXCHAR);
        if (!ok) {
            const DWORD error = GetLastError();
            CloseHandle(h);
            return errorOr(error);
        }
        PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        failed = false;
        port = h;
        return 0;
    }

    void close() override {
        closing = true;
        SetEvent(closeEvent);
        if (HANDLE h = port.load(); h != INVALID_HANDLE_VALUE) {
            SetCommMask(h, 0);        // completes a pending WaitCommEvent
            CancelIoEx(h, nullptr);   // and any read or write in progress
        }
        std::unique_lock<std::shared_mutex> lock(io);
        if (HANDLE h = port.exchange(INVALID_HANDLE_VALUE); h != INVALID_HANDLE_VALUE) CloseHandle(h);
        failed = false;
        ResetEvent(closeEvent);
        closing = false;
    }

    int bytesInQueue() override {
        std::shared_lock<std::shared_mutex> lock(io);
        HANDLE h = port.load();
        if (h == INVALID_HANDLE_VALUE || failed) return 0;
        DWORD queued = 0;
        if (!queueCounts(h, &queued, nullptr)) return 0;
        return queued > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(queued);
    }

    SerialIoResult read(std::uint8_t* buffer, int count, const Started& started) override {
        std::shared_lock<std::shared_mutex> lock(io);
        std::lock_guard<std::mutex> reading(readMutex);
        HANDLE h = port.load();
        SerialIoResult result;
        if (h == INVALID_HANDLE_VALUE || closing || count <= 0) {
            started();
            return result;
        }
        if (failed) {
            started();
            return gone(ERROR_ACCESS_DENIED, false);
        }
        OVERLAPPED* ov = readOv.arm();
        DWORD n = 0;
        const BOOL done = ReadFile(h, buffer, static_cast<DWORD>(count), &n, ov);
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        started();
        if (!done && error != ERROR_IO_PENDING) return fault(error, false, 0);
        if (!done && !GetOverlappedResult(h, ov, &n, TRUE)) {
            const DWORD completion = GetLastError();
            if (completion == ERROR_OPERATION_ABORTED && closing) return result;
            return fault(completion, true, static_cast<int>(n));
        }
        result.count = static_cast<int>(n);
        return result;
    }

    SerialIoResult write(const std::uint8_t* data, int count, int timeoutMs, const Started& started) override {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        std::shared_lock<std::shared_mutex> lock(io);
        std::lock_guard<std::mutex> writing(writeMutex);
        HANDLE h = port.load();
        SerialIoResult result;
        if (h == INVALID_HANDLE_VALUE || closing || count <= 0) {
            started();
            return result;
        }
        if (failed) {
            started();
            return gone(ERROR_ACCESS_DENIED, false);
        }
        OVERLAPPED* ov = writeOv.arm();
        DWORD n = 0;
        const BOOL done = WriteFile(h, data, static_cast<DWORD>(count), &n, ov);
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        started();
        lastWriteMs = nowMs();
        SetEvent(writeEvent);  // an answer may follow: a pausing input wait arms again now
        if (done) {
            result.count = static_cast<int>(n);
            return result;
        }
        if (error != ERROR_IO_PENDING) return fault(error, false, 0);

        HANDLE events[2] = {ov->hEvent, closeEvent};
        const DWORD woke = WaitForMultipleObjects(2, events, FALSE, millisecondsLeft(deadline));
        if (woke != WAIT_OBJECT_0) CancelIoEx(h, ov);  // out of time, or closing
        if (!GetOverlappedResult(h, ov, &n, TRUE)) {
            const DWORD completion = GetLastError();
            if (completion == ERROR_OPERATION_ABORTED) {  // cut short by us: what got out
                result.count = static_cast<int>(n);
                return result;
            }
            return fault(completion, true, static_cast<int>(n));
        }
        result.count = static_cast<int>(n);
        return result;
    }

    void purge(bool output, bool input) override {
        std::shared_lock<std::shared_mutex> lock(io);
        HANDLE h = port.load();
        if (h == INVALID_HANDLE_VALUE) return;
        // Output is purged only when some is still waiting: a completed write has left
        // nothing, and on a pseudo-terminal (Wine) a purge would throw away bytes the far
        // end has been sent but not read yet.
        DWORD pending = 0;
        if (output && queueCounts(h, nullptr, &pending) && pending == 0) output = false;
        DWORD flags = 0;
        if (output) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
        if (input) flags |= PURGE_RXABORT | PURGE_RXCLEAR;
        if (flags) PurgeComm(h, flags);
    }

    SerialWait waitForInput(int timeoutMs) override {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
        auto left = [&]() -> DWORD { return timeoutMs < 0 ? INFINITE : millisecondsLeft(deadline); };
        std::shared_lock<std::shared_mutex> lock(io);
        std::lock_guard<std::mutex> waiting(waitMutex);
        HANDLE h = port.load();
        if (h == INVALID_HANDLE_VALUE || closing) return SerialWait::Closed;
        if (failed) return SerialWait::PortGone;
        for (;;) {
            if (closing) return SerialWait::Closed;
            if (cancelPending.exchange(false)) {
                ResetEvent(cancelEvent);
                return SerialWait::Cancelled;
            }
            DWORD queued = 0;
            if (!queueCounts(h, &queued, nullptr) && failed) return SerialWait::PortGone;
            if (queued > 0) return SerialWait::Input;
            if (timeoutMs >= 0 && left() == 0) return SerialWait::TimedOut;

            OVERLAPPED* ov = waitOv.arm();
            DWORD mask = 0;
            DWORD transferred = 0;
            DWORD error = ERROR_SUCCESS;
            if (!WaitCommEvent(h, &mask, ov)) {
                error = GetLastError();
                if (error == ERROR_IO_PENDING) {
                    HANDLE events[3] = {ov->hEvent, cancelEvent, closeEvent};
                    const DWORD woke = WaitForMultipleObjects(3, events, FALSE, left());
                    if (woke != WAIT_OBJECT_0) CancelIoEx(h, ov);
                    error = GetOverlappedResult(h, ov, &transferred, TRUE) ? ERROR_SUCCESS : GetLastError();
                    if (woke == WAIT_OBJECT_0 + 2) return SerialWait::Closed;
                    if (woke == WAIT_TIMEOUT) {
                        // Something may have arrived while the wait was being cancelled.
                        return queueCounts(h, &queued, nullptr) && queued > 0 ? SerialWait::Input
                                                                              : SerialWait::TimedOut;
                    }
                    if (woke == WAIT_OBJECT_0 + 1) continue;  // the loop reports the cancel
                    if (woke == WAIT_FAILED) error = GetLastError();
                }
            }
            if (error == ERROR_SUCCESS && mask != 0) continue;  // an event: look at the queue again
            if (isGone(error)) {
                failed = true;
                return SerialWait::PortGone;
            }
            // ERROR_OPERATION_ABORTED with nothing queued (Wine on a pseudo-terminal), an
            // empty event, or another passing error: pause, then arm again.
            HANDLE events[3] = {cancelEvent, closeEvent, writeEvent};
            DWORD pause = nowMs() - lastWriteMs.load() < kAfterWriteWindowMs ? kAbortedWaitPauseAfterWriteMs
                                                                            : kAbortedWaitPauseMs;
            if (left() < pause) pause = left();
            WaitForMultipleObjects(3, events, FALSE, pause);
        }
    }

    void cancelWait() override {
        if (!cancelPending.exchange(true)) SetEvent(cancelEvent);
    }

private:
    static int errorOr(DWORD error) { return error != 0 ? static_cast<int>(error) : static_cast<int>(ERROR_GEN_FAILURE); }

    // Input and output queue counts; also clears a pending line error. A failure that
    // means the device is gone marks the port failed.
    bool queueCounts(HANDLE h, DWORD* in, DWORD* out) {
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(h, &errors, &stat)) {
            if (isGone(GetLastError())) failed = true;
            return false;
        }
        if (in) *in = stat.cbInQue;
        if (out) *out = stat.cbOutQue;
        return true;
    }

    SerialIoResult gone(DWORD error, bool inCompletion, int count = 0) {
        failed = true;
        SerialIoResult result;
        result.count = count;
        result.fault = SerialFault::PortGone;
        result.error = static_cast<int>(error);
        result.inCompletion = inCompletion;
        return result;
    }

    // Access denied when starting, a general failure when completing: the device has
    // gone. Anything else is reported as it is.
    SerialIoResult fault(DWORD error, bool inCompletion, int count) {
        const bool deviceGone = inCompletion ? (error == ERROR_GEN_FAILURE || isGone(error)) : isGone(error);
        if (deviceGone) return gone(error, inCompletion, count);
        SerialIoResult result;
        result.count = count;
        result.fault = SerialFault::Other;
        result.error = static_cast<int>(error);
        result.inCompletion = inCompletion;
        return result;
    }

    std::shared_mutex io;  // shared: an operation in progress; exclusive: open and close
    std::mutex readMutex;
    std::mutex writeMutex;
    std::mutex waitMutex;
    std::atomic<HANDLE> port{INVALID_HANDLE_VALUE};
    std::atomic<bool> failed{false};
    std::atomic<bool> closing{false};
    std::atomic<bool> cancelPending{false};
    std::atomic<long long> lastWriteMs{0};
    HANDLE cancelEvent;
    HANDLE closeEvent;
    HANDLE writeEvent;  // auto-reset: set by each write
    Overlapped readOv;
    Overlapped writeOv;
    Overlapped waitOv;
};

}  // namespace

std::unique_ptr<CSerialPort::Backend> createSerialBackend() { return std::make_unique<Win32SerialBackend>(); }

}  // namespace kestro
