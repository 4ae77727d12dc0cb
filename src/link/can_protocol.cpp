// The CAN generator link: the serial link's behaviour over a CCanDriver. Commands and data
// blocks go to the adapter as one byte stream each; received frames are read 8 bytes at a
// time by the parser through the link's frame reader, every unit starting with a frame.

#include "link/can_protocol.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace kestro {

std::atomic<int> CCanProtocol::thread{0};

// The link's side of the adapter: writes go out as frames (ByteTransport), the parser
// reads units frame by frame (UnitReader).
class CCanProtocol::FramePort : public ByteTransport, public UnitReader {
public:
    explicit FramePort(CCanProtocol& link) : m_link(link) {}

    // ---- ByteTransport: what the senders use --------------------------------------
    bool isOpen() const override {
        const CCanDriver* d = m_link.driver();
        return d && d->m_bOpen == 1;
    }
    int write(const std::uint8_t* data, int count) override {
        CCanDriver* d = m_link.driver();
        return d ? d->SendFrames(data, count) : 0;
    }
    // The reader thread never waits here: frames are taken by the parser itself.
    int bytesInQueue() override { return 0; }
    int read(std::uint8_t*, int) override { return 0; }
    bool waitForInput(int timeoutMs) override {
        LinkThread::sleepMs(timeoutMs < 0 ? 10 : std::min(timeoutMs, 10));
        return false;
    }
    void cancelWait() override {}

    // The bus went away while the link had it open (and the host has not closed it).
    bool lost() const override {
        const CCanDriver* d = m_link.driver();
        return m_link.m_bBusWanted.load() && d && d->lost();
    }
    bool reopen() override {
        CCanDriver* d = m_link.driver();
        if (!d || !d->Reopen(kBitRate, kReceiveId, kReceiveId)) return false;
        m_link.m_hPortHandle = d->m_PortHandle;
        m_link.m_hNotifyEvent = d->m_hNotify;
        m_pending = false;
        return true;
    }
    const char* deviceName() const override { return "CAN bus"; }

    // ---- UnitReader: what the parser uses -----------------------------------------
    bool awaitUnit() override {
        if (!m_pending) m_pending = m_link.ReceiveEightBytes(m_frame) == 1;
        return m_pending;
    }
    bool beginUnit() override {
        m_limitFrames = false;
        m_further = 0;
        m_pos = 0;
        if (m_pending) {
            m_pending = false;  // the frame awaitUnit() took
            return true;
        }
        return m_link.ReceiveEightBytes(m_frame) == 1;
    }
    void readingMessage(bool asciiMessage) override { m_limitFrames = asciiMessage; }

    std::optional<std::uint8_t> nextByte() override {
        if (m_pos == 8) {
            if (m_link.m_bStopReceive) return std::nullopt;
            if (m_limitFrames && m_further >= kMaxFurtherFrames) {
                // The message cannot pass its checksum any more: dropped, and the frames
                // that follow are read as new units.
                LinkStatistics::add(m_link.m_Stats.droppedUnits);
                m_link.WriteTraceLine("Dropped message from GEN longer than further frames :", kMaxFurtherFrames, "");
                return std::nullopt;
            }
            if (!nextFrame()) return std::nullopt;
            ++m_further;
            m_pos = 0;
        }
        return m_frame[m_pos++];
    }

    bool tracesDataBagChecksum() const override { return true; }
    bool pacesReader() const override { return true; }

