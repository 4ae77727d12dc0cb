#pragma once
// CCanProtocol: the generator link over a CAN bus. Same operations, members, threads and
// vocabulary as the serial link; the bytes travel in CAN frames through a CCanDriver.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "link/comm_protocol.h"
#include "transport/can_driver.h"

namespace kestro {

class CCanProtocol : public CCommProtocol {
public:
    // The run flag of this class's threads (1 keep running, 0 stop).
    static std::atomic<int> thread;
    static constexpr std::uint32_t kBitRate = 500000;
    static constexpr std::uint32_t kReceiveId = 8;
    // How long a message or reply may wait for its next frame before it is given up.
    static constexpr int kContinuationWaitMs = 100;
    // Further frames an ASCII message may take after its first.
    static constexpr int kMaxFurtherFrames = 60;

    // The adapter is chosen when communication is first opened (KESTRO_CAN).
    CCanProtocol();
    // Over the given adapter (embedding, tests).
    explicit CCanProtocol(std::unique_ptr<CCanDriver> driver);
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

    // 1 when 8 bytes of a frame with identifier 8 were copied to frame, else 0.
    int ReceiveEightBytes(unsigned char* frame);

    // The adapter (nullptr before communication was first opened).
    CCanDriver* driver() const { return m_pCanDriver.load(); }

    // Communication was opened and not closed since: a lost bus is reopened.
    std::atomic<bool> m_bBusWanted{false};

    // What startReadThread obtained from the adapter.
    std::atomic<xl::XLportHandle> m_hPortHandle{xl::XL_INVALID_PORTHANDLE};
    std::atomic<xl::XLhandle> m_hNotifyEvent{nullptr};

private:
    class FramePort;
    // Makes the adapter KESTRO_CAN names (or the platform's default). false with the
    // trace line when there is none.
    bool chooseDriver();

    // The adapter, made by the first open; read without a lock by the link's threads.
    std::atomic<CCanDriver*> m_pCanDriver{nullptr};
    std::unique_ptr<CCanDriver> m_pDriver;
    std::mutex m_driverLock;
    std::unique_ptr<FramePort> m_pPort;
};

}  // namespace kestro
