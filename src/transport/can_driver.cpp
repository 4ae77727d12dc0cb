// The CAN adapter: the XL driver's calling sequence, frame splitting and the receive
// rules, written once; a CAN-media backend stands in for the driver where there is none.

#include "transport/can_driver.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace kestro {
namespace {

constexpr char kApplicationName[] = "Tavrino";
constexpr unsigned kReceiveQueueSize = 256;
constexpr std::uint32_t kReceiveId = 8;

// The driver takes the application name as a writable text.
struct Name {
    char text[sizeof kApplicationName];
    Name() { std::memcpy(text, kApplicationName, sizeof text); }
};

}  // namespace

CCanDriver::CCanDriver(const xl::Api* api, TraceSink trace) : m_pApi(api), m_trace(std::move(trace)) {}

CCanDriver::CCanDriver(std::unique_ptr<CanMedia> media, TraceSink trace)
    : m_pMedia(std::move(media)), m_trace(std::move(trace)) {}

CCanDriver::~CCanDriver() = default;

void CCanDriver::trace(std::string_view text, int number, std::string_view suffix) {
    if (m_trace) m_trace(text, number, suffix);
}

xl::XLstatus CCanDriver::OpenChannels() {
    if (m_bOpen == 1) return 0;
    if (m_pMedia) {
        std::string error;
        if (!m_pMedia->open(&error)) {
            trace("CAN bus could not be opened: " + error);
            return xl::XL_ERROR;
        }
        m_bOpen = 1;
        return 0;
    }
    if (!m_pApi) return xl::XL_ERROR;
    xl::XLstatus status = m_pApi->xlOpenDriver();
    if (status != 0) return status;
    m_bDriverOpened = true;
    status = FindChannels();
    if (status != 0) return status;
    if (m_ChannelMask[0] == 0 || m_ChannelMask[1] == 0) return xl::XL_ERROR;
    status = OpenPort();
    if (status != 0) return status;
    m_pApi->xlCanSetChannelMode(m_PortHandle, m_AccessMask, 0, 0);
    m_bOpen = 1;
    return 0;
}

xl::XLstatus CCanDriver::FindChannels() {
    if (m_pMedia) return 0;
    if (!m_pApi) return xl::XL_ERROR;
    // The record is large (about 14.5 kB): not on the stack of a host's thread.
    auto config = std::make_unique<xl::XLdriverConfig>();
    std::memset(config.get(), 0, sizeof *config);
    xl::XLstatus status = m_pApi->xlGetDriverConfig(config.get());
    if (status != 0) return status;

    Name name;
    unsigned hwType = 0, hwIndex = 0, hwChannel = 0;
    status = m_pApi->xlGetApplConfig(name.text, 0, &hwType, &hwIndex, &hwChannel, xl::XL_BUS_TYPE_CAN);
    if (status != 0) {
        // Not registered yet: register the first two CAN channels of the hardware.
        unsigned taken = 0;
        const unsigned count = std::min<unsigned>(config->channelCount, xl::XL_CONFIG_MAX_CHANNELS);
        for (unsigned i = 0; i < count && taken < 2; ++i) {
            const xl::XLchannelConfig& channel = config->channel[i];
            if ((channel.channelBusCapabilities & xl::XL_BUS_ACTIVE_CAP_CAN) == 0) continue;
            status = m_pApi->xlSetApplConfig(name.text, taken, channel.hwType, channel.hwIndex, channel.hwChannel,
                                             xl::XL_BUS_TYPE_CAN);
            m_ChannelMask[taken] = m_pApi->xlGetChannelMask(channel.hwType, channel.hwIndex, channel.hwChannel);
            ++taken;
        }
        return status;
    }
    m_ChannelMask[0] = m_pApi->xlGetChannelMask(static_cast<int>(hwType), static_cast<int>(hwIndex),
                                                static_cast<int>(hwChannel));
    status = m_pApi->xlGetApplConfig(name.text, 1, &hwType, &hwIndex, &hwChannel, xl::XL_BUS_TYPE_CAN);
    if (status != 0) return status;
    m_ChannelMask[1] = m_pApi->xlGetChannelMask(static_cast<int>(hwType), static_cast<int>(hwIndex),
                                                static_cast<int>(hwChannel));
    return 0;
}

