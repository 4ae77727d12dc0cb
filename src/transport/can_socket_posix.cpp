// TCP connections for the socketcand backend on POSIX.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "transport/can_socket.h"

namespace kestro {
namespace {

class PosixTcpConnection : public TcpConnection {
public:
    explicit PosixTcpConnection(int fd) : m_fd(fd) {}
    ~PosixTcpConnection() override { ::close(m_fd); }

    bool sendAll(const char* data, std::size_t size) override {
        std::size_t at = 0;
        while (at < size) {
            const ssize_t n = ::send(m_fd, data + at, size - at, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            at += static_cast<std::size_t>(n);
        }
        return true;
    }

    long receiveSome(char* buffer, std::size_t size, int timeoutMs) override {
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeoutMs);
        if (ready == 0) return 0;
        if (ready < 0) return errno == EINTR ? 0 : -1;
        const ssize_t n = ::recv(m_fd, buffer, size, 0);
        if (n > 0) return static_cast<long>(n);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
        return -1;
    }

    void shutdown() override { ::shutdown(m_fd, SHUT_RDWR); }

private:
    int m_fd;
};

}  // namespace

std::unique_ptr<TcpConnection> connectTcp(const std::string& host, int port, int timeoutMs, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        if (error) *error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return nullptr;
    }
    std::string reason = "no address for " + host;
    for (addrinfo* a = found; a; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            rc = ::poll(&p, 1, timeoutMs) == 1 ? 0 : -1;
            int soError = rc == 0 ? 0 : ETIMEDOUT;
            socklen_t len = sizeof soError;
            if (rc == 0) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
            if (soError != 0) {
                errno = soError;
                rc = -1;
            }
        }
        if (rc == 0) {
            ::freeaddrinfo(found);
            const int flags = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return std::make_unique<PosixTcpConnection>(fd);
        }
        reason = "cannot connect to " + host + ":" + service + ": " + std::strerror(errno);
        ::close(fd);
    }
    ::freeaddrinfo(found);
    if (error) *error = reason;
    return nullptr;
}

}  // namespace kestro
