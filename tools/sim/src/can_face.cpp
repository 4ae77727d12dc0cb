// The simulator's CAN face: a socketcand server (raw mode) or a SocketCAN interface in
// front of the serial simulator. See can_face.h.
#include "kestro_sim/can_face.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace kestro::sim {
namespace {

constexpr std::uint32_t kLibraryId = 0x550;
constexpr std::uint32_t kGeneratorId = 8;
// A unit the generator started but did not finish within this time goes out as it is.
constexpr auto kUnitGap = std::chrono::milliseconds(100);
constexpr std::size_t kMaxTextUnit = 512;

bool setError(std::string* error, const std::string& what) {
  if (error) *error = what + ": " + std::strerror(errno);
  return false;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\r' || s.front() == '\n' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r' || s.back() == '\n' || s.back() == '\t'))
    s.remove_suffix(1);
  return s;
}

std::vector<std::string> words(std::string_view s) {
  std::vector<std::string> out;
  std::istringstream in{std::string(s)};
  std::string w;
  while (in >> w) out.push_back(w);
  return out;
}

bool hexValue(const std::string& s, std::uint32_t max, std::uint32_t& out) {
  if (s.empty() || s.size() > 8) return false;
  char* end = nullptr;
  const unsigned long v = std::strtoul(s.c_str(), &end, 16);
  if (*end != '\0' || v > max) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
}

// Length of the first complete unit of the generator's stream, 0 while it is incomplete.
std::size_t unitLength(const std::vector<std::uint8_t>& b) {
  if (b.empty()) return 0;
  const std::uint8_t first = b[0];
  if (first == kSoh) {
    if (b.size() < 4) return 0;
    const std::size_t total = 4 + (std::size_t{b[2]} << 8 | b[3]) + 1;
    return b.size() >= total ? total : 0;
  }
  if (first >= 'A' && first <= 'Z') {
    for (std::size_t i = 1; i < b.size(); ++i) {
      if (b[i] == kEtx) return i + 2 <= b.size() ? i + 2 : 0;
      if (i + 1 >= kMaxTextUnit) return i + 1;
    }
    return 0;
  }
  return 1;  // ACK, NAK or a byte that starts nothing: a unit of its own
}

void makeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

