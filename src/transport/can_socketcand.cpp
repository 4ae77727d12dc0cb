// The socketcand backend (raw mode).

#include "transport/can_socketcand.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace kestro {
namespace {

// The longest element we accept; anything longer without its ">" is junk.
constexpr std::size_t kMaxElement = 256;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    while (true) {
        s = trim(s);
        if (s.empty()) break;
        std::size_t end = s.find(' ');
        if (end == std::string_view::npos) end = s.size();
        out.push_back(s.substr(0, end));
        s.remove_prefix(end);
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::uint32_t> hexNumber(std::string_view s, std::size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : s) {
        const int d = hexDigit(c);
        if (d < 0) return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(d);
    }
    return value;
}

bool isTimeStamp(std::string_view s) {
    const std::size_t dot = s.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 >= s.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (i != dot && (s[i] < '0' || s[i] > '9')) return false;
    return true;
}

}  // namespace

std::optional<CanFrame> parseSocketCandFrame(std::string_view element) {
    const std::vector<std::string_view> w = words(element);
    if (w.size() < 3 || w[0] != "frame") return std::nullopt;
    const auto id = hexNumber(w[1], 8);
    if (!id || *id > 0x1FFFFFFF || !isTimeStamp(w[2])) return std::nullopt;
    CanFrame frame;
    frame.id = *id;
    if (w.size() == 4 && w[3].size() % 2 == 0 && w[3].size() <= 16) {
        // One hex word: two digits per byte.
        for (std::size_t i = 0; i < w[3].size(); i += 2) {
            const auto byte = hexNumber(w[3].substr(i, 2), 2);
            if (!byte) return std::nullopt;
            frame.data[frame.length++] = static_cast<std::uint8_t>(*byte);
        }
        return frame;
    }
    if (w.size() > 3 + 8) return std::nullopt;
    for (std::size_t i = 3; i < w.size(); ++i) {
        const auto byte = hexNumber(w[i], 2);
        if (!byte) return std::nullopt;
        frame.data[frame.length++] = static_cast<std::uint8_t>(*byte);
    }
    return frame;
}

std::string formatSocketCandSend(const CanFrame& frame) {
    char head[32];
    std::snprintf(head, sizeof head, "< send %03X %u", static_cast<unsigned>(frame.id),
                  static_cast<unsigned>(frame.length));
    std::string text = head;
    for (int i = 0; i < frame.length && i < 8; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02X", frame.data[i]);
        text += byte;
    }
    text += " >";
    return text;
}

SocketCandMedia::SocketCandMedia(std::string host, int port, std::string bus)
    : m_host(std::move(host)), m_port(port), m_bus(std::move(bus)) {}

SocketCandMedia::~SocketCandMedia() { dropConnection(); }

std::shared_ptr<TcpConnection> SocketCandMedia::connection() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connection;
}

bool SocketCandMedia::connected() const { return connection() != nullptr; }

void SocketCandMedia::dropConnection() {
    std::shared_ptr<TcpConnection> old;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        old.swap(m_connection);
    }
    if (old) old->shutdown();
}

std::optional<std::string> SocketCandMedia::nextElement(const std::shared_ptr<TcpConnection>& connection,
                                                        std::string& buffer, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        // Whatever precedes a "<" is no element: dropped and counted.
        const std::size_t start = buffer.find('<');
        if (start == std::string::npos) {
            if (!trim(buffer).empty()) ++m_malformed;
            buffer.clear();
        } else {
            if (!trim(std::string_view(buffer).substr(0, start)).empty()) ++m_malformed;
            buffer.erase(0, start);
            const std::size_t end = buffer.find('>');
            const std::size_t nested = buffer.find('<', 1);
            if (nested != std::string::npos && (end == std::string::npos || nested < end)) {
                ++m_malformed;  // an element that never closed
                buffer.erase(0, nested);
                continue;
            }
            if (end != std::string::npos) {
                std::string element(trim(std::string_view(buffer).substr(1, end - 1)));
                buffer.erase(0, end + 1);
                return element;
            }
            if (buffer.size() > kMaxElement) {
                ++m_malformed;
                buffer.clear();
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return std::nullopt;
        const int left =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()) + 1;
        char chunk[2048];
        const long n = connection->receiveSome(chunk, sizeof chunk, left);
        if (n < 0) {
            connectionFailed(connection);
            return std::nullopt;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

void SocketCandMedia::connectionFailed(const std::shared_ptr<TcpConnection>& failed) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!failed || m_connection != failed) return;  // not (or no longer) the one in use
        m_connection.reset();
        m_lost = true;
    }
    failed->shutdown();
}

