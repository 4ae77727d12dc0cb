#pragma once
// A TCP connection for the socketcand backend: blocking sends, receives with a time-out.
// One file per platform (can_socket_posix.cpp, can_socket_win32.cpp).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace kestro {

class TcpConnection {
public:
    virtual ~TcpConnection() = default;
    // Sends every byte; false when the connection failed.
    virtual bool sendAll(const char* data, std::size_t size) = 0;
    // Waits up to timeoutMs for data and reads what is there. > 0 bytes read, 0 nothing
    // in time, -1 the connection was closed or failed.
    virtual long receiveSome(char* buffer, std::size_t size, int timeoutMs) = 0;
    // Ends the connection; a receive in progress returns.
    virtual void shutdown() = 0;
};

// Connects to host:port within timeoutMs. nullptr with a reason when it cannot.
std::unique_ptr<TcpConnection> connectTcp(const std::string& host, int port, int timeoutMs, std::string* error);

}  // namespace kestro