CanFace::CanFace(SimulatorOptions simulatorOptions, CanFaceOptions faceOptions)
    : simOptions(std::move(simulatorOptions)), options(std::move(faceOptions)) {
  // The generator's line: a pseudo-terminal whose slave the simulator serves. Made here
  // so that the simulator exists (and can be set up) before start().
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128] = "";
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    setError(&lineError, "pseudo-terminal");
  } else if ((keepSlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
    setError(&lineError, "pseudo-terminal slave");
  } else {
    makeRaw(keepSlave);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  SimulatorOptions o = simOptions;
  o.devicePath = name;
  o.linkPath.clear();
  sim = std::make_unique<Simulator>(o);
}

CanFace::~CanFace() {
  stop();
  for (int* fd : {&master, &keepSlave}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

std::string CanFace::libraryBusSpec() const {
  if (useSocketCan) return "socketcan:" + interfaceName;
  return "socketcand:127.0.0.1:" + std::to_string(tcpPort) + ":" + options.busName;
}

bool CanFace::start(std::string* error) {
  stop();
  stopping = false;
  pending.clear();
  const std::string& bus = options.bus;
  if (bus.rfind("socketcan:", 0) == 0) {
    useSocketCan = true;
    interfaceName = bus.substr(10);
  } else if (bus.rfind("socketcand:", 0) == 0) {
    useSocketCan = false;
    char* end = nullptr;
    const long p = std::strtol(bus.c_str() + 11, &end, 10);
    if (bus.size() == 11 || *end != '\0' || p < 0 || p > 65535) {
      if (error) *error = "bad CAN bus \"" + bus + "\" (socketcand:PORT or socketcan:IFACE)";
      return false;
    }
    tcpPort = static_cast<int>(p);
  } else {
    if (error) *error = "bad CAN bus \"" + bus + "\" (socketcand:PORT or socketcan:IFACE)";
    return false;
  }

  if (!lineError.empty() || keepSlave < 0) {
    if (error) *error = lineError;
    return false;
  }
  if (!sim->start(error)) {
    stop();
    return false;
  }

  if (useSocketCan) {
    canFd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
    const unsigned index = ::if_nametoindex(interfaceName.c_str());
    if (canFd < 0 || index == 0) return setError(error, "CAN interface " + interfaceName), stop(), false;
    sockaddr_can address{};
    address.can_family = AF_CAN;
    address.can_ifindex = static_cast<int>(index);
    can_filter filter{kLibraryId, CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG};
    ::setsockopt(canFd, SOL_CAN_RAW, CAN_RAW_FILTER, &filter, sizeof filter);
    if (::bind(canFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      return setError(error, "bind to " + interfaceName), stop(), false;
  } else {
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(tcpPort));
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd, 4) != 0)
      return setError(error, "socketcand port " + std::to_string(tcpPort)), stop(), false;
    socklen_t len = sizeof a;
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
    tcpPort = ntohs(a.sin_port);
  }
  wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  ioThread = std::thread([this] { ioLoop(); });
  return true;
}

void CanFace::stop() {
  stopping = true;
  if (wakeFd >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
  }
  if (ioThread.joinable()) ioThread.join();
  if (sim) sim->stop();
  closeClient();
  for (int* fd : {&listenFd, &canFd, &wakeFd}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void CanFace::closeClient() {
  if (clientFd >= 0) ::close(clientFd);
  clientFd = -1;
  clientBuffer.clear();
  clientState = ClientState::Greeted;
}

void CanFace::dropClient() {
  dropRequested = true;
  const std::uint64_t one = 1;
  if (wakeFd >= 0) [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
}

bool CanFace::setCanFault(std::string_view name, bool on) {
  std::lock_guard<std::mutex> lock(m);
  if (name == "can-id9") faults.id9 = on;
  else if (name == "can-drop-continuation") faults.dropContinuation = on;
  else if (name == "can-foreign-burst") faults.foreignBurst = on;
  else return false;
  return true;
}

CanFaults CanFace::canFaults() const {
  std::lock_guard<std::mutex> lock(m);
  return faults;
}

CanFaceCounters CanFace::counters() const {
  std::lock_guard<std::mutex> lock(m);
  return stats;
}

bool CanFace::control(std::string_view line, std::string* reply) {
  const std::vector<std::string> w = words(line);
  if (w.empty() || w[0] != "can") return sim->control(line, reply);
  auto answer = [&](bool ok, const std::string& text) {
    if (reply) *reply = (ok ? "OK " : "ERR ") + text;
    return ok;
  };
  if (w.size() == 1 || w[1] == "status") {
    const CanFaceCounters c = counters();
    const CanFaults f = canFaults();
    std::ostringstream s;
    s << "bus " << libraryBusSpec() << " in " << c.framesIn << " out " << c.framesOut << " foreign " << c.foreignIn
      << " injected " << c.injectedFrames << " dropped " << c.droppedFrames << " bad " << c.badElements
      << " clients " << c.clients << " refused " << c.refusedClients
      << " faults id9 " << (f.id9 ? "on" : "off") << " drop-continuation " << (f.dropContinuation ? "on" : "off")
      << " foreign-burst " << (f.foreignBurst ? "on" : "off");
    return answer(true, s.str());
  }
  if (w[1] == "disconnect") {
    dropClient();
    return answer(true, "client dropped");
  }
  if (w.size() == 3 && (w[2] == "on" || w[2] == "off") && setCanFault("can-" + w[1], w[2] == "on"))
    return answer(true, "can " + w[1] + " " + w[2]);
  return answer(false, "usage: can status | can disconnect | can id9|drop-continuation|foreign-burst on|off");
}

// ---- I/O ----------------------------------------------------------------------------

void CanFace::ioLoop() {
  std::uint8_t buffer[4096];
  bool wasDisconnected = false;
  while (!stopping) {
    std::vector<pollfd> fds;
    fds.push_back({wakeFd, POLLIN, 0});
    fds.push_back({master, POLLIN, 0});
    if (listenFd >= 0) fds.push_back({listenFd, POLLIN, 0});
    if (canFd >= 0) fds.push_back({canFd, POLLIN, 0});
    if (clientFd >= 0) fds.push_back({clientFd, POLLIN, 0});
    const int timeout = pending.empty() ? 20 : 5;
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) break;
    if (fds[0].revents) {
      std::uint64_t v;
      [[maybe_unused]] ssize_t n = ::read(wakeFd, &v, sizeof v);
    }
    if (stopping) break;

    // The simulator's "disconnect" fault ends the connection, as a vanished server would,
    // and turns new clients away until "reconnect".
    const bool disconnected = sim->faults().disconnected;
    if ((disconnected && !wasDisconnected) || dropRequested.exchange(false)) closeClient();
    wasDisconnected = disconnected;

    for (const pollfd& p : fds) {
      if (p.revents == 0 || p.fd == wakeFd) continue;
      if (p.fd == master) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n > 0) feedGenerator(buffer, static_cast<std::size_t>(n));
      } else if (p.fd == listenFd) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        if (disconnected) {
          // The generator is unplugged: the bus is gone, a client is turned away at once.
          ::close(fd);
          std::lock_guard<std::mutex> lock(m);
          ++stats.refusedClients;
          continue;
        }
        closeClient();  // a new connection replaces the old one
        clientFd = fd;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        {
          std::lock_guard<std::mutex> lock(m);
          ++stats.clients;
        }
        // Alone in its write: some clients expect exactly this in one read.
        const char hi[] = "< hi >";
        [[maybe_unused]] ssize_t w = ::send(fd, hi, sizeof hi - 1, MSG_NOSIGNAL);
      } else if (p.fd == canFd) {
        can_frame f{};
        while (::read(canFd, &f, sizeof f) == static_cast<ssize_t>(sizeof f)) {
          SimCanFrame frame;
          frame.id = f.can_id & CAN_EFF_MASK;
          frame.length = f.can_dlc > 8 ? 8 : f.can_dlc;
          std::memcpy(frame.data, f.data, frame.length);
          fromBus(frame);
        }
      } else if (p.fd == clientFd) {
        const ssize_t n = ::recv(clientFd, buffer, sizeof buffer, 0);
        if (n <= 0) {
          closeClient();
        } else {
          handleClientText(std::string_view(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n)));
        }
      }
    }
    // A unit cut short by the generator goes out as it is after a pause.
    if (!pending.empty() && std::chrono::steady_clock::now() - pendingSince > kUnitGap) {
      sendUnit(pending);
      pending.clear();
    }
  }
}

