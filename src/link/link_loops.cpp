// The link's two threads: the reader, which hands every arriving unit to the receive
// procedure of the library mode and answers the generator's exposure handshake, and
// the worker, which polls the generator, watches exposures and fluoroscopy, sends the
// queued AEC DDC value and posts the ready-light notice.
//
// Both loops end when the class's run flag drops or when their LinkThread is asked to
// stop; every wait in them (port wait, sleeps) is cancellable, so a stop is prompt.

#include <chrono>
#include <functional>

#include "link/comm_protocol.h"

namespace kestro {
namespace {

// How long the reader waits for input in one go. The wait is cancelled by the worker
// when it ends and by stopReadThread, so this bound only limits how late the reader
// notices a run flag dropped by someone who did not cancel the wait.
constexpr int kReaderWaitMs = 250;
// Back-off while the port is closed, failed, or returns from its wait at once without
// input (a vanished device): the reader tries again after this pause, never spins.
constexpr int kReaderRetryMs = 20;

// Clears a reply flag and tells whether it was set.
bool takeFlag(CCommProtocol& link, int kind) {
    return link.m_ReplyFlags[static_cast<std::size_t>(kind)].exchange(0) != 0;
}

}  // namespace

// ---- Reader -------------------------------------------------------------------------
//
// One pass: look at the input queue; when it is empty wait for input; when bytes are
// queued, run the receive procedure of the library mode once (it takes exactly one
// unit). Instead of the fixed 1 ms pause per pass, the reader goes straight on while
// bytes are queued and otherwise blocks in the port's wait, which returns as soon as a
// byte arrives: the same units are handled in the same order, with less latency and no
// idle wake-ups.

unsigned CCommProtocol::readThreadPro(void* param) {
    if (!param) return static_cast<unsigned>(-1);
    CCommProtocol& link = *static_cast<CCommProtocol*>(param);

    auto receive = [&link] {
        switch (link.m_nDllMode.load()) {
            case 1: link.ReceiveProgModePro(); break;
            case 2: link.ReceiveCalibModePro(); break;
            default: link.ReceiveWorkModePro(); break;
        }
    };

    // A frame transport waits in its own receive (a bounded wait): wait for a unit's
    // first frame, run the receive procedure of the library mode, until the run flag
    // drops. The 1 ms pause follows only a wait in which nothing arrived: frames already
    // waiting (the rest of a burst, the answer to a command just sent) are taken at once
    // instead of a millisecond later.
    if (UnitReader* frames = link.m_pUnitReader; frames && frames->pacesReader()) {
        while (link.runFlag() == 1) {
            if (!LinkThread::pausePoint()) break;
            if (ByteTransport* port = link.transport(); port && port->lost()) {
                link.reconnectLostPort();
                continue;
            }
            if (!frames->awaitUnit()) {
                if (!LinkThread::sleepMs(1)) break;
                continue;
            }
            // A suspension asked for during the wait takes effect before the frame is
            // handled; the frame is kept for the next pass.
            if (!LinkThread::pausePoint()) break;
            if (link.runFlag() != 1) break;
            receive();
        }
        return 0;
    }

    while (link.runFlag() == 1) {
        if (!LinkThread::pausePoint()) break;
        ByteTransport* port = link.transport();
        if (port && port->lost()) {
            link.reconnectLostPort();
            continue;
        }
        if (!port || !port->isOpen()) {
            if (!LinkThread::sleepMs(kReaderRetryMs)) break;
            continue;
        }

        int queued = port->bytesInQueue();
        if (queued <= 0) {
            const auto started = std::chrono::steady_clock::now();
            port->waitForInput(kReaderWaitMs);
            // A suspension asked for during the wait takes effect before the bytes are
            // touched: a paused reader leaves them queued.
            if (!LinkThread::pausePoint()) break;
            if (link.runFlag() != 1) break;
            queued = port->bytesInQueue();
            if (queued <= 0) {
                // Woken without input well before the time-out (a cancelled wait, a
                // hung-up or failing device): pause before looking again.
                const auto waited = std::chrono::steady_clock::now() - started;
                if (waited < std::chrono::milliseconds(kReaderWaitMs / 2) && !LinkThread::sleepMs(kReaderRetryMs))
                    break;
                continue;
            }
        }

        receive();
    }
    return 0;
}

void CCommProtocol::ReceiveProgModePro() { ReceiveAndProcess(); }

void CCommProtocol::ReceiveWorkModePro() {
    ReceiveAndProcess();
    GeneratorData& d = *m_pData;

    // The echo goes out before the state changes (it passes the gate of the old state).
    auto answer = [this](const char* echo, int len, int kind, int newState, std::uintptr_t w, std::intptr_t l) {
        SendCommand_B(echo, len, kind);
        m_nGenState = newState;
        notifyHost(w, l);
    };

    if (takeFlag(*this, 14)) {
        switch (d.radPrepState.load()) {
            case 0:
                SendCommand_B("PR0", 3, 14);
                WriteTraceLine("Heat= ", d.anodeHeat, "");
                m_nGenState = 2;
                notifyHost(2, 1);
                break;
            case 1: answer("PR1", 3, 14, 3, 2, 2); break;
            case 2: answer("PR2", 3, 14, 10, 2, 3); break;
            default: break;
        }
        return;
    }
    if (takeFlag(*this, 15)) {
        switch (d.radExposureState.load()) {
            case 1: answer("XR1", 3, 15, 4, 1, 2); break;
            case 0: answer("XR0", 3, 15, 11, 1, 1); break;
            case 2:
                m_nGenState = 11;
                notifyHost(1, 3);
                break;
            default: break;
        }
        return;
    }
    if (takeFlag(*this, 39)) {
        if (d.fluoExposureState != 0) {
            SendCommand_B("FLX1", 4, 39);
            m_bFluoroExposing = 1;
            m_nGenState = 14;
            notifyHost(4, 2);
        } else {
            SendCommand_B("FLX0", 4, 39);
            m_bFluoroExposing = 0;
            m_nGenState = 12;
            notifyHost(4, 1);
        }
        return;
    }
    if (takeFlag(*this, 38)) {
        if (d.fluoPrepState != 0) {
            SendCommand_B("FLP1", 4, 38);
            m_bFluoroExposing = 0;
            m_nGenState = 13;
            notifyHost(3, 2);
        } else {
            SendCommand_B("FLP0", 4, 38);
            m_bFluoroExposing = 0;
            WriteTraceLine("Heat = ", d.anodeHeat, "");
            WriteTraceLine("INT time = ", d.fluoIntTimer, "");
            WriteTraceLine("ACC time = ", d.fluoAccTimer, "");
            m_nGenState = 2;
            notifyHost(3, 1);
        }
    }
}

void CCommProtocol::ReceiveCalibModePro() {
    ReceiveAndProcess();
    GeneratorData& d = *m_pData;
    // Outside a calibration the flags stay set for whoever looks at them next.
    if (d.calibMode == 0) return;

    if (takeFlag(*this, 14)) {
        switch (d.radPrepState.load()) {
            case 0: SendCommand_B("PR0", 3, 14); notifyHost(2, 1); break;
            case 1: SendCommand_B("PR1", 3, 14); notifyHost(2, 2); break;
            case 2: SendCommand_B("PR2", 3, 14); notifyHost(2, 3); break;
            default: break;
        }
        return;
    }
    if (takeFlag(*this, 15)) {
        if (d.radExposureState != 1) {
            SendCommand_B("XR0", 3, 15);
            SendCommand_B("MC? FC? KV? MS?", 15, 0);
            notifyHost(1, 1);
        } else {
            SendCommand_B("XR1", 3, 15);
            notifyHost(1, 2);
        }
    }
}

// ---- Worker -------------------------------------------------------------------------

namespace {

// One cycle's parts, in the order the cycle runs them.
class Worker {
public:
    using Notify = std::function<void(std::uintptr_t, std::intptr_t)>;
    Worker(CCommProtocol& link, Notify notify) : link_(link), data_(*link.m_pData), notify_(std::move(notify)) {}

