#pragma once
// Where the parser gets the bytes of one unit. A byte transport (the serial port) hands
// out one byte at a time; a frame transport (CAN) hands out the bytes of 8-byte frames,
// starts every unit with a fresh frame and drops what is left of the last frame when the
// unit ends. The parser itself is the same for both.

#include <cstdint>
#include <optional>

namespace kestro {

class UnitReader {
public:
    virtual ~UnitReader() = default;

    // Starts a unit. false: nothing arrived, there is no unit this call. A frame reader
    // has the unit's first frame when it returns true.
    virtual bool beginUnit() = 0;
    // What the unit is read as, told after beginUnit(): an ASCII message (a frame reader
    // bounds how many further frames such a message may take) or a data-bag unit.
    virtual void readingMessage(bool asciiMessage) { (void)asciiMessage; }
    // The unit's next byte; nullopt when the receive was given up (abort flag, run flag,
    // transport closed, a missing continuation, the frame budget of a message spent).
    virtual std::optional<std::uint8_t> nextByte() = 0;
    // The last nextByte() gave up because no byte came within the inter-byte limit (the
    // unit is then abandoned with a trace line).
    virtual bool timedOut() const { return false; }
    // Whether a data-bag reply with a wrong checksum is also written to the trace.
    virtual bool tracesDataBagChecksum() const { return false; }

    // ---- Reader thread ------------------------------------------------------------------
    // true: the reader thread does not wait for input on the ByteTransport; it calls
    // awaitUnit(), which waits a bounded time, and pauses 1 ms when nothing arrived.
    virtual bool pacesReader() const { return false; }
    // Waits (bounded) for the first frame of the next unit and keeps it for beginUnit().
    // true when one is there. The reader thread picks the receive procedure of the
    // library mode only then, as it does after a serial port's wait for input.
    virtual bool awaitUnit() { return true; }
    // Called by startReadThread before the thread is created, and after it was created
    // (or found running).
    virtual void beforeReaderStart() {}
    virtual void afterReaderStart() {}
};

}  // namespace kestro