void CanFace::handleClientText(std::string_view text) {
  clientBuffer.append(text);
  for (;;) {
    const std::size_t start = clientBuffer.find('<');
    if (start == std::string::npos) {
      if (!trim(clientBuffer).empty()) {
        std::lock_guard<std::mutex> lock(m);
        ++stats.badElements;
      }
      clientBuffer.clear();
      return;
    }
    const std::size_t end = clientBuffer.find('>', start);
    if (end == std::string::npos) {
      if (clientBuffer.size() > 4096) clientBuffer.clear();
      return;
    }
    const std::string element(trim(std::string_view(clientBuffer).substr(start + 1, end - start - 1)));
    clientBuffer.erase(0, end + 1);
    handleElement(element);
    if (clientFd < 0) return;
  }
}

void CanFace::handleElement(std::string_view element) {
  const std::vector<std::string> w = words(element);
  auto reply = [this](const std::string& text) {
    if (clientFd >= 0) [[maybe_unused]] ssize_t n = ::send(clientFd, text.data(), text.size(), MSG_NOSIGNAL);
  };
  auto bad = [this] {
    std::lock_guard<std::mutex> lock(m);
    ++stats.badElements;
  };
  if (w.empty()) return bad();
  switch (clientState) {
    case ClientState::Greeted:
      if (w.size() == 2 && w[0] == "open" && w[1] == options.busName) {
        clientState = ClientState::Opened;
        reply("< ok >");
      } else if (w[0] == "open") {
        reply("< error could not open bus >");
      } else {
        bad();
        reply("< error unknown command >");
      }
      return;
    case ClientState::Opened:
      if (w.size() == 1 && w[0] == "rawmode") {
        clientState = ClientState::Raw;
        reply("< ok >");
      } else {
        bad();
        reply("< error unknown command >");
      }
      return;
    case ClientState::Raw:
      break;
  }
  if (w[0] != "send") return bad();
  // < send ID LEN B0 B1 ... >, bytes as one or two hex digits each.
  SimCanFrame frame;
  std::uint32_t id = 0, length = 0;
  if (w.size() < 3 || !hexValue(w[1], 0x1FFFFFFF, id) || !hexValue(w[2], 8, length) || w.size() != 3 + length)
    return bad();
  frame.id = id;
  frame.length = static_cast<std::uint8_t>(length);
  for (std::uint32_t i = 0; i < length; ++i) {
    std::uint32_t byte = 0;
    if (w[3 + i].size() > 2 || !hexValue(w[3 + i], 0xFF, byte)) return bad();
    frame.data[i] = static_cast<std::uint8_t>(byte);
  }
  fromBus(frame);
}

