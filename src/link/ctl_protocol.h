#pragma once
// CCtlProtocol: the generator link over a serial COM port.

#include <atomic>
#include <memory>

#include "link/comm_protocol.h"
#include "transport/serial_port.h"

namespace kestro {

class CCtlProtocol : public CCommProtocol {
public:
    // The run flag of this class's threads (1 keep running, 0 stop).
    static std::atomic<int> thread;

    CCtlProtocol();
    ~CCtlProtocol() override;

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

    CSerialPort* m_pSerialPort = nullptr;
};

}  // namespace kestro
