// APR application: a whole radiography technique sent as one parameter block and
// confirmed item by item, and the receptor settings taken over after a receptor was
// read or applied.

#include <algorithm>
#include <chrono>
#include <thread>

#include "link/comm_protocol.h"
#include "link/parameter_block.h"

namespace kestro {
namespace {

constexpr int kBlockAttempts = 3;
constexpr int kBlockWaitMs = 400;

void pauseMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int CCommProtocol::sendParameterBlock(const char* block) {
    std::lock_guard<std::recursive_mutex> operation(m_PacketOperationLock);
    std::lock_guard<ExchangeLock> turn(m_ExchangeLock);
    auto flag = [this](int kind) -> LinkInt& { return m_ReplyFlags[static_cast<std::size_t>(kind)]; };
    auto clearItems = [&] {
        std::lock_guard<std::mutex> lock(m_ReplyMutex);
        for (int kind : kParameterBlockItems) flag(kind) = 0;
    };

    for (int attempt = 0; attempt < kBlockAttempts; ++attempt) {
        // The items are cleared before the block goes out, so that a confirmation
        // arriving within the pause after the send is not thrown away.
        clearItems();
        SendCommand(block, kParameterBlockLength, kParameterBlockKind);
        pauseMs(1);
        bool confirmed = false;
        bool refused = false;
        waitForCondition(kBlockWaitMs, [&] {
            confirmed = std::all_of(std::begin(kParameterBlockItems), std::end(kParameterBlockItems),
                                    [&](int kind) { return flag(kind) != 0; });
            refused = !confirmed && flag(kWarningReplyFlag) != 0 && m_pData->genWarningCode == kTechniqueRefused;
            return confirmed || refused;
        });
        if (confirmed) {
            pauseMs(1);
            clearItems();
            m_bAckReceived = 0;
            return 1;
        }
        if (refused) {
            flag(kWarningReplyFlag) = 0;
            return 0;
        }
    }
    return 0;
}

int CCommProtocol::sendApplyAPRCommandShared(APRDataInfo& info) {
    const std::optional<ParameterBlock> block = aprBlock(info);
    if (!block) {
        WriteTraceLine("APR technique not sent: a value does not fit its field");
        return 0;
    }
    return sendParameterBlock(block->data());
}

int CCommProtocol::applyAPRDirectlyShared(APRSourceData& data) {
    const std::optional<ParameterBlock> block = aprBlock(data);
    if (!block) {
        WriteTraceLine("APR technique not sent: a value does not fit its field");
        return 0;
    }
    return sendParameterBlock(block->data());
}

// The receptor settings of the Auxiliary Setup packet become the live ones: byte 0 (the
// receptor index as the packet holds it) and the tomography switch of byte 2.
void CCommProtocol::afterSelectReceptorShared() {
    const std::uint8_t* aux = m_pData->packet(6);
    m_pData->receptor = aux[0];
    m_pData->bTomo = aux[2] != 0 ? 1 : 0;
}

}  // namespace kestro
