// Operations of the link that this build does not have yet. Each one fails honestly
// (no traffic, failure result); this file goes away when they are built.

#include "transport/serial_port.h"

namespace kestro {

// ---- serial port ----
class CSerialPort::Backend {};
CSerialPort::CSerialPort() = default;
CSerialPort::~CSerialPort() = default;
void CSerialPort::setTraceSink(TraceSink sink) { m_traceSink = std::move(sink); }
int CSerialPort::Open(UINT port, UINT, BYTE, BYTE, UINT, UINT bufferSize) {
    m_nPort = port;
    m_nBufferSize = bufferSize;
    return 0;
}
int CSerialPort::Close() { return 1; }
int CSerialPort::IsOpen() const { return 0; }
int CSerialPort::BytesInQueue() { return 0; }
int CSerialPort::Read(unsigned char*, UINT) { return 0; }
int CSerialPort::Write(const unsigned char*, UINT) { return 0; }
int CSerialPort::PurgeTx() { return 1; }
int CSerialPort::PurgeRx() { return 1; }
void CSerialPort::ReportLastError(const char*) {}
std::string CSerialPort::deviceName(UINT port) { return "/dev/ttyS" + std::to_string(port - 1); }
int CSerialPort::write(const std::uint8_t* data, int count) { return Write(data, static_cast<UINT>(count)); }
int CSerialPort::read(std::uint8_t* buffer, int count) { return Read(buffer, static_cast<UINT>(count)); }
bool CSerialPort::waitForInput(int) { return false; }
void CSerialPort::cancelWait() {}
void CSerialPort::trace(const std::string& line) {
    if (m_traceSink) m_traceSink(line);
}
void CSerialPort::showAccessErrorOnce() {}

}  // namespace kestro
