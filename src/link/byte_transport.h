#pragma once
// What the link needs from its transport (a serial port or a CAN adapter): whole-frame
// writes, the input queue, and a wait for input that can be cancelled. Framing and
// checksums stay out of it.

#include <cstdint>

namespace kestro {

class ByteTransport {
public:
    virtual ~ByteTransport() = default;

    virtual bool isOpen() const = 0;
    // Writes the whole buffer: count when every byte went out, else 0.
    virtual int write(const std::uint8_t* data, int count) = 0;
    // Bytes waiting in the input queue; 0 when closed.
    virtual int bytesInQueue() = 0;
    // Reads up to count queued bytes; the number read.
    virtual int read(std::uint8_t* buffer, int count) = 0;
    // Blocks until input is queued, the transport closes or fails, cancelWait() is
    // called, or timeoutMs passes (negative: no limit). true when input is queued.
    virtual bool waitForInput(int timeoutMs) = 0;
    // Makes a current or the next waitForInput return at once.
    virtual void cancelWait() = 0;

    // The device went away (unplugged adapter, hung-up line) while it was open, and
    // nobody closed it since.
    virtual bool lost() const { return false; }
    // Tries to open the lost device again with the settings it had (the device name is
    // worked out afresh). true when it is open again.
    virtual bool reopen() { return false; }
    // What the trace calls the device ("COM port", "CAN bus").
    virtual const char* deviceName() const { return "COM port"; }
};

}  // namespace kestro
