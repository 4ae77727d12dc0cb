// CSerialPort: open flag, reader/writer exclusion, time-outs and reports. The device
// itself is handled by the platform's backend (transport/serial_backend.h).

#include "transport/serial_port.h"

#include <chrono>
#include <climits>
#include <cstdio>

#include "platform/platform.h"
#include "transport/serial_backend.h"

namespace kestro {

namespace {

constexpr auto kAccessWait = std::chrono::milliseconds(1000);
// Write time-out: 50 ms per byte plus 2000 ms for the whole write.
constexpr int kWriteMsPerByte = 50;
constexpr int kWriteConstantMs = 2000;

constexpr const char* kComErrorText =
    "COM or USB to COM port Invalid ! Please check the connection and restart software. ";
constexpr const char* kComErrorCaption = "COM Error";

std::string formatCode(const char* format, int code) {
    char line[160];
    std::snprintf(line, sizeof line, format, code);
    return line;
}

int clampCount(UINT count) { return count > static_cast<UINT>(INT_MAX) ? INT_MAX : static_cast<int>(count); }

}  // namespace

CSerialPort::CSerialPort() : m_backend(createSerialBackend()) {}

CSerialPort::~CSerialPort() { Close(); }

void CSerialPort::setTraceSink(TraceSink sink) { m_traceSink = std::move(sink); }

int CSerialPort::Open(UINT port, UINT baud, BYTE parity, BYTE byteSize, UINT stopBits, UINT bufferSize) {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    if (m_bOpen.load()) return 1;
    m_nPort = port;
    m_nBufferSize = bufferSize;
    m_backend->close();  // a handle left from an earlier failure

    SerialLineSettings settings;
    settings.baud = baud;
    settings.parity = parity;
    settings.byteSize = byteSize;
    settings.stopBits = stopBits;
    if (m_backend->open(deviceName(port), settings) != 0) return 0;
    m_openSettings = {baud, parity, byteSize, stopBits};
    m_bLost = false;

    {
        std::lock_guard<std::mutex> lock(m_accessMutex);
        m_readIdle = true;
        m_writeIdle = true;
    }
    m_bOpen = 1;
    return 1;
}

int CSerialPort::Close() {
    std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
    m_bLost = false;
    if (!m_bOpen.load()) return 1;
    m_bOpen = 0;
    m_backend->close();
    return 1;
}

int CSerialPort::IsOpen() const { return m_bOpen.load(); }

bool CSerialPort::beginAccess(Side side) {
    std::unique_lock<std::mutex> lock(m_accessMutex);
    const bool reader = side == Side::Reader;
    bool& mine = reader ? m_readIdle : m_writeIdle;
    const bool& other = reader ? m_writeIdle : m_readIdle;
    const std::uint64_t& otherSets = reader ? m_writeIdleSets : m_readIdleSets;
    const std::uint64_t setsBefore = otherSets;
    mine = false;
    if (m_accessChanged.wait_for(lock, kAccessWait, [&] { return other || otherSets != setsBefore; })) return true;
    mine = true;
    (reader ? m_readIdleSets : m_writeIdleSets)++;
    m_accessChanged.notify_all();
    return false;
}

void CSerialPort::endAccess(Side side) {
    std::lock_guard<std::mutex> lock(m_accessMutex);
    if (side == Side::Reader) {
        m_readIdle = true;
        ++m_readIdleSets;
    } else {
        m_writeIdle = true;
        ++m_writeIdleSets;
    }
    m_accessChanged.notify_all();
}

int CSerialPort::BytesInQueue() {
    if (!IsOpen()) return 0;
    if (!beginAccess(Side::Reader)) return 0;
    const int queued = m_backend->bytesInQueue();
    endAccess(Side::Reader);
    return queued;
}

int CSerialPort::Read(unsigned char* buffer, UINT count) {
    if (!IsOpen() || buffer == nullptr) return 0;
    if (!beginAccess(Side::Reader)) return 0;
    bool ended = false;
    auto started = [&] {
        if (!ended) {
            ended = true;
            endAccess(Side::Reader);
        }
    };
    const SerialIoResult result = m_backend->read(buffer, clampCount(count), started);
    started();
    if (result.fault == SerialFault::None) return result.count;
    reportFault(result, "ReadFile()");
    return result.inCompletion ? result.count : 0;
}

int CSerialPort::Write(const unsigned char* buffer, UINT count) {
    if (!IsOpen() || (buffer == nullptr && count != 0)) return 0;
    if (!beginAccess(Side::Writer)) return 0;
    bool ended = false;
    auto started = [&] {
        if (!ended) {
            ended = true;
            endAccess(Side::Writer);
        }
    };
    PurgeTx();
    const int wanted = clampCount(count);
    const long long timeoutMs = static_cast<long long>(kWriteMsPerByte) * wanted + kWriteConstantMs;
    const SerialIoResult result =
        m_backend->write(buffer, wanted, timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs), started);
    started();
    if (result.fault != SerialFault::None) reportFault(result, "WriteFile()");
    return result.count == wanted && static_cast<UINT>(wanted) == count ? wanted : 0;
}

