#include "library_side.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace kestro::sim::test {

using Clock = std::chrono::steady_clock;

namespace {
std::uint8_t sum8(const Bytes& bytes, std::size_t from, std::size_t to) {
  unsigned s = 0;
  for (std::size_t i = from; i < to; ++i) s += bytes[i];
  return static_cast<std::uint8_t>(s);
}
}  // namespace

std::string hex(const Bytes& bytes) {
  std::string out;
  char b[4];
  for (std::uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02X ", v);
    out += b;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

LibrarySide::LibrarySide(const std::string& path) {
  fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &tio);
  }
}

LibrarySide::~LibrarySide() {
  if (fd >= 0) ::close(fd);
}

void LibrarySide::sendBytes(const Bytes& bytes) {
  std::size_t at = 0;
  const Clock::time_point deadline = Clock::now() + kArrival;
  while (at < bytes.size() && Clock::now() < deadline) {
    ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (n > 0) {
      at += static_cast<std::size_t>(n);
    } else {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 10);
    }
  }
}

void LibrarySide::sendCommand(std::string_view text) {
  Bytes frame(text.begin(), text.end());
  frame.push_back(0x03);
  frame.push_back(sum8(frame, 0, frame.size()));
  sendBytes(frame);
}

void LibrarySide::sendBag(std::uint8_t index, const Bytes& data) {
  Bytes frame{0x01, index, static_cast<std::uint8_t>(data.size() >> 8), static_cast<std::uint8_t>(data.size() & 0xFF)};
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(sum8(frame, 0, frame.size()));
  sendBytes(frame);
}

bool LibrarySide::fill(Clock::time_point deadline) {
  for (;;) {
    std::uint8_t chunk[1024];
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) {
      buffer.insert(buffer.end(), chunk, chunk + n);
      reads.push_back(static_cast<std::size_t>(n));
      lastArrival = Clock::now();
      return true;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    pollfd p{fd, POLLIN, 0};
    int ms = static_cast<int>(std::chrono::ceil<milliseconds>(deadline - now).count());
    if (::poll(&p, 1, ms) <= 0) return false;
    if ((p.revents & POLLIN) == 0 && (p.revents & (POLLHUP | POLLERR)) != 0) return false;
  }
}

std::optional<GenUnit> LibrarySide::decode() {
  if (buffer.empty()) return std::nullopt;
  GenUnit u;
  u.time = lastArrival;
  const std::uint8_t first = buffer[0];
  std::size_t length = 0;
  if (first == 0x06 || first == 0x15) {
    u.kind = first == 0x06 ? GenUnit::Kind::Ack : GenUnit::Kind::Nak;
    u.checksumOk = true;
    length = 1;
  } else if (first == 0x01) {
    if (buffer.size() < 4) return std::nullopt;
    const std::size_t l = static_cast<std::size_t>(buffer[2]) * 256 + buffer[3];
    if (buffer.size() < l + 5) return std::nullopt;
    u.kind = GenUnit::Kind::Bag;
    u.index = buffer[1];
    u.data.assign(buffer.begin() + 4, buffer.begin() + 4 + static_cast<long>(l));
    u.checksumOk = sum8(buffer, 0, l + 4) == buffer[l + 4];
    length = l + 5;
  } else if (first >= 'A' && first <= 'Z') {
    std::size_t etx = 0;
    while (etx < buffer.size() && buffer[etx] != 0x03) ++etx;
    if (etx + 1 >= buffer.size()) return std::nullopt;
    u.kind = GenUnit::Kind::Message;
    u.text.assign(buffer.begin(), buffer.begin() + static_cast<long>(etx));
    u.checksumOk = sum8(buffer, 0, etx + 1) == buffer[etx + 1];
    length = etx + 2;
  } else {
    u.kind = GenUnit::Kind::Junk;
    length = 1;
  }
  u.raw.assign(buffer.begin(), buffer.begin() + static_cast<long>(length));
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(length));
  return u;
}

std::optional<GenUnit> LibrarySide::next(milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    if (auto u = decode()) return u;
    if (!fill(deadline)) return std::nullopt;
  }
}

std::optional<GenUnit> LibrarySide::nextReal(milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    auto u = next(left.count() > 0 ? left : milliseconds(0));
    if (!u || u->kind != GenUnit::Kind::Junk) return u;
  }
}

std::string LibrarySide::nextMessage(milliseconds timeout) {
  auto u = nextReal(timeout);
  if (!u) return "<none>";
  if (u->kind != GenUnit::Kind::Message) return "<other " + hex(u->raw) + ">";
  if (!u->checksumOk) return "<bad:" + u->text + ">";
  return u->text;
}

bool LibrarySide::staysQuiet(milliseconds window) {
  if (!buffer.empty()) return false;
  return !fill(Clock::now() + window);
}

bool LibrarySide::waitHangUp(milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    int ms = static_cast<int>(std::chrono::ceil<milliseconds>(deadline - now).count());
    if (::poll(&p, 1, ms) <= 0) return false;
    if ((p.revents & POLLHUP) != 0) return true;
    std::uint8_t chunk[256];
    if (::read(fd, chunk, sizeof chunk) <= 0 && (p.revents & POLLERR) != 0) return true;
  }
}

}  // namespace kestro::sim::test
