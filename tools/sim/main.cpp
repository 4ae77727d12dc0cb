// kestro-sim [--device PATH | --can BUS] [--control SOCKET] [--link PATH] [--data FILE] [--quiet]
//            [--console [--console-device PATH] [--console-link PATH]]
//
// Plays the generator. Without --device it creates a pseudo-terminal and prints
// "PTY <slave path>" as its first line. With --can it serves a CAN bus instead
// (socketcand:PORT on 127.0.0.1, or socketcan:IFACE) and prints "CAN <KESTRO_CAN value>". Control commands come one per line from standard
// input and, with --control, from clients of a UNIX stream socket; each gets one reply.
// With --console it also plays a service console on a line of its own and prints
// "CONSOLE <path>"; control lines starting with "console" go to the console.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "kestro_sim/can_face.h"
#include "kestro_sim/console_sim.h"
#include "kestro_sim/simulator.h"

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int) {
  const char c = 's';
  [[maybe_unused]] ssize_t n = ::write(signalPipe[1], &c, 1);
}

void usage(FILE* to) {
  std::fprintf(to,
               "usage: kestro-sim [--device PATH | --can BUS] [--control SOCKET] [--link PATH] [--data FILE] [--quiet]\n"
               "  --device PATH    serve an existing serial device instead of a new pseudo-terminal\n"
               "  --can BUS        serve a CAN bus: socketcand:PORT (127.0.0.1, 0 = any port) or socketcan:IFACE\n"
               "  --control SOCKET also accept control commands on a UNIX stream socket\n"
               "  --link PATH      keep a symbolic link at PATH pointing to the pseudo-terminal\n"
               "  --data FILE      load the data set from FILE (when it exists) and save it there on exit\n"
               "  --quiet          do not log traffic on standard error\n"
               "  --console        also play a service console on its own pseudo-terminal\n"
               "  --console-device PATH, --console-link PATH  as --device and --link, for the console\n"
               "Control commands are read one per line from standard input; type 'help'.\n");
}

bool writeAll(int fd, const std::string& text) {
  std::size_t at = 0;
  while (at < text.size()) {
    ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    at += static_cast<std::size_t>(n);
  }
  return true;
}

int openControlSocket(const std::string& path) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    std::fprintf(stderr, "kestro-sim: control socket path too long\n");
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
    std::fprintf(stderr, "kestro-sim: control socket %s: %s\n", path.c_str(), std::strerror(errno));
    ::close(fd);
    return -1;
  }
  return fd;
}

struct Client {
  int fd;
  std::string pending;
};

kestro::sim::ConsoleSimulator* consoleSim = nullptr;
// Control lines go to the CAN face when there is one (it passes the rest on).
kestro::sim::CanFace* canFace = nullptr;

// Runs every complete line of buffer through the simulator; returns the replies.
std::string runLines(kestro::sim::Simulator& sim, std::string& buffer) {
  std::string replies;
  std::size_t nl;
  while ((nl = buffer.find('\n')) != std::string::npos) {
    std::string line = buffer.substr(0, nl);
    buffer.erase(0, nl + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string reply;
    if (consoleSim != nullptr && line.compare(0, 8, "console ") == 0)
      consoleSim->control(line.substr(8), &reply);
    else if (canFace)
      canFace->control(line, &reply);
    else
      sim.control(line, &reply);
    replies += reply + "\n";
    if (sim.quitRequested()) break;
  }
  return replies;
}

}  // namespace