    void beforeReaderStart() override {
        CCanDriver* d = m_link.driver();
        if (!d) return;
        d->SetNotification(1);
        m_link.m_hPortHandle = d->m_PortHandle;
        m_link.m_hNotifyEvent = d->m_hNotify;
    }
    void afterReaderStart() override {
        if (CCanDriver* d = m_link.driver()) d->SetRxHandles(m_link.m_hPortHandle, m_link.m_hNotifyEvent);
    }

private:
    // The next frame of the unit: the adapter's 10 ms receive, repeated for a bounded
    // time, so that a frame a little late on a busy bus or host still joins its unit.
    // A unit whose next frame does not come in that time is abandoned (counted, with a
    // trace line); one given up because the receive was stopped or the bus went away is
    // not counted.
    bool nextFrame() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kContinuationWaitMs);
        do {
            if (m_link.ReceiveEightBytes(m_frame) == 1) return true;
            if (m_link.m_bStopReceive || m_link.runFlag() != 1 || lost()) return false;
        } while (std::chrono::steady_clock::now() < deadline);
        LinkStatistics::add(m_link.m_Stats.droppedUnits);
        m_link.WriteTraceLine("Abandoned unit from GEN, no CAN frame for ms :", kContinuationWaitMs, "");
        return false;
    }

    CCanProtocol& m_link;
    unsigned char m_frame[8] = {};
    int m_pos = 8;
    int m_further = 0;
    bool m_limitFrames = false;
    bool m_pending = false;  // m_frame holds a unit's first frame not yet begun
};

CCanProtocol::CCanProtocol() : m_pPort(std::make_unique<FramePort>(*this)) {
    setUnitReader(m_pPort.get());
    setCommandWaitC(70);
    finishConstruction(m_pPort.get(), &thread);
}

CCanProtocol::CCanProtocol(std::unique_ptr<CCanDriver> driver) : CCanProtocol() {
    m_pDriver = std::move(driver);
    m_pCanDriver = m_pDriver.get();
}

CCanProtocol::~CCanProtocol() {
    beginDestruction();
    m_pCanDriver = nullptr;
    m_pDriver.reset();
}

bool CCanProtocol::chooseDriver() {
    std::lock_guard<std::mutex> lock(m_driverLock);
    // Once made, the adapter stays for the life of the link (a later open retries it).
    if (m_pCanDriver.load()) return true;

    auto trace = [this](std::string_view text, int number, std::string_view suffix) {
        if (number == -1 && suffix.empty())
            WriteTraceLine(text);
        else
            WriteTraceLine(text, number, suffix);
    };
    const char* env = std::getenv("KESTRO_CAN");
    const std::string spec = (env && *env) ? std::string(env) : std::string(defaultCanBusSpec());
    std::unique_ptr<CCanDriver> made;
    if (spec.empty()) {
        const xl::Api* api = xl::loadDriverApi();
        if (!api) {
            WriteTraceLine("CAN driver library could not be loaded: vxlapi.dll");
            return false;
        }
        made = std::make_unique<CCanDriver>(api, trace);
    } else {
        std::string error;
        std::unique_ptr<CanMedia> media = makeCanMedia(spec, &error);
        if (!media) {
            WriteTraceLine("CAN bus not available: " + error);
            return false;
        }
        made = std::make_unique<CCanDriver>(std::move(media), trace);
    }
    m_pDriver = std::move(made);
    m_pCanDriver = m_pDriver.get();
    return true;
}

int CCanProtocol::InitComm() {
    // From the first open on, a bus that goes away is opened again by the reader, until
    // the host closes communication.
    m_bBusWanted = true;
    if (!chooseDriver()) return 0;
    CCanDriver& d = *m_pCanDriver.load();
    if (d.OpenChannels() != 0) return 0;
    if (d.SetAcceptance(kReceiveId, kReceiveId) != 0) return 0;
    if (d.Deactivate() != 0) return 0;
    return d.Activate(kBitRate) == 0 ? 1 : 0;
}

int CCanProtocol::InitComm(UINT, UINT, UINT, UINT, UINT, UINT) { return InitComm(); }

int CCanProtocol::CloseComm() {
    CCanDriver* d = m_pCanDriver.load();
    if (d && d->Deactivate() != 0) return 0;
    m_bBusWanted = false;
    m_WorkFlags.bCommOk = 0;
    return 1;
}

int CCanProtocol::ReceiveEightBytes(unsigned char* frame) {
    CCanDriver* d = m_pCanDriver.load();
    if (!d) {
        LinkThread::sleepMs(CCanDriver::kReceiveWaitMs);
        return 0;
    }
    return d->ReceiveFrame(frame);
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
