#pragma once
// CCanProtocol: the generator link over a CAN bus.

#include <atomic>

#include "link/comm_protocol.h"

namespace kestro {

class CCanProtocol : public CCommProtocol {
public:
    // The run flag of this class's threads (1 keep running, 0 stop).
    static std::atomic<int> thread;

    CCanProtocol();
    ~CCanProtocol() override;

    int InitComm() override;
    int InitComm(UINT port, UINT baud, UINT parity, UINT byteSize, UINT stopBits, UINT bufferSize) override;
    int CloseComm() override;
    int InitGen() override;
    int ResetGen() override;
    int SendCpuUnrestrictedCommand(char* cmd, int len) override;
    int SendApplyAPRCommand(APRDataInfo& info) override;
    int ApplyAPRDirectly(APRSourceData& data) override;
    void AfterSelectReceptor() override;
    int GetCpuCommandData_B(char* cmd, int len, int code) override;
    int GetCpuMultiCommandData(int code) override;
    int GetCpuCommandData(char* cmd, int len, int code) override;
    int ProcessCpuDataBag(unsigned char* data, int len, int a, int b) override;
    void UpdateDataBag(int a, int b) override;
    unsigned char GetByteFromInt(int value, int digit) override;
    void PostErrorMessage(bool flag, int code) override;
    int resumeWriteThread() override;
    int resumeReadThread() override;
    int SuspendWorkThread() override;
    void TerminateThreads() override;
};

}  // namespace kestro
