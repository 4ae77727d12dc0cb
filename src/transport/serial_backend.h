#pragma once
// The platform half of CSerialPort. The portable half (serial_port.cpp) keeps the open
// flag, the reader/writer exclusion, the time-outs and every report to the operator; a
// backend owns the device and does the I/O. Each platform has exactly one backend file
// (platform/posix/serial_posix.cpp, platform/win32/serial_win32.cpp) which defines
// createSerialBackend() and CSerialPort::deviceName().
//
// A backend is used from several threads at once (writers, the reader, Close on the
// host's thread); close() may run while a read, write or wait is in progress and must
// make those end promptly before the handle goes away.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <kestro/kestro_types.h>

#include "transport/serial_port.h"

namespace kestro {

struct SerialLineSettings {
    UINT baud = 19200;
    BYTE parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    BYTE byteSize = 8;  // data bits
    UINT stopBits = 1;  // 1 one, 2 one and a half, 3 two
};

enum class SerialFault {
    None,
    PortGone,  // device removed or hung up (adapter unplugged, far end of a pty closed)
    Other,     // any other error of the call
};

struct SerialIoResult {
    int count = 0;  // bytes transferred
    SerialFault fault = SerialFault::None;
    int error = 0;  // the platform's error code (errno, GetLastError) when fault != None
    // The fault came while finishing an operation that had already been started
    // (waiting for room or for the overlapped result), not from starting it.
    bool inCompletion = false;
};

enum class SerialWait {
    Input,      // bytes are queued
    TimedOut,   // nothing arrived in time
    Cancelled,  // cancelWait() was called (now or before the wait started)
    Closed,     // the port is closed or is being closed
    PortGone,   // the device went away; every further wait returns this at once
};

class CSerialPort::Backend {
public:
    // Called exactly once by read() and write() as soon as the operation has been
    // handed to the driver; the caller ends its reader/writer exclusion there.
    using Started = std::function<void()>;

    virtual ~Backend() = default;

    // Opens device exclusively, applies the line settings and purges both queues.
    // 0 on success, otherwise the platform's error code (the device is then closed).
    virtual int open(const std::string& device, const SerialLineSettings& settings) = 0;
    // Closes the device if it is open; wakes a waitForInput and a write in progress.
    virtual void close() = 0;
    // Bytes in the driver's input queue; 0 when closed, failed or on error.
    virtual int bytesInQueue() = 0;
    // Reads up to count bytes that are already queued; never waits for more.
    virtual SerialIoResult read(std::uint8_t* buffer, int count, const Started& started) = 0;
    // Writes the whole buffer (and waits until the driver has sent it) within timeoutMs.
    // A count below the asked one without a fault means the time ran out or the port
    // was closed meanwhile.
    virtual SerialIoResult write(const std::uint8_t* data, int count, int timeoutMs, const Started& started) = 0;
    // Discards (and aborts) pending output and/or input.
    virtual void purge(bool output, bool input) = 0;
    // Waits for input; negative timeoutMs: no limit. Never returns at once again and
    // again on a live port with nothing queued, and never blocks past close().
    virtual SerialWait waitForInput(int timeoutMs) = 0;
    // Makes a current or the next waitForInput return Cancelled.
    virtual void cancelWait() = 0;
};

std::unique_ptr<CSerialPort::Backend> createSerialBackend();

}  // namespace kestro