    void readyLight() {
        if (link_.m_bErr220Pending == 0) return;
        const int left = --link_.m_nErr220Countdown;
        if (left < 1 || left > 95) return;
        link_.m_nErr220Countdown = 0;
        link_.m_bErr220Pending = 0;
        notify_(9, 5);
        link_.WriteTraceLine("Sent ready light lighted message!");
        link_.m_nThermalErrorCount = 0;
    }

    // Runs on every second cycle in which no calibration is going on. false when the
    // thread was asked to stop during it.
    bool everySecondCycle() {
        if (calibCycles_++ % 2 == 0) return true;
        const int state = link_.m_nGenState;
        const bool bagMode = link_.m_bDataBagMode != 0;
        if (state == 3 || state == 4 || state == 14 || bagMode) {
            if (state != 14 && !bagMode && data_.receptor == 5) exposureWatchdog();
        } else if (!poll()) {
            return false;
        }
        sendQueuedDDC();
        return true;
    }

    void fluoroWatchdog() {
        if (link_.m_nGenState != 14) {
            link_.m_nHeatPollCount = 0;
            return;
        }
        link_.GetCpuMultiCommandData_C(55);
        if (++link_.m_nHeatPollCount > 7) {
            link_.m_WorkFlags.bCommOk = 0;
            link_.m_nGenState = 2;
        } else {
            link_.m_WorkFlags.bCommOk = 1;
        }
    }

private:
    // A long serial exposure must be closed by the generator's AT message, which
    // resets the sum; without it the sum runs over its limit.
    void exposureWatchdog() {
        const int pps = data_.radPPS;
        if (pps <= 0) {
            link_.m_WorkFlags.bCommOk = 1;
            link_.m_nPostExpPollCount = 0;
            return;
        }
        const int sum = (link_.m_nPostExpPollCount += pps);
        const int limit = pps > 20 ? 3 * pps : 8 * pps;
        if (sum > limit) {
            link_.m_WorkFlags.bCommOk = 0;
            link_.m_nGenState = 2;
        }
    }

