#pragma once
// CSerialPort: the library's way to a COM port, used by the generator link and by the
// service-console link. Reads and writes exclude each other for the start of an
// operation (each side gives up after 1000 ms); port errors are reported once with a
// message box and in the trace.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <kestro/kestro_types.h>

#include "link/byte_transport.h"

namespace kestro {

struct SerialIoResult;

class CSerialPort : public ByteTransport {
public:
    // Receives the port's trace lines (for example the failing call and its error code).
    using TraceSink = std::function<void(const std::string&)>;

    CSerialPort();
    ~CSerialPort() override;
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;

    void setTraceSink(TraceSink sink);

    // 1 opened (or already open), 0 failed. parity: 0 none, 1 odd, 2 even;
    // stopBits: 1 one, 2 one and a half, 3 two.
    int Open(UINT port, UINT baud, BYTE parity, BYTE byteSize, UINT stopBits, UINT bufferSize);
    int Close();
    int IsOpen() const;
    int BytesInQueue();
    int Read(unsigned char* buffer, UINT count);
    // count when every byte was written, else 0.
    int Write(const unsigned char* buffer, UINT count);
    int PurgeTx();
    int PurgeRx();
    void ReportLastError(const char* what);

    UINT portNumber() const { return m_nPort; }
    UINT bufferSize() const { return m_nBufferSize; }
    // The device name that port number opens on this platform.
    static std::string deviceName(UINT port);

    // ByteTransport
    bool isOpen() const override { return IsOpen() != 0; }
    int write(const std::uint8_t* data, int count) override;
    int bytesInQueue() override { return BytesInQueue(); }
    int read(std::uint8_t* buffer, int count) override;
    bool waitForInput(int timeoutMs) override;
    void cancelWait() override;
    bool lost() const override { return m_bLost.load(); }
    bool reopen() override;

    // The platform part (termios or overlapped Win32 I/O).
    class Backend;

private:
    enum class Side { Reader, Writer };

    void trace(const std::string& line);
    void showAccessErrorOnce();
    // Marks this side busy and waits up to 1000 ms for the other side to be idle.
    bool beginAccess(Side side);
    void endAccess(Side side);
    // Reports a failed read or write: the once-only box, or the trace line and the
    // "Application Error" box naming the failing call.
    void reportFault(const SerialIoResult& result, const char* call);
    void reportError(const char* what, int code);

    std::atomic<UINT> m_nBufferSize{0};
    std::atomic<UINT> m_nPort{0};
    std::atomic<int> m_bOpen{0};
    std::atomic<int> m_bAccessErrorShown{0};
    // Set when a read, write or wait finds the device gone; cleared by Open and Close.
    std::atomic<bool> m_bLost{false};
    struct OpenSettings {
        UINT baud = 19200;
        BYTE parity = 0;
        BYTE byteSize = 8;
        UINT stopBits = 1;
    } m_openSettings;  // of the last successful Open (under m_lifecycleMutex)
    TraceSink m_traceSink;
    std::unique_ptr<Backend> m_backend;

    std::mutex m_lifecycleMutex;  // Open and Close
    // The read-idle and write-idle marks. A waiter also proceeds when the mark it waits
    // for was set at any moment during its wait (as a manual-reset event releases its
    // waiters), even if the other side has marked itself busy again since.
    std::mutex m_accessMutex;
    std::condition_variable m_accessChanged;
    bool m_readIdle = true;
    bool m_writeIdle = true;
    std::uint64_t m_readIdleSets = 0;
    std::uint64_t m_writeIdleSets = 0;
};

}  // namespace kestro