bool SocketCandMedia::open(std::string* error) {
    std::lock_guard<std::mutex> attempt(m_openMutex);
    return connectLocked(error);
}

bool SocketCandMedia::reopen(std::string* error) {
    std::lock_guard<std::mutex> attempt(m_openMutex);
    // The host's own start-up may have connected again meanwhile.
    if (connected()) return true;
    return connectLocked(error);
}

bool SocketCandMedia::connectLocked(std::string* error) {
    dropConnection();
    std::string buffer;
    std::string reason;
    std::shared_ptr<TcpConnection> c = connectTcp(m_host, m_port, kConnectTimeoutMs, &reason);
    if (!c) {
        if (error) *error = "socketcand " + m_host + ":" + std::to_string(m_port) + ": " + reason;
        return false;
    }
    auto fail = [&](const std::string& why) {
        c->shutdown();
        if (error) *error = "socketcand " + m_host + ":" + std::to_string(m_port) + ": " + why;
        return false;
    };
    auto expect = [&](std::string_view wanted, const char* step) -> bool {
        const std::optional<std::string> got = nextElement(c, buffer, kAnswerTimeoutMs);
        if (!got) return fail(std::string("no ") + std::string(wanted) + " " + step);
        if (*got != wanted) return fail("unexpected answer \"< " + *got + " >\" " + step);
        return true;
    };
    if (!expect("hi", "on connecting")) return false;
    const std::string openBus = "< open " + m_bus + " >";
    if (!c->sendAll(openBus.data(), openBus.size())) return fail("connection lost");
    if (!expect("ok", "to opening the bus")) return false;
    const std::string raw = "< rawmode >";
    if (!c->sendAll(raw.data(), raw.size())) return fail("connection lost");
    if (!expect("ok", "to raw mode")) return false;
    std::lock_guard<std::mutex> rx(m_rxMutex);
    m_buffer = std::move(buffer);  // frames the server sent right after its "ok"
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection = std::move(c);
    m_lost = false;
    return true;
}

void SocketCandMedia::setAcceptance(std::uint32_t first, std::uint32_t last) {
    m_firstId = first;
    m_lastId = last;
}

bool SocketCandMedia::activate(std::uint32_t, std::string* error, std::string*) {
    // The bit rate is the server's bus's; socketcand does not tell it to its clients.
    // A server that went away since the bus was opened is connected again here, so a
    // new start-up finds a server that came back.
    {
        std::lock_guard<std::mutex> attempt(m_openMutex);
        if (!connected() && !connectLocked(error)) return false;
    }
    m_active = true;
    return true;
}

void SocketCandMedia::deactivate() { m_active = false; }

bool SocketCandMedia::transmit(const CanFrame* frames, int count) {
    const std::shared_ptr<TcpConnection> c = connection();
    if (!c || !m_active) return false;
    std::string text;
    for (int i = 0; i < count; ++i) text += formatSocketCandSend(frames[i]);
    if (c->sendAll(text.data(), text.size())) return true;
    connectionFailed(c);
    return false;
}

bool SocketCandMedia::receive(CanFrame* frame, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::lock_guard<std::mutex> rx(m_rxMutex);
    const std::shared_ptr<TcpConnection> c = connection();
    if (!c) {
        // No bus: the wait still takes its time, so a receive loop does not spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return false;
    }
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const int left = now >= deadline ? 0
                                         : static_cast<int>(
                                               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)
                                                   .count());
        const std::optional<std::string> element = nextElement(c, m_buffer, left);
        if (!element) return false;
        if (element->rfind("frame", 0) != 0) continue;  // "ok", "error ...", "echo": no frame
        const std::optional<CanFrame> got = parseSocketCandFrame(*element);
        if (!got) {
            ++m_malformed;
            continue;
        }
        if (!m_active || got->id < m_firstId || got->id > m_lastId) continue;
        *frame = *got;
        return true;
    }
}

std::unique_ptr<CanMedia> makeSocketCandMedia(const std::string& host, int port, const std::string& bus) {
    return std::make_unique<SocketCandMedia>(host, port, bus);
}

}  // namespace kestro