    bool poll() {
        if (!LinkThread::sleepMs(10)) return false;
        char st[] = "ST";
        const int ok = link_.m_nDllMode == 1 ? link_.GetCpuCommandData(st, 2, 7)
                                             : link_.GetCpuCommandData_C("HE?", 3, 21);
        if (ok) {
            link_.m_WorkFlags.bCommOk = 1;
            misses_ = 0;
        } else if (++misses_ >= 3) {
            link_.m_WorkFlags.bCommOk = 0;
            link_.WriteTraceLine("Cannot connect!");
            misses_ = 0;
        }
        return true;
    }

    void sendQueuedDDC() {
        bool requested;
        int value;
        {
            std::lock_guard<std::mutex> lock(link_.m_DDCLock);
            requested = link_.m_bSendDDC != 0;
            value = link_.m_nDDCValue;
            link_.m_bSendDDC = 0;  // cleared whether or not the value is sent
        }
        if (!requested || value < 0 || value >= 9000) return;
        char cmd[7] = {'D', 'D', 'C', static_cast<char>(link_.GetByteFromInt(value, 4)),
                       static_cast<char>(link_.GetByteFromInt(value, 3)), static_cast<char>(link_.GetByteFromInt(value, 2)),
                       static_cast<char>(link_.GetByteFromInt(value, 1))};
        link_.GetCpuCommandData(cmd, 7, 107);
    }

    CCommProtocol& link_;
    GeneratorData& data_;
    Notify notify_;
    unsigned calibCycles_ = 0;  // cycles counted while no calibration runs
    int misses_ = 0;            // polls unanswered in a row
};

}  // namespace

unsigned CCommProtocol::DllMainThreadPro(void* param) {
    if (!param) return static_cast<unsigned>(-1);
    CCommProtocol& link = *static_cast<CCommProtocol*>(param);
    Worker worker(link, [&link](std::uintptr_t w, std::intptr_t l) { link.notifyHost(w, l); });

    // The start-up's "ST" exchange runs while the worker still waits here.
    if (LinkThread::sleepMs(5000)) {
        while (link.runFlag() == 1) {
            if (!LinkThread::sleepMs(500)) break;
            if (link.runFlag() != 1) break;
            worker.readyLight();
            if (link.m_pData->calibMode == 0 && !worker.everySecondCycle()) break;
            worker.fluoroWatchdog();
        }
    }
    // The reader may be blocked in the port wait: wake it so it sees the run flag.
    if (ByteTransport* port = link.transport()) port->cancelWait();
    return 0;
}

}  // namespace kestro
