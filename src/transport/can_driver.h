#pragma once
// CCanDriver: the CAN adapter of the CAN link. Finds up to two CAN channels, opens one
// port on them, lets only one identifier in, runs the bus at the link's bit rate, sends
// byte streams as 8-byte frames of identifier 0x550 and hands received frames to the
// link 8 bytes at a time. It knows nothing of the generator protocol.
//
// Two ways to the bus: the vendor's XL driver through its function table (Windows), or
// a CAN-media backend (SocketCAN, socketcand). The operations and their results are the
// same on both.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "transport/can_media.h"
#include "transport/can_xl_api.h"

namespace kestro {

class CCanDriver {
public:
    // Receives the adapter's trace lines: text, number (-1: none) and suffix.
    using TraceSink = std::function<void(std::string_view text, int number, std::string_view suffix)>;

    static constexpr std::uint32_t kTransmitId = 0x550;
    static constexpr int kMaxFramesPerSend = 64;
    static constexpr int kReceiveWaitMs = 10;

    // Over the XL driver's calls.
    explicit CCanDriver(const xl::Api* api, TraceSink trace = {});
    // Over a CAN-media backend.
    explicit CCanDriver(std::unique_ptr<CanMedia> media, TraceSink trace = {});
    ~CCanDriver();
    CCanDriver(const CCanDriver&) = delete;
    CCanDriver& operator=(const CCanDriver&) = delete;

    xl::XLstatus OpenChannels();
    xl::XLstatus FindChannels();
    xl::XLstatus OpenPort();
    xl::XLstatus SetAcceptance(std::uint32_t firstId, std::uint32_t lastId);
    xl::XLstatus Deactivate();
    xl::XLstatus Activate(std::uint32_t bitRate);
    // length when every frame went out; 0 (and the trace line) otherwise.
    int SendFrames(const unsigned char* bytes, int length);
    void SetRxHandles(xl::XLportHandle port, xl::XLhandle event);
    // 1 when 8 bytes of a frame with identifier 8 were copied to frame, else 0.
    int ReceiveFrame(unsigned char* frame);
    // The driver's notification on the port (xlSetNotification), its event in m_hNotify.
    xl::XLstatus SetNotification(int queueLevel);

    // The bus or adapter went away under the open port (a backend's lost connection or
    // interface; a driver receive that failed other than with an empty queue).
    bool lost() const;
    // Opens a lost bus again as it was: acceptance firstId..lastId, bit rate. true when
    // it is back.
    bool Reopen(std::uint32_t bitRate, std::uint32_t firstId, std::uint32_t lastId);

    xl::XLaccess m_ChannelMask[2] = {0, 0};
    xl::XLaccess m_AccessMask = 0;
    xl::XLportHandle m_PortHandle = xl::XL_INVALID_PORTHANDLE;
    std::atomic<int> m_bOpen{0};  // read by the senders, set again by a reopen on the reader
    xl::XLhandle m_hNotify = nullptr;
    xl::XLportHandle m_hRxPort = xl::XL_INVALID_PORTHANDLE;
    xl::XLhandle m_hRxEvent = nullptr;

    // Frames of the right identifier that a backend delivered but that were refused
    // (other identifiers, non-frame events): dropped as the receive rules say.
    std::uint64_t droppedFrames() const { return m_droppedFrames; }

private:
    void trace(std::string_view text, int number = -1, std::string_view suffix = {});
    void traceSendFailure(const unsigned char* bytes, int length);

    const xl::Api* m_pApi = nullptr;
    std::unique_ptr<CanMedia> m_pMedia;
    TraceSink m_trace;
    std::atomic<std::uint64_t> m_droppedFrames{0};
    std::atomic<bool> m_bDriverLost{false};
    bool m_bDriverOpened = false;  // xlOpenDriver succeeded and was not closed since
    std::mutex m_xlPortLock;       // the driver's port between sends and a reopen
};

}  // namespace kestro
