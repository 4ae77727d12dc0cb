// The CAN generator link. Until a CAN adapter is attached the link has no bus: opening
// communication fails and says so in the trace; everything else behaves as on the
// serial link.

#include "link/can_protocol.h"

namespace kestro {

std::atomic<int> CCanProtocol::thread{0};

CCanProtocol::CCanProtocol() { finishConstruction(nullptr, &thread); }

CCanProtocol::~CCanProtocol() { beginDestruction(); }

int CCanProtocol::InitComm() {
    WriteTraceLine("CAN open failed: no CAN adapter available");
    return 0;
}

int CCanProtocol::InitComm(UINT, UINT, UINT, UINT, UINT, UINT) { return InitComm(); }

int CCanProtocol::CloseComm() {
    m_WorkFlags.bCommOk = 0;
    return 1;
}

int CCanProtocol::InitGen() { return initGenShared(true); }

int CCanProtocol::SendCpuUnrestrictedCommand(char* cmd, int len) { return sendCpuUnrestrictedCommandShared(cmd, len); }
int CCanProtocol::SendApplyAPRCommand(APRDataInfo& info) { return sendApplyAPRCommandShared(info); }
int CCanProtocol::ApplyAPRDirectly(APRSourceData& data) { return applyAPRDirectlyShared(data); }
void CCanProtocol::AfterSelectReceptor() { afterSelectReceptorShared(); }
int CCanProtocol::GetCpuCommandData_B(char* cmd, int len, int code) { return getCpuCommandDataBShared(cmd, len, code); }
int CCanProtocol::GetCpuMultiCommandData(int code) { return getCpuMultiCommandDataShared(code); }
int CCanProtocol::GetCpuCommandData(char* cmd, int len, int code) { return getCpuCommandDataShared(cmd, len, code); }
int CCanProtocol::ProcessCpuDataBag(unsigned char* data, int len, int a, int b) { return processCpuDataBagShared(data, len, a, b); }
void CCanProtocol::UpdateDataBag(int a, int b) { updateDataBagShared(a, b); }
unsigned char CCanProtocol::GetByteFromInt(int value, int digit) { return byteFromInt(value, digit); }
void CCanProtocol::PostErrorMessage(bool flag, int code) { postErrorMessageShared(flag, code); }
int CCanProtocol::resumeWriteThread() { return resumeThread(m_pWriteThread); }
int CCanProtocol::resumeReadThread() { return resumeThread(m_pReadThread); }
int CCanProtocol::SuspendWorkThread() { return suspendWorkThreadShared(); }
int CCanProtocol::ResetGen() { return resetGenShared(); }
void CCanProtocol::TerminateThreads() {
    stopThreadsShared();
    delete this;
}

}  // namespace kestro