void CanFace::fromBus(const SimCanFrame& frame) {
  {
    std::lock_guard<std::mutex> lock(m);
    if (frame.id != kLibraryId) {
      ++stats.foreignIn;
      return;
    }
    ++stats.framesIn;
  }
  // The library's stream, frame after frame, to the generator.
  std::size_t at = 0;
  while (at < frame.length) {
    const ssize_t n = ::write(master, frame.data + at, frame.length - at);
    if (n > 0) {
      at += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{master, POLLOUT, 0};
      ::poll(&p, 1, 10);
    } else {
      return;
    }
  }
}

void CanFace::feedGenerator(const std::uint8_t* bytes, std::size_t size) {
  if (pending.empty()) pendingSince = std::chrono::steady_clock::now();
  pending.insert(pending.end(), bytes, bytes + size);
  while (const std::size_t n = unitLength(pending)) {
    sendUnit(std::vector<std::uint8_t>(pending.begin(), pending.begin() + static_cast<long>(n)));
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
    pendingSince = std::chrono::steady_clock::now();
  }
}

void CanFace::sendUnit(const std::vector<std::uint8_t>& unit) {
  CanFaults f;
  {
    std::lock_guard<std::mutex> lock(m);
    f = faults;
    faults.foreignBurst = false;
    if (unit.size() > 8) faults.dropContinuation = false;
  }
  if (f.foreignBurst) {
    for (std::uint32_t i = 0; i < 32; ++i) {
      SimCanFrame foreign;
      foreign.id = 0x100 + i;
      foreign.length = 8;
      std::memset(foreign.data, static_cast<int>('A' + i % 26), 8);
      sendFrame(foreign);
    }
  }
  if (f.id9) {
    // A message that the library would take if it let identifier 9 in.
    const std::uint8_t kv[8] = {'K', 'V', '0', '9', '9', kEtx, 0x45, 0x00};
    SimCanFrame nine;
    nine.id = 9;
    nine.length = 8;
    std::memcpy(nine.data, kv, 8);
    sendFrame(nine);
  }
  for (std::size_t at = 0, index = 0; at < unit.size(); at += 8, ++index) {
    if (f.dropContinuation && unit.size() > 8 && index == 1) {
      std::lock_guard<std::mutex> lock(m);
      ++stats.droppedFrames;
      continue;
    }
    SimCanFrame frame;
    frame.id = kGeneratorId;
    frame.length = 8;  // the library reads 8 bytes of every frame
    std::memcpy(frame.data, unit.data() + at, std::min<std::size_t>(8, unit.size() - at));
    sendFrame(frame);
  }
}

void CanFace::sendFrame(const SimCanFrame& frame) {
  {
    std::lock_guard<std::mutex> lock(m);
    if (frame.id == kGeneratorId)
      ++stats.framesOut;
    else
      ++stats.injectedFrames;
  }
  if (useSocketCan) {
    can_frame f{};
    f.can_id = frame.id;
    f.can_dlc = frame.length;
    std::memcpy(f.data, frame.data, 8);
    for (int tries = 0; tries < 50; ++tries) {
      if (::write(canFd, &f, sizeof f) == static_cast<ssize_t>(sizeof f)) return;
      if (errno != ENOBUFS && errno != EAGAIN) return;
      pollfd p{canFd, POLLOUT, 0};
      ::poll(&p, 1, 10);
    }
    return;
  }
  if (clientFd < 0 || clientState != ClientState::Raw) return;
  // As socketcand sends it: identifier, seconds.microseconds, the data as one hex word;
  // one element per write.
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char text[96];
  int n = std::snprintf(text, sizeof text, "< frame %03X %lld.%06ld ", static_cast<unsigned>(frame.id),
                        static_cast<long long>(now.tv_sec), static_cast<long>(now.tv_nsec / 1000));
  for (int i = 0; i < frame.length; ++i) n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%02X", frame.data[i]);
  n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), " >");
  [[maybe_unused]] ssize_t w = ::send(clientFd, text, static_cast<std::size_t>(n), MSG_NOSIGNAL);
}

}  // namespace kestro::sim