int CSerialPort::PurgeTx() {
    m_backend->purge(true, false);
    return 1;
}

int CSerialPort::PurgeRx() {
    m_backend->purge(false, true);
    return 1;
}

void CSerialPort::reportFault(const SerialIoResult& result, const char* call) {
    if (result.fault == SerialFault::PortGone) {
        if (IsOpen()) m_bLost = true;
        showAccessErrorOnce();
        return;
    }
    const std::string name(call);
    if (!result.inCompletion) {
        trace(formatCode(("Call " + name + " failed, GetLastError()'s value is %d").c_str(), result.error));
        reportError(call, result.error);
    } else {
        trace(formatCode(("Call GetOverlappedResult() failed when " + name + ", GetLastError()'s value is %d").c_str(),
                         result.error));
        reportError(("GetOverlappedResults() in " + name).c_str(), result.error);
    }
}

void CSerialPort::ReportLastError(const char* what) { reportError(what, platform::lastErrorCode()); }

void CSerialPort::reportError(const char* what, int code) {
    const std::string reason = platform::errorText(code);
    const std::string whatText = what ? what : "";
    const std::string port = std::to_string(m_nPort.load());
    const std::string text =
        "WARNING:  " + whatText + " Failed with the following error: \n" + reason + "\nPort: " + port + "\n";
    platform::messageBox("Application Error", text, platform::BoxIcon::Error);
}

void CSerialPort::showAccessErrorOnce() {
    if (m_bAccessErrorShown.exchange(1) != 0) return;
    platform::messageBox(kComErrorCaption, kComErrorText, platform::BoxIcon::Information);
}

void CSerialPort::trace(const std::string& line) {
    if (m_traceSink) m_traceSink(line);
}

// ---- ByteTransport --------------------------------------------------------------------

int CSerialPort::write(const std::uint8_t* data, int count) {
    if (count < 0) return 0;
    return Write(data, static_cast<UINT>(count));
}

int CSerialPort::read(std::uint8_t* buffer, int count) {
    if (count <= 0) return 0;
    return Read(buffer, static_cast<UINT>(count));
}

bool CSerialPort::waitForInput(int timeoutMs) {
    if (!IsOpen()) return false;
    switch (m_backend->waitForInput(timeoutMs)) {
        case SerialWait::Input:
            return true;
        case SerialWait::PortGone:
            if (IsOpen()) m_bLost = true;
            showAccessErrorOnce();
            return false;
        case SerialWait::TimedOut:
        case SerialWait::Cancelled:
        case SerialWait::Closed:
            break;
    }
    return false;
}

void CSerialPort::cancelWait() { m_backend->cancelWait(); }

bool CSerialPort::reopen() {
    UINT port = 0;
    OpenSettings settings;
    {
        std::lock_guard<std::mutex> lifecycle(m_lifecycleMutex);
        if (!m_bLost.load()) return m_bOpen.load() != 0;  // closed on purpose, or back already
        port = m_nPort.load();
        settings = m_openSettings;
        m_bOpen = 0;
        m_backend->close();
    }
    // Open clears the lost mark on success; on failure the port stays closed and lost.
    return Open(port, settings.baud, settings.parity, settings.byteSize, settings.stopBits, m_nBufferSize.load()) != 0;
}

}  // namespace kestro