int main(int argc, char** argv) {
  kestro::sim::SimulatorOptions options;
  std::string controlPath;
  std::string dataPath;
  std::string canBus;
  bool quiet = false;
  bool console = false;
  kestro::sim::ConsoleOptions consoleOptions;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage(stderr);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--device") options.devicePath = next();
    else if (a == "--can") canBus = next();
    else if (a == "--control") controlPath = next();
    else if (a == "--link") options.linkPath = next();
    else if (a == "--data") dataPath = next();
    else if (a == "--quiet") quiet = true;
    else if (a == "--console") console = true;
    else if (a == "--console-device") consoleOptions.devicePath = next(), console = true;
    else if (a == "--console-link") consoleOptions.linkPath = next(), console = true;
    else if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else {
      usage(stderr);
      return 2;
    }
  }

  ::signal(SIGPIPE, SIG_IGN);
  if (::pipe2(signalPipe, O_CLOEXEC) != 0) return 1;
  struct sigaction sa{};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);

  std::unique_ptr<kestro::sim::Simulator> serialSim;
  std::unique_ptr<kestro::sim::CanFace> face;
  if (!canBus.empty()) {
    face = std::make_unique<kestro::sim::CanFace>(options, kestro::sim::CanFaceOptions{canBus, "can0"});
    canFace = face.get();
  } else {
    serialSim = std::make_unique<kestro::sim::Simulator>(options);
  }
  kestro::sim::Simulator& sim = face ? face->simulator() : *serialSim;
  if (!dataPath.empty() && ::access(dataPath.c_str(), F_OK) == 0) {
    std::string why;
    if (!sim.loadDataSet(dataPath, &why)) {
      std::fprintf(stderr, "kestro-sim: %s\n", why.c_str());
      return 1;
    }
  }
  if (!quiet) {
    const auto t0 = std::chrono::steady_clock::now();
    sim.setTrafficObserver([t0](const std::string& text) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
      std::fprintf(stderr, "[%8.3f] %s\n", static_cast<double>(ms) / 1000.0, text.c_str());
    });
  }
  std::string error;
  if (face ? !face->start(&error) : !sim.start(&error)) {
    std::fprintf(stderr, "kestro-sim: %s\n", error.c_str());
    return 1;
  }
  // The control socket exists before the first line, so a reader of that line can connect.
  int listenFd = -1;
  if (!controlPath.empty()) {
    listenFd = openControlSocket(controlPath);
    if (listenFd < 0) {
      sim.stop();
      return 1;
    }
  }
  kestro::sim::ConsoleSimulator consoleSimulator(consoleOptions);
  if (console) {
    if (!quiet) {
      const auto t0 = std::chrono::steady_clock::now();
      consoleSimulator.setTrafficObserver([t0](const std::string& text) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        std::fprintf(stderr, "[%8.3f] %s\n", static_cast<double>(ms) / 1000.0, text.c_str());
      });
    }
    if (!consoleSimulator.start(&error)) {
      std::fprintf(stderr, "kestro-sim: console: %s\n", error.c_str());
      sim.stop();
      return 1;
    }
    consoleSim = &consoleSimulator;
  }
  if (face) {
    std::printf("CAN %s\n", face->libraryBusSpec().c_str());
    std::fflush(stdout);
  } else if (options.devicePath.empty()) {
    std::printf("PTY %s\n", sim.portPath().c_str());
    std::fflush(stdout);
  }
  if (console) {
    std::printf("CONSOLE %s\n", consoleSimulator.portPath().c_str());
    std::fflush(stdout);
  }

  bool stdinOpen = true;
  std::string stdinBuffer;
  std::vector<Client> clients;
  char buffer[4096];
  while (!sim.quitRequested()) {
    std::vector<pollfd> fds;
    fds.push_back({signalPipe[0], POLLIN, 0});
    if (stdinOpen) fds.push_back({STDIN_FILENO, POLLIN, 0});
    if (listenFd >= 0) fds.push_back({listenFd, POLLIN, 0});
    for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;  // SIGINT or SIGTERM
    std::size_t at = 1;
    if (stdinOpen) {
      if (fds[at].revents != 0) {
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n > 0) {
          stdinBuffer.append(buffer, static_cast<std::size_t>(n));
          std::string replies = runLines(sim, stdinBuffer);
          std::fputs(replies.c_str(), stdout);
          std::fflush(stdout);
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          stdinOpen = false;
          if (!stdinBuffer.empty()) {
            stdinBuffer.push_back('\n');
            std::fputs(runLines(sim, stdinBuffer).c_str(), stdout);
            std::fflush(stdout);
          }
          if (listenFd < 0) break;  // end of input and no control socket
        }
      }
      ++at;
    }
    if (listenFd >= 0) {
      if (fds[at].revents != 0) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) clients.push_back({fd, {}});
      }
      ++at;
    }
    // Clients polled in this round are fds[at..]; clients accepted just now come after them.
    const std::size_t polledClients = fds.size() - at;
    for (std::size_t i = polledClients; i-- > 0;) {
      if (i >= clients.size() || fds[at + i].revents == 0) continue;
      bool closeIt = false;
      ssize_t n = ::read(clients[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        clients[i].pending.append(buffer, static_cast<std::size_t>(n));
        closeIt = !writeAll(clients[i].fd, runLines(sim, clients[i].pending));
      } else if (n == 0 || errno != EINTR) {
        closeIt = true;
      }
      if (closeIt) {
        ::close(clients[i].fd);
        clients.erase(clients.begin() + static_cast<long>(i));
      }
    }
  }

  for (const Client& c : clients) ::close(c.fd);
  if (listenFd >= 0) {
    ::close(listenFd);
    ::unlink(controlPath.c_str());
  }
  consoleSim = nullptr;
  canFace = nullptr;
  consoleSimulator.stop();
  if (face)
    face->stop();
  else
    sim.stop();
  if (!dataPath.empty()) {
    std::string why;
    if (!sim.saveDataSet(dataPath, &why)) {
      std::fprintf(stderr, "kestro-sim: %s\n", why.c_str());
      return 1;
    }
  }
  return 0;
}
