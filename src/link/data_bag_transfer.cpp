// Data-bag transfer: the send-and-wait primitive for data-bag frames and the
// multi-commands that refresh or set a group of ordinary parameters at once.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "link/comm_protocol.h"
#include "link/data_bag_transfer.h"
#include "link/parameter_block.h"

namespace kestro {
namespace {

constexpr int kBagAttempts = 2;
constexpr int kBagWaitMs = 500;
constexpr int kStatisticsBag = 60;

// Reply flags awaited by the multi-commands (the kinds of the items in the answer).
constexpr int kRadItems[] = {0, 1, 2, 3};                           // KV MA MS MX
constexpr int kSystemItems[] = {44, 9, 12, 13, 16, 17, 18, 21};     // TU WS FO ET FI FS FN HE
constexpr int kFluoItems[] = {32, 33, 34, 35, 36, 37, 40, 41, 43};  // FLK FLM FLI FLT FLS FLF FLA FLZ FLD
constexpr int kFluoDoseRateItem = 207;                              // FDR

}  // namespace

int dataBagIndex(int bag) {
    switch (bag) {
        case 58: return 1;
        case 59: return 2;
        case 60: return 3;
        case 61: return 4;
        case 62: return 5;
        case 63: return 6;
        case 70: case 71: case 72: case 73: case 74: return 7;
        case 65: return 8;
        case 66: return 9;
        case 67: return 10;
        case 68: return 11;
        case 69: return 12;
        case 109: return 13;
        case 110: return 14;
        case 112: return 15;
        case 82: return 16;
        case 80: return 17;
        case 117: return 18;
        case 118: return 19;
        case 119: return 20;
        case 120: return 21;
        case 121: return 22;
        case 122: return 23;
        case 123: return 24;
        case 124: return 25;
        default: return 0;
    }
}

bool CCommProtocol::waitForCondition(int timeoutMs, const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_ReplyMutex);
    while (!pred()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        m_ReplyArrived.wait_for(lock, std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(1)));
    }
    return true;
}

// ---- Send and wait --------------------------------------------------------------------

int CCommProtocol::processCpuDataBagShared(unsigned char* data, int len, int bag, int applyMode) {
    if (m_pData->bDemo) return 1;
    if (!data || len < 4 || bag < 0 || bag >= kReplyFlagCount) return 0;
    std::lock_guard<std::recursive_mutex> operation(m_PacketOperationLock);
    // Commands of other threads go out between this operation's exchanges, not
    // within one (their answers would arrive while the parser reads data-bag units).
    std::lock_guard<ExchangeLock> turn(m_ExchangeLock);
    struct ModeOff {
        LinkInt& mode;
        ~ModeOff() { mode = 0; }
    } modeOff{m_bDataBagMode};

    m_bDataBagMode = 1;  // the parser now reads ACK, NAK and data-bag replies
    // An answer left over from an earlier exchange must not decide this one: both
    // acknowledgement flags start clear, whatever the mode.
    m_bAckReceived = 0;
    m_bNakReceived = 0;
    if (!applyMode) {
        std::lock_guard<std::mutex> lock(m_ReplyMutex);
        m_ReplyFlags[static_cast<std::size_t>(bag)] = 0;
    }

    for (int attempt = 0; attempt < kBagAttempts; ++attempt) {
        if (attempt > 0) LinkStatistics::add(m_Stats.retried);
        SendData(data, len, bag);  // a short write is left to the time-out
        if (bag == kStatisticsBag && len > 4 && data[4] != 0) {
            static const unsigned char kStatisticsFollowUp[] = {0x01, 0x03, 0x00, 0x01, 0x00};
            SendData(kStatisticsFollowUp, sizeof kStatisticsFollowUp, bag);
        }
        if (applyMode) {
            bool ack = false;
            bool nak = false;
            waitForCondition(kBagWaitMs, [&] {
                ack = m_bAckReceived != 0;
                nak = m_bNakReceived != 0;
                return ack || nak;
            });
            if (ack) {
                m_bAckReceived = 0;
                m_bDataBagMode = 0;
                return 1;
            }
            if (nak) {
                m_bNakReceived = 0;
                m_bDataBagMode = 0;
                return 0;  // rejected: no second attempt
            }
        } else if (waitReplyFlag(bag, kBagWaitMs)) {
            m_bDataBagMode = 0;
            return 1;
        }
        LinkStatistics::add(m_Stats.timedOut);
    }
    m_bDataBagMode = 0;
    return 0;
}

// ---- Multi-commands -------------------------------------------------------------------

namespace {

struct MultiCommand {
    const char* text;
    int kind;
    std::vector<int> items;
    int attempts;
    int pollsPerAttempt;
    bool clearFirst;
};

std::vector<int> fluoItems(const GenCompInfo& info) {
    std::vector<int> items(std::begin(kFluoItems), std::end(kFluoItems));
    if (info.ABSDoseRate != 0) items.push_back(kFluoDoseRateItem);
    return items;
}

int runMultiCommand(CCommProtocol& link, const MultiCommand& command) {
    auto flag = [&link](int kind) -> LinkInt& { return link.m_ReplyFlags[static_cast<std::size_t>(kind)]; };
    std::lock_guard<ExchangeLock> turn(link.m_ExchangeLock);
    if (command.clearFirst) {
        for (int kind : command.items) flag(kind) = 0;
    }
    for (int attempt = 0; attempt < command.attempts; ++attempt) {
        link.SendCommand(command.text, 2, command.kind);
        const bool all = link.waitForCondition(command.pollsPerAttempt, [&] {
            return std::all_of(command.items.begin(), command.items.end(), [&](int kind) { return flag(kind) != 0; });
        });
        if (all) {
            for (int kind : command.items) flag(kind) = 0;
            link.m_bAckReceived = 0;
            return 1;
        }
    }
    return 0;
}

}  // namespace

int CCommProtocol::getCpuMultiCommandDataShared(int code) {
    switch (code) {
        case 53: return runMultiCommand(*this, {"RR", 53, {std::begin(kRadItems), std::end(kRadItems)}, 2, 50, false});
        case 54: return runMultiCommand(*this, {"RS", 54, {std::begin(kSystemItems), std::end(kSystemItems)}, 3, 200, false});
        case 55: return runMultiCommand(*this, {"RF", 55, fluoItems(gen_CompInfo), 2, 400, true});
        case kParameterBlockKind: {
            const std::optional<ParameterBlock> block =
                techniqueBlock(m_pData->SettingsImage + image::kTechniqueRecord, m_pData->multiTechnique);
            if (!block) return 0;  // an index outside its table: nothing is sent
            return sendParameterBlock(block->data());
        }
        default: return 0;
    }
}

int CCommProtocol::GetCpuMultiCommandData_C(int code) {
    switch (code) {
        case 53: return runMultiCommand(*this, {"RR", 53, {std::begin(kRadItems), std::end(kRadItems)}, 2, 50, false});
        case 54: return runMultiCommand(*this, {"RS", 54, {std::begin(kSystemItems), std::end(kSystemItems)}, 2, 200, false});
        case 55:
            // The worker's fluoroscopy refresh: the answer is picked up by the parser
            // whenever it comes.
            SendCommand("RF", 2, 55);
            return 1;
        default: return 0;
    }
}

}  // namespace kestro
