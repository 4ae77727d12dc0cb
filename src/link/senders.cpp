// Command transmission: frames, the generator-state gate, the send lock and the
// acknowledged senders that wait for the reply flag of their command kind.

#include <algorithm>
#include <chrono>
#include <cstring>

#include "link/comm_protocol.h"

namespace kestro {
namespace {

bool contains(std::initializer_list<int> kinds, int kind) {
    return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

// How long a woken sender watches for the reader's write of the answer's trace line
// before it writes the line itself (the reader writes it right after the reply flag).
constexpr std::chrono::microseconds kTraceFlushSpin{30};

std::uint8_t checksum(const unsigned char* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

}  // namespace

bool CCommProtocol::kindAllowed(int genState, int kind, bool variantB) {
    if (variantB && kind == 200 && (genState == 3 || genState == 4 || genState == 10)) return true;
    switch (genState) {
        case 3: return contains({4, 5, 7, 14, 15, 19, 20, 28, 29, 38, 39}, kind);
        case 4: return contains({7, 14, 15, 19, 20, 28, 29, 38, 39}, kind);
        case 8: return true;
        case 10: return contains({4, 5, 7, 14, 15, 19, 21, 28, 29, 31, 38, 39}, kind);
        default: return kind != 25 && kind != 26;
    }
}

void CCommProtocol::raiseReplyFlag(int kind) {
    if (kind < 0 || kind >= kReplyFlagCount) return;
    {
        std::lock_guard<std::mutex> lock(m_ReplyMutex);
        m_ReplyFlags[static_cast<std::size_t>(kind)] = 1;
        m_ReplyLedger.noteArrival(kind);
    }
    m_ReplyArrived.notify_all();
}

bool CCommProtocol::waitArrival(const ReplyLedger::Exchange& exchange, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_ReplyMutex);
    return m_ReplyArrived.wait_until(lock, deadline, [&] { return exchange.pending(); });
}

namespace {

inline void cpuRelax() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield");
#endif
}

}  // namespace

void CCommProtocol::spinForArrival(const ReplyLedger::Exchange& exchange,
                                   std::chrono::steady_clock::time_point deadline) {
    const std::chrono::nanoseconds last{m_nLastRoundTripNs.load(std::memory_order_relaxed)};
    if (last > kReplySpinLimit) return;
    const auto now = std::chrono::steady_clock::now();
    const auto until = std::min(deadline, now + 2 * last + std::chrono::microseconds(20));
    while (!exchange.pending()) {
        cpuRelax();
        if (std::chrono::steady_clock::now() >= until) return;
    }
}

void CCommProtocol::noteRoundTrip(std::chrono::steady_clock::duration elapsed) {
    m_Stats.addRoundTrip(elapsed);
    m_nLastRoundTripNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count(),
                             std::memory_order_relaxed);
}

bool CCommProtocol::waitReplyFlag(int kind, int timeoutMs) {
    if (kind < 0 || kind >= kReplyFlagCount) return false;
    LinkInt& flag = m_ReplyFlags[static_cast<std::size_t>(kind)];
    std::unique_lock<std::mutex> lock(m_ReplyMutex);
    m_ReplyArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return flag.load() != 0; });
    if (flag.load() == 0) return false;
    flag = 0;
    lock.unlock();
    m_TraceFile.flushPosted(kTraceFlushSpin);  // the reply's trace line is in the file before the caller goes on
    return true;
}

namespace {

// One frame under the send lock: the command bytes, ETX and the checksum.
int writeCommandFrame(CCommProtocol& link, ByteTransport* port, const char* cmd, int len) {
    if (len < 0 || static_cast<std::size_t>(len) + 2 > CCommProtocol::kTxBufferSize) return 0;
    if (len > 0 && !cmd) return 0;
    std::lock_guard<std::mutex> busy(link.m_bSendBusy);
    if (len > 0) std::memcpy(link.m_TxBuffer, cmd, static_cast<std::size_t>(len));
    link.m_TxBuffer[len] = 0x03;
    link.m_TxBuffer[len + 1] = checksum(link.m_TxBuffer, static_cast<std::size_t>(len) + 1);
    if (!port) return 0;
    const int written = port->write(link.m_TxBuffer, len + 2);
    if (written == len + 2) LinkStatistics::add(link.m_Stats.framesSent);
    return written;
}

}  // namespace

