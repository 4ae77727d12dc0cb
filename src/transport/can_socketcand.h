#pragma once
// The socketcand backend: a TCP client of the socketcand protocol in raw mode.
//   server "< hi >", client "< open BUS >", server "< ok >", client "< rawmode >",
//   server "< ok >"; then "< send 550 5 4B 56 3F 03 E3 >" out and
//   "< frame 008 1712345678.123456 4B56303830033C00 >" in.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "transport/can_media.h"
#include "transport/can_socket.h"

namespace kestro {

// One "< frame ... >" element: identifier, time stamp, then the data either as one hex
// word (as socketcand sends it) or as separate bytes. nullopt when malformed.
std::optional<CanFrame> parseSocketCandFrame(std::string_view element);
// "< send ID LEN B0 B1 ... >" for one frame.
std::string formatSocketCandSend(const CanFrame& frame);

class SocketCandMedia : public CanMedia {
public:
    static constexpr int kConnectTimeoutMs = 2000;
    static constexpr int kAnswerTimeoutMs = 2000;

    SocketCandMedia(std::string host, int port, std::string bus);
    ~SocketCandMedia() override;

    // Connects and runs the handshake; a lost connection is opened again by activate().
    bool open(std::string* error) override;
    void setAcceptance(std::uint32_t first, std::uint32_t last) override;
    bool activate(std::uint32_t bitRate, std::string* error, std::string* warning) override;
    void deactivate() override;
    bool transmit(const CanFrame* frames, int count) override;
    bool receive(CanFrame* frame, int timeoutMs) override;
    // A connection in use that closed or failed marks the bus lost; a new connection
    // (open, reopen, or activate finding none) clears the mark.
    bool lost() const override { return m_lost.load(); }
    bool reopen(std::string* error) override;

    // Elements the server sent that were dropped: malformed frames and text that is no
    // element at all.
    std::uint64_t malformedCount() const { return m_malformed; }
    bool connected() const;

private:
    // Reads until one whole element is in the buffer or the deadline passes; the element
    // without its brackets, trimmed. nullopt: none in time or the connection ended.
    std::optional<std::string> nextElement(const std::shared_ptr<TcpConnection>& connection, std::string& buffer,
                                           int timeoutMs);
    std::shared_ptr<TcpConnection> connection() const;
    void dropConnection();
    // Drops the connection in use if it is this one, and marks the bus lost.
    void connectionFailed(const std::shared_ptr<TcpConnection>& failed);
    // Connects and runs the handshake; m_openMutex held.
    bool connectLocked(std::string* error);

    const std::string m_host;
    const int m_port;
    const std::string m_bus;

    std::mutex m_openMutex;      // one connection attempt at a time
    mutable std::mutex m_mutex;  // the connection pointer
    std::shared_ptr<TcpConnection> m_connection;
    // The text received and not yet taken (open() builds a new one and puts it in
    // place with the connection).
    std::mutex m_rxMutex;
    std::string m_buffer;
    std::atomic<std::uint32_t> m_firstId{0};
    std::atomic<std::uint32_t> m_lastId{0x1FFFFFFF};
    std::atomic<bool> m_active{false};
    std::atomic<std::uint64_t> m_malformed{0};
    std::atomic<bool> m_lost{false};
};

}  // namespace kestro
