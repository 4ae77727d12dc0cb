// Data-bag transfer: the send-and-wait primitive for data-bag frames, the multi-commands
// that refresh a group of ordinary parameters at once, and the copy of a received
// data-bag reply into the settings image.

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "link/comm_protocol.h"
#include "link/data_bag_stores.h"
#include "link/data_bag_transfer.h"

namespace kestro {
namespace {

constexpr int kBagAttempts = 2;
constexpr int kBagWaitMs = 500;

// Waits until pred() holds or timeoutMs passes. The parser wakes the condition when
// it raises a reply flag; the wait also looks every millisecond, so a flag the parser
// sets without waking anyone (ACK and NAK bytes) is still seen as a poll would see it.
template <typename Pred>
bool waitUntil(std::mutex& mutex, std::condition_variable& arrived, int timeoutMs, Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mutex);
    while (!pred()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        arrived.wait_for(lock, std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(1)));
    }
    return true;
}

// Reply flags awaited by the multi-commands (the kinds of the items in the answer).
constexpr int kRadItems[] = {0, 1, 2, 3};                     // KV MA MS MX
constexpr int kSystemItems[] = {44, 9, 12, 13, 16, 17, 18, 21};  // TU WS FO ET FI FS FN HE
constexpr int kFluoItems[] = {32, 33, 34, 35, 36, 37, 40, 41, 43};  // FLK FLM FLI FLT FLS FLF FLA FLZ FLD
constexpr int kFluoDoseRateItem = 207;                        // FDR

// The reader leaves a Version reply in the receive buffer, where the next unit would
// overwrite it; the read takes a copy as soon as the reply's flag is seen.
std::mutex& versionReplyLock() {
    static std::mutex lock;
    return lock;
}
std::array<std::uint8_t, 4 + 255>& versionReply() {
    static std::array<std::uint8_t, 4 + 255> frame{};
    return frame;
}

}  // namespace

// ---- Send and wait --------------------------------------------------------------------

int CCommProtocol::processCpuDataBagShared(unsigned char* data, int len, int bag, int applyMode) {
    if (m_pData->bDemo) return 1;
    if (!data || len < 4 || (!applyMode && (bag < 0 || bag >= kReplyFlagCount))) return 0;
    std::lock_guard<std::recursive_mutex> operation(m_PacketOperationLock);

    m_bDataBagMode = 1;  // the parser now reads ACK, NAK and data-bag replies
    if (applyMode) {
        m_bAckReceived = 0;
    } else {
        std::lock_guard<std::mutex> lock(m_ReplyMutex);
        m_ReplyFlags[static_cast<std::size_t>(bag)] = 0;
    }

    for (int attempt = 0; attempt < kBagAttempts; ++attempt) {
        SendData(data, len, bag);  // a short write is left to the time-out
        if (bag == 60 && data[4] != 0) {
            static const unsigned char kStatisticsFollowUp[] = {0x01, 0x03, 0x00, 0x01, 0x00};
            SendData(kStatisticsFollowUp, sizeof kStatisticsFollowUp, bag);
        }
        if (applyMode) {
            bool ack = false;
            bool nak = false;
            waitUntil(m_ReplyMutex, m_ReplyArrived, kBagWaitMs, [&] {
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
            if (bag == 69) {
                std::lock_guard<std::mutex> lock(versionReplyLock());
                std::memcpy(versionReply().data(), m_RxBuffer, 4 + std::size_t{m_RxBuffer[3]});
            }
            m_bDataBagMode = 0;
            return 1;
        }
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

}  // namespace

static std::vector<int> fluoItems(const GenCompInfo& info) {
    std::vector<int> items(std::begin(kFluoItems), std::end(kFluoItems));
    if (info.ABSDoseRate != 0) items.push_back(kFluoDoseRateItem);
    return items;
}

static int runMultiCommand(CCommProtocol& link, std::mutex& mutex, std::condition_variable& arrived,
                           const MultiCommand& command) {
    auto flag = [&link](int kind) -> LinkInt& { return link.m_ReplyFlags[static_cast<std::size_t>(kind)]; };
    if (command.clearFirst) {
        std::lock_guard<std::mutex> lock(mutex);
        for (int kind : command.items) flag(kind) = 0;
    }
    for (int attempt = 0; attempt < command.attempts; ++attempt) {
        link.SendCommand(command.text, 2, command.kind);
        const bool all = waitUntil(mutex, arrived, command.pollsPerAttempt, [&] {
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

int CCommProtocol::getCpuMultiCommandDataShared(int code) {
    switch (code) {
        case 53: return runMultiCommand(*this, m_ReplyMutex, m_ReplyArrived, {"RR", 53, {std::begin(kRadItems), std::end(kRadItems)}, 2, 50, false});
        case 54: return runMultiCommand(*this, m_ReplyMutex, m_ReplyArrived, {"RS", 54, {std::begin(kSystemItems), std::end(kSystemItems)}, 3, 200, false});
        case 55: return runMultiCommand(*this, m_ReplyMutex, m_ReplyArrived, {"RF", 55, fluoItems(gen_CompInfo), 2, 400, true});
        // 57, the radiography parameter block, is not built yet: it fails without traffic.
        default: return 0;
    }
}

int CCommProtocol::GetCpuMultiCommandData_C(int code) {
    switch (code) {
        case 53: return runMultiCommand(*this, m_ReplyMutex, m_ReplyArrived, {"RR", 53, {std::begin(kRadItems), std::end(kRadItems)}, 2, 50, false});
        case 54: return runMultiCommand(*this, m_ReplyMutex, m_ReplyArrived, {"RS", 54, {std::begin(kSystemItems), std::end(kSystemItems)}, 2, 200, false});
        case 55:
            // The worker's fluoroscopy refresh: the answer is picked up by the parser
            // whenever it comes.
            SendCommand("RF", 2, 55);
            return 1;
        default: return 0;
    }
}

// ---- Reply into the settings image -----------------------------------------------------

namespace {

// Copies frame bytes F[from..from+count-1] of a reply to image positions P[to..].
void copyFrame(std::uint8_t* image, std::size_t to, const std::uint8_t* frame, std::size_t from, std::size_t count) {
    std::memcpy(image + to, frame + from, count);
}

}  // namespace

void CCommProtocol::updateDataBagShared(int bag, int direction) {
    if (direction != 0) {
        updateDataBagNotBuilt(*this, bag, direction);
        return;
    }
    std::uint8_t* image = m_pData->SettingsImage;
    switch (bag) {
        case 63: {  // Auxiliary Setup
            DataBagStoreAccess store(6);
            const std::uint8_t* f = store.bytes().data();
            copyFrame(image, 206, f, 4, 18);
            copyFrame(image, 224, f, 23, 7);
            break;
        }
        case 65: {  // AEC Setup
            DataBagStoreAccess store(8);
            copyFrame(image, 434, store.bytes().data(), 4, 10);
            break;
        }
        case 109: {  // ABS curve or DAP curve
            DataBagStoreAccess store(13);
            copyFrame(image, 480, store.bytes().data(), 4, 27);
            break;
        }
        case 69: {  // Version: as many data bytes as the reply has, up to the packet's size
            std::lock_guard<std::mutex> lock(versionReplyLock());
            const std::uint8_t* f = versionReply().data();
            const std::size_t length = std::min<std::size_t>(f[3], dataPacketLayout(17)->length);
            copyFrame(image, image::kVersion, f, 4, length);
            if (image[1499] == 31) std::memset(image + 1499, 0xFF, 10);
            break;
        }
        default:
            updateDataBagNotBuilt(*this, bag, direction);
            break;
    }
}

}  // namespace kestro