xl::XLstatus CCanDriver::OpenPort() {
    if (m_pMedia) return 0;
    if (!m_pApi) return xl::XL_ERROR;
    m_AccessMask = m_ChannelMask[0] + m_ChannelMask[1];
    xl::XLaccess permission = m_AccessMask;
    Name name;
    const xl::XLstatus status = m_pApi->xlOpenPort(&m_PortHandle, name.text, m_AccessMask, &permission,
                                                   kReceiveQueueSize, xl::XL_INTERFACE_VERSION, xl::XL_BUS_TYPE_CAN);
    if (m_PortHandle == xl::XL_INVALID_PORTHANDLE) return xl::XL_ERROR;
    return status;
}

xl::XLstatus CCanDriver::SetAcceptance(std::uint32_t firstId, std::uint32_t lastId) {
    if (m_pMedia) {
        m_pMedia->setAcceptance(firstId, lastId);
        return 0;
    }
    if (!m_pApi) return xl::XL_ERROR;
    m_pApi->xlCanSetChannelAcceptance(m_PortHandle, m_AccessMask, 0xFFF, 0xFFF, xl::XL_CAN_STD);
    return m_pApi->xlCanAddAcceptanceRange(m_PortHandle, m_AccessMask, firstId, lastId);
}

xl::XLstatus CCanDriver::Deactivate() {
    if (m_bOpen == 0) return 0;
    if (m_pMedia) {
        m_pMedia->deactivate();
        return 0;
    }
    if (!m_pApi) return xl::XL_ERROR;
    return m_pApi->xlDeactivateChannel(m_PortHandle, m_AccessMask);
}

xl::XLstatus CCanDriver::Activate(std::uint32_t bitRate) {
    if (m_pMedia) {
        std::string error, warning;
        const bool ok = m_pMedia->activate(bitRate, &error, &warning);
        if (!warning.empty()) trace("CAN bus warning: " + warning);
        if (!ok) {
            trace("CAN bus could not be activated: " + error);
            return xl::XL_ERROR;
        }
        return 0;
    }
    if (!m_pApi) return xl::XL_ERROR;
    m_pApi->xlCanSetChannelBitrate(m_PortHandle, m_AccessMask, bitRate);
    return m_pApi->xlActivateChannel(m_PortHandle, m_AccessMask, xl::XL_BUS_TYPE_CAN, xl::XL_ACTIVATE_RESET_CLOCK);
}

void CCanDriver::traceSendFailure(const unsigned char* bytes, int length) {
    std::string suffix;
    suffix.reserve(static_cast<std::size_t>(std::max(length, 0)) * 2);
    for (int i = 0; i < length; ++i) {
        suffix.push_back(static_cast<char>(bytes[i]));
        suffix.push_back(' ');
    }
    trace("Sent CAN Failed : ", -1, suffix);
}

int CCanDriver::SendFrames(const unsigned char* bytes, int length) {
    if (!bytes || length < 0) return 0;
    const int frameCount = length / 8 + (length % 8 != 0 ? 1 : 0);
    // A stream that does not fit one driver call is refused whole, never split.
    if (frameCount > kMaxFramesPerSend) {
        traceSendFailure(bytes, length);
        return 0;
    }
    if (frameCount == 0) return 0;

    bool sent = false;
    if (m_pMedia) {
        CanFrame frames[kMaxFramesPerSend];
        for (int k = 0; k < frameCount; ++k) {
            const int count = std::min(8, length - 8 * k);
            frames[k].id = kTransmitId;
            frames[k].length = static_cast<std::uint8_t>(count);
            std::memcpy(frames[k].data, bytes + 8 * k, static_cast<std::size_t>(count));
        }
        sent = m_pMedia->transmit(frames, frameCount);
    } else if (m_pApi) {
        std::vector<xl::XLevent> events(static_cast<std::size_t>(frameCount));
        for (int k = 0; k < frameCount; ++k) {
            xl::XLevent& event = events[static_cast<std::size_t>(k)];
            std::memset(&event, 0, sizeof event);
            const int count = std::min(8, length - 8 * k);
            event.tag = xl::XL_TRANSMIT_MSG;
            event.tagData.msg.id = kTransmitId;
            event.tagData.msg.flags = 0;
            event.tagData.msg.dlc = static_cast<std::uint16_t>(count);
            std::memcpy(event.tagData.msg.data, bytes + 8 * k, static_cast<std::size_t>(count));
        }
        unsigned eventCount = static_cast<unsigned>(frameCount);
        std::lock_guard<std::mutex> lock(m_xlPortLock);
        sent = m_pApi->xlCanTransmit(m_PortHandle, m_ChannelMask[0], &eventCount, events.data()) == 0;
    }
    if (!sent) {
        traceSendFailure(bytes, length);
        return 0;
    }
    return length;
}