int CCommProtocol::SendCommand(const char* cmd, int len, int kind) {
    if (!kindAllowed(m_nGenState, kind, false)) return -1;
    if (writeCommandFrame(*this, transport(), cmd, len) < len + 2) return 0;
    if ((kind != 21 && kind != 7) || m_bTraceSTHE)
        WriteTraceLine("UI sent command            : ", -1, std::string_view(cmd, static_cast<std::size_t>(len)));
    m_nLastCommandKind = kind;
    return len + 2;
}

int CCommProtocol::SendCommand_B(const char* cmd, int len, int kind) {
    if (!kindAllowed(m_nGenState, kind, true)) return -1;
    if (writeCommandFrame(*this, transport(), cmd, len) < len + 2) return 0;
    if ((kind != 21 && kind != 7) || m_bTraceSTHE)
        WriteTraceLine("UI sent command            : ", -1, std::string_view(cmd, static_cast<std::size_t>(len)));
    return len + 2;
}

int CCommProtocol::SendData(const unsigned char* data, int len, int kind) {
    if (len < 0 || static_cast<std::size_t>(len) + 1 > kTxBufferSize || (len > 0 && !data)) return 0;
    std::lock_guard<std::mutex> busy(m_bSendBusy);
    if (len > 0) std::memcpy(m_TxBuffer, data, static_cast<std::size_t>(len));
    m_TxBuffer[len] = checksum(m_TxBuffer, static_cast<std::size_t>(len));
    // The kind is in place before the frame goes out: the reply (which names its bag
    // only by the index it shares with the other Auxiliary IO groups) can be parsed
    // before the write returns. A write that fails puts the previous kind back.
    const int previous = m_nLastDataBagKind.exchange(kind);
    const int written = transport() ? transport()->write(m_TxBuffer, len + 1) : 0;
    if (written < len + 1) {
        m_nLastDataBagKind = previous;
        return 0;
    }
    LinkStatistics::add(m_Stats.framesSent);
    return len + 1;
}

namespace {

// Sends up to `attempts` times and waits pollsPerAttempt ms after each for the answer
// of the kind. Answers still owed to earlier attempts that gave up are waited for
// (absorbed) before the first frame goes out, at most until they expire: a late answer
// is never taken for a newer command.
template <typename Sender>
int acknowledged(CCommProtocol& link, int kind, int attempts, int pollsPerAttempt, Sender send) {
    if (kind < 0 || kind >= CCommProtocol::kReplyFlagCount) return 0;
    ReplyLedger::Exchange exchange(link.m_ReplyLedger, kind);
    for (ReplyLedger::Clock::time_point until; exchange.owing(&until);) link.waitArrival(exchange, until);
    std::lock_guard<ExchangeLock> turn(link.m_ExchangeLock);
    link.m_ReplyFlags[static_cast<std::size_t>(kind)] = 0;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        // A refused command puts nothing on the wire and is owed nothing.
        const auto sentAt = std::chrono::steady_clock::now();
        if (send() > 0) {
            exchange.sent();
            if (attempt > 0) LinkStatistics::add(link.m_Stats.retried);
        }
        const auto deadline = sentAt + std::chrono::milliseconds(pollsPerAttempt);
        bool answered = false;
        link.spinForArrival(exchange, deadline);
        while (!answered) {
            if (!link.waitArrival(exchange, deadline)) break;
            answered = exchange.takeAnswer();
        }
        if (answered) {
            link.noteRoundTrip(std::chrono::steady_clock::now() - sentAt);
            // The reader posted the answer's trace line before it woke this sender; it
            // is in the file before the host has the result.
            link.m_TraceFile.flushPosted(kTraceFlushSpin);
            LinkStatistics::add(link.m_Stats.acknowledged);
            link.m_ReplyFlags[static_cast<std::size_t>(kind)] = 0;
            link.m_bAckReceived = 0;
            return 1;
        }
        LinkStatistics::add(link.m_Stats.timedOut);
    }
    return 0;
}

}  // namespace

int CCommProtocol::getCpuCommandDataShared(const char* cmd, int len, int kind) {
    return acknowledged(*this, kind, 2, 100, [&] { return SendCommand(cmd, len, kind); });
}

int CCommProtocol::getCpuCommandDataBShared(const char* cmd, int len, int kind) {
    return acknowledged(*this, kind, 1, 30, [&] { return SendCommand_B(cmd, len, kind); });
}

int CCommProtocol::GetCpuCommandData_C(const char* cmd, int len, int kind) {
    return acknowledged(*this, kind, 3, m_nCommandWaitCMs, [&] { return SendCommand_B(cmd, len, kind); });
}

int CCommProtocol::sendCpuUnrestrictedCommandShared(const char* cmd, int len) {
    return SendCommand(cmd, len, 0) != 0 ? 1 : 0;
}

}  // namespace kestro
