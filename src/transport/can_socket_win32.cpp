// TCP connections for the socketcand backend on Windows (Winsock).

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "transport/can_media.h"
#include "transport/can_socket.h"

namespace kestro {
namespace {

bool startWinsock() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

class WinsockTcpConnection : public TcpConnection {
public:
    explicit WinsockTcpConnection(SOCKET s) : m_socket(s) {}
    ~WinsockTcpConnection() override { closesocket(m_socket); }

    bool sendAll(const char* data, std::size_t size) override {
        std::size_t at = 0;
        while (at < size) {
            const int n = ::send(m_socket, data + at, static_cast<int>(size - at), 0);
            if (n == SOCKET_ERROR) return false;
            at += static_cast<std::size_t>(n);
        }
        return true;
    }

    long receiveSome(char* buffer, std::size_t size, int timeoutMs) override {
        WSAPOLLFD p{};
        p.fd = m_socket;
        p.events = POLLRDNORM;
        const int ready = WSAPoll(&p, 1, timeoutMs);
        if (ready == 0) return 0;
        if (ready < 0) return -1;
        const int n = ::recv(m_socket, buffer, static_cast<int>(size), 0);
        if (n > 0) return n;
        return -1;
    }

    void shutdown() override { ::shutdown(m_socket, SD_BOTH); }

private:
    SOCKET m_socket;
};

}  // namespace

std::unique_ptr<TcpConnection> connectTcp(const std::string& host, int port, int timeoutMs, std::string* error) {
    if (!startWinsock()) {
        if (error) *error = "Winsock could not be started";
        return nullptr;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
        if (error) *error = "cannot resolve " + host;
        return nullptr;
    }
    std::string reason = "no address for " + host;
    for (addrinfo* a = found; a; a = a->ai_next) {
        SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        int rc = ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen));
        if (rc == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            WSAPOLLFD p{};
            p.fd = s;
            p.events = POLLWRNORM;
            rc = (WSAPoll(&p, 1, timeoutMs) == 1 && (p.revents & POLLWRNORM) != 0) ? 0 : SOCKET_ERROR;
        }
        if (rc == 0) {
            freeaddrinfo(found);
            nonBlocking = 0;
            ioctlsocket(s, FIONBIO, &nonBlocking);
            BOOL one = TRUE;
            setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
            return std::make_unique<WinsockTcpConnection>(s);
        }
        reason = "cannot connect to " + host + ":" + service;
        closesocket(s);
    }
    freeaddrinfo(found);
    if (error) *error = reason;
    return nullptr;
}

// SocketCAN is a Linux interface.
std::unique_ptr<CanMedia> makeSocketCanMedia(const std::string& interfaceName, std::string* error) {
    if (error) *error = "socketcan:" + interfaceName + ": SocketCAN exists only on Linux";
    return nullptr;
}

}  // namespace kestro