void CCanDriver::SetRxHandles(xl::XLportHandle port, xl::XLhandle event) {
    m_hRxPort = port;
    m_hRxEvent = event;
}

xl::XLstatus CCanDriver::SetNotification(int queueLevel) {
    if (m_pMedia) return 0;
    if (!m_pApi) return xl::XL_ERROR;
    return m_pApi->xlSetNotification(m_PortHandle, &m_hNotify, queueLevel);
}

int CCanDriver::ReceiveFrame(unsigned char* frame) {
    if (!frame) return 0;
    if (m_pMedia) {
        CanFrame got;
        if (!m_pMedia->receive(&got, kReceiveWaitMs)) return 0;
        if (got.id != kReceiveId) {
            ++m_droppedFrames;
            return 0;
        }
        std::memcpy(frame, got.data, 8);
        return 1;
    }
    if (!m_pApi) return 0;
    m_pApi->waitForEvent(m_hRxEvent, kReceiveWaitMs);
    xl::XLevent event;
    std::memset(&event, 0, sizeof event);
    unsigned count = 1;
    const xl::XLstatus status = m_pApi->xlReceive(m_hRxPort, &count, &event);
    if (status != xl::XL_SUCCESS) {
        // An empty queue is the normal answer; any other failure means the adapter or
        // its driver is no longer usable through this port.
        if (status != xl::XL_ERR_QUEUE_IS_EMPTY) m_bDriverLost = true;
        return 0;
    }
    if (event.tag != xl::XL_RECEIVE_MSG || event.tagData.msg.id != kReceiveId) {
        ++m_droppedFrames;
        return 0;
    }
    std::memcpy(frame, event.tagData.msg.data, 8);
    return 1;
}

bool CCanDriver::lost() const {
    if (m_pMedia) return m_pMedia->lost();
    return m_bDriverLost.load();
}

bool CCanDriver::Reopen(std::uint32_t bitRate, std::uint32_t firstId, std::uint32_t lastId) {
    if (m_pMedia) return m_pMedia->reopen(nullptr);
    if (!m_pApi) return false;
    // The port and the driver are closed and the open sequence runs again; the next
    // receive takes the new port's handles. Sends wait meanwhile.
    std::lock_guard<std::mutex> lock(m_xlPortLock);
    if (m_PortHandle != xl::XL_INVALID_PORTHANDLE) {
        m_pApi->xlDeactivateChannel(m_PortHandle, m_AccessMask);
        m_pApi->xlClosePort(m_PortHandle);
        m_PortHandle = xl::XL_INVALID_PORTHANDLE;
    }
    if (m_bDriverOpened) {
        m_pApi->xlCloseDriver();
        m_bDriverOpened = false;
    }
    m_bOpen = 0;
    if (OpenChannels() != 0 || SetAcceptance(firstId, lastId) != 0 || Deactivate() != 0 || Activate(bitRate) != 0)
        return false;
    m_hNotify = nullptr;
    SetNotification(1);
    SetRxHandles(m_PortHandle, m_hNotify);
    m_bDriverLost = false;
    return true;
}

}  // namespace kestro
