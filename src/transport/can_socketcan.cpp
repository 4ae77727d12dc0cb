// The SocketCAN backend (Linux): a raw CAN socket bound to one interface, with a kernel
// filter for the accepted identifiers. The bit rate is the interface's, set up by the
// system; it is read from sysfs and compared with the link's.

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/can_media.h"

namespace kestro {
namespace {

class SocketCanMedia : public CanMedia {
public:
    explicit SocketCanMedia(std::string name) : m_name(std::move(name)) {}
    ~SocketCanMedia() override {
        if (m_fd >= 0) ::close(m_fd);
    }

    bool open(std::string* error) override {
        const int fd = bindSocket(error);
        if (fd < 0) return false;
        m_fd = fd;
        return true;
    }

    bool lost() const override { return m_lost.load(); }

    // A new socket once the interface is there and up again; the filters are set again.
    bool reopen(std::string* error) override {
        if (!m_lost) return true;
        if (!interfaceUp()) {
            if (error) *error = "socketcan: " + m_name + " is down or missing";
            return false;
        }
        const int fd = bindSocket(error);
        if (fd < 0) return false;
        applyFilters(fd);
        int old = -1;
        {
            std::lock_guard<std::mutex> lock(m_sendLock);
            old = m_fd.exchange(fd);
        }
        if (old >= 0) ::close(old);
        m_lost = false;
        return true;
    }

private:
    // A raw CAN socket bound to the interface; -1 with a reason.
    int bindSocket(std::string* error) const {
        if (m_name.empty() || m_name.size() >= IFNAMSIZ) {
            if (error) *error = "socketcan: bad interface name \"" + m_name + "\"";
            return -1;
        }
        const unsigned index = ::if_nametoindex(m_name.c_str());
        if (index == 0) {
            if (error) *error = "socketcan: no CAN interface " + m_name;
            return -1;
        }
        const int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        if (fd < 0) {
            if (error) *error = std::string("socketcan: no raw CAN socket: ") + std::strerror(errno);
            return -1;
        }
        sockaddr_can address{};
        address.can_family = AF_CAN;
        address.can_ifindex = static_cast<int>(index);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            if (error) *error = "socketcan: cannot bind to " + m_name + ": " + std::strerror(errno);
            ::close(fd);
            return -1;
        }
        return fd;
    }

    bool interfaceUp() const {
        const int probe = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
        if (probe < 0) return false;
        ifreq request{};
        std::memcpy(request.ifr_name, m_name.c_str(), m_name.size());
        const bool up = ::ioctl(probe, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) != 0;
        ::close(probe);
        return up;
    }

    // One kernel filter per identifier of a short range; a long range passes everything
    // and the adapter checks the identifier again.
    void applyFilters(int fd) const {
        const std::uint32_t first = m_first, last = m_last;
        std::vector<can_filter> filters;
        if (last >= first && last - first < 16) {
            for (std::uint32_t id = first; id <= last; ++id)
                filters.push_back({id, CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG});
        }
        if (fd >= 0 && !filters.empty())
            ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, filters.data(),
                         static_cast<socklen_t>(filters.size() * sizeof(can_filter)));
    }

    // An error that says the interface went down or away (not a full queue).
    void noteError(int error) {
        if (error == ENETDOWN || error == ENODEV || error == ENXIO || error == EBADF || error == ENETUNREACH)
            m_lost = true;
    }

public:
    void setAcceptance(std::uint32_t first, std::uint32_t last) override {
        m_first = first;
        m_last = last;
        applyFilters(m_fd.load());
    }

    bool activate(std::uint32_t bitRate, std::string* error, std::string* warning) override {
        if (m_fd < 0) {
            if (error) *error = "socketcan: " + m_name + " is not open";
            return false;
        }
        const std::uint32_t actual = interfaceBitRate();
        if (actual != bitRate && warning)
            *warning = "interface " + m_name + " runs at " + (actual ? std::to_string(actual) : std::string("an unknown")) +
                       " bit/s, not " + std::to_string(bitRate);
        m_active = true;
        return true;
    }

    void deactivate() override { m_active = false; }

    bool transmit(const CanFrame* frames, int count) override {
        std::lock_guard<std::mutex> lock(m_sendLock);
        if (m_fd < 0 || !m_active) return false;
        for (int i = 0; i < count; ++i) {
            can_frame f{};
            f.can_id = frames[i].id;
            f.can_dlc = frames[i].length;
            std::memcpy(f.data, frames[i].data, 8);
            for (;;) {
                const ssize_t n = ::write(m_fd, &f, sizeof f);
                if (n == static_cast<ssize_t>(sizeof f)) break;
                if (n < 0 && errno == EINTR) continue;
                if (n < 0 && errno == ENOBUFS) {  // transmit queue full: let it drain
                    pollfd p{m_fd, POLLOUT, 0};
                    if (::poll(&p, 1, 100) > 0) continue;
                }
                if (n < 0) noteError(errno);
                return false;
            }
        }
        return true;
    }

    bool receive(CanFrame* frame, int timeoutMs) override {
        if (m_fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return false;
        }
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return false;
        can_frame f{};
        const ssize_t n = ::read(m_fd, &f, sizeof f);
        if (n != static_cast<ssize_t>(sizeof f)) {
            // The interface going down or away is reported once, as the socket's error.
            if (n < 0) noteError(errno);
            if (n < 0 && m_lost) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return false;
        }
        if (!m_active || (f.can_id & (CAN_ERR_FLAG | CAN_RTR_FLAG)) != 0) return false;
        frame->id = f.can_id & CAN_EFF_MASK;
        frame->length = f.can_dlc > 8 ? 8 : f.can_dlc;
        std::memset(frame->data, 0, 8);
        std::memcpy(frame->data, f.data, frame->length);
        return true;
    }

private:
    std::uint32_t interfaceBitRate() const {
        std::ifstream in("/sys/class/net/" + m_name + "/can_bittiming/bitrate");
        std::uint32_t rate = 0;
        if (in >> rate) return rate;
        return 0;
    }

    const std::string m_name;
    // Set by open() on the host's thread, read by the link's reader: atomic.
    std::atomic<int> m_fd{-1};
    std::atomic<bool> m_active{false};
    std::atomic<bool> m_lost{false};
    std::atomic<std::uint32_t> m_first{0};
    std::atomic<std::uint32_t> m_last{0x1FFFFFFF};
    std::mutex m_sendLock;  // a send against a reopen replacing the socket
};

}  // namespace

std::unique_ptr<CanMedia> makeSocketCanMedia(const std::string& interfaceName, std::string*) {
    return std::make_unique<SocketCanMedia>(interfaceName);
}

}  // namespace kestro
