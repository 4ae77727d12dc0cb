// The serial generator link.

#include "link/ctl_protocol.h"

namespace kestro {

std::atomic<int> CCtlProtocol::thread{0};

CCtlProtocol::CCtlProtocol() {
    m_pSerialPort = new CSerialPort;
    m_pSerialPort->setTraceSink([this](const std::string& line) { WriteTraceLine(line); });
    finishConstruction(m_pSerialPort, &thread);
}

CCtlProtocol::~CCtlProtocol() {
    beginDestruction();
    delete m_pSerialPort;
    m_pSerialPort = nullptr;
}

int CCtlProtocol::InitComm() {
    SerialSettings s = readSerialSettings(m_LocalCommConfig);
    return m_pSerialPort->Open(s.port, s.baud, static_cast<BYTE>(s.parity), static_cast<BYTE>(s.byteSize), s.stopBits,
                               512);
}

int CCtlProtocol::InitComm(UINT port, UINT baud, UINT parity, UINT byteSize, UINT stopBits, UINT bufferSize) {
    return m_pSerialPort->Open(port, baud, static_cast<BYTE>(parity), static_cast<BYTE>(byteSize), stopBits, bufferSize);
}

int CCtlProtocol::CloseComm() {
    if (m_pSerialPort->Close()) m_WorkFlags.bCommOk = 0;
    return 1;
}

int CCtlProtocol::InitGen() { return initGenShared(false); }

int CCtlProtocol::SendCpuUnrestrictedCommand(char* cmd, int len) { return sendCpuUnrestrictedCommandShared(cmd, len); }
int CCtlProtocol::SendApplyAPRCommand(APRDataInfo& info) { return sendApplyAPRCommandShared(info); }
int CCtlProtocol::ApplyAPRDirectly(APRSourceData& data) { return applyAPRDirectlyShared(data); }
void CCtlProtocol::AfterSelectReceptor() { afterSelectReceptorShared(); }
int CCtlProtocol::GetCpuCommandData_B(char* cmd, int len, int code) { return getCpuCommandDataBShared(cmd, len, code); }
int CCtlProtocol::GetCpuMultiCommandData(int code) { return getCpuMultiCommandDataShared(code); }
int CCtlProtocol::GetCpuCommandData(char* cmd, int len, int code) { return getCpuCommandDataShared(cmd, len, code); }
int CCtlProtocol::ProcessCpuDataBag(unsigned char* data, int len, int a, int b) { return processCpuDataBagShared(data, len, a, b); }
void CCtlProtocol::UpdateDataBag(int a, int b) { updateDataBagShared(a, b); }
unsigned char CCtlProtocol::GetByteFromInt(int value, int digit) { return byteFromInt(value, digit); }
void CCtlProtocol::PostErrorMessage(bool flag, int code) { postErrorMessageShared(flag, code); }
int CCtlProtocol::resumeWriteThread() { return resumeThread(m_pWriteThread); }
int CCtlProtocol::resumeReadThread() { return resumeThread(m_pReadThread); }
int CCtlProtocol::SuspendWorkThread() { return suspendWorkThreadShared(); }
int CCtlProtocol::ResetGen() { return resetGenShared(); }
void CCtlProtocol::TerminateThreads() {
    stopThreadsShared();
    delete this;
}

}  // namespace kestro
