// Operations of the link that this build does not have yet. Each one fails honestly
// (no traffic, failure result); the file shrinks as the operations are built.

#include "link/comm_protocol.h"
#include "transport/serial_port.h"

namespace kestro {

// ---- message parser ----
void CCommProtocol::ReceiveAndProcess() { m_bStopReceive = 0; }
unsigned char CCommProtocol::ReceiveOneByte() { return 0; }

// ---- link thread loops ----
unsigned CCommProtocol::readThreadPro(void* link) { return link ? 0u : static_cast<unsigned>(-1); }
unsigned CCommProtocol::DllMainThreadPro(void* link) { return link ? 0u : static_cast<unsigned>(-1); }
void CCommProtocol::ReceiveWorkModePro() {}
void CCommProtocol::ReceiveProgModePro() {}
void CCommProtocol::ReceiveCalibModePro() {}

// ---- data-bag transfer ----
int CCommProtocol::getCpuMultiCommandDataShared(int) { return 0; }
int CCommProtocol::GetCpuMultiCommandData_C(int) { return 0; }
int CCommProtocol::processCpuDataBagShared(unsigned char*, int, int, int) { return m_pData->bDemo ? 1 : 0; }
void CCommProtocol::updateDataBagShared(int, int) {}

// ---- APR ----
int CCommProtocol::sendApplyAPRCommandShared(APRDataInfo&) { return 0; }
int CCommProtocol::applyAPRDirectlyShared(APRSourceData&) { return 0; }

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
