// The kestro-sim program: its first line, commands on standard input and on the control
// socket, and how it ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "library_side.h"

namespace kestro::sim::test {
namespace {

using Clock = std::chrono::steady_clock;

class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      int devnull = ::open("/dev/null", O_WRONLY);
      ::dup2(devnull, STDERR_FILENO);
      ::close(in[1]);
      ::close(out[0]);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(KESTRO_SIM_PROGRAM));
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(KESTRO_SIM_PROGRAM, argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    toChild = in[1];
    fromChild = out[0];
  }

  ~Program() {
    closeInput();
    if (fromChild >= 0) ::close(fromChild);
    if (pid > 0 && !exited) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  void say(const std::string& line) {
    std::string text = line + "\n";
    ASSERT_EQ(::write(toChild, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  void closeInput() {
    if (toChild >= 0) ::close(toChild);
    toChild = -1;
  }

  // One line of standard output, or "<none>" at the deadline.
  std::string line(milliseconds timeout = kArrival) {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
      std::size_t nl = pending.find('\n');
      if (nl != std::string::npos) {
        std::string out = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        return out;
      }
      const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
      pollfd p{fromChild, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return "<none>";
      char buf[512];
      ssize_t n = ::read(fromChild, buf, sizeof buf);
      if (n <= 0) return "<eof>";
      pending.append(buf, static_cast<std::size_t>(n));
    }
  }

  // Exit status once the program has ended, or -1 at the deadline.
  int waitExit(milliseconds timeout = kArrival) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      int status = 0;
      pid_t r = ::waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      // Nothing to wait on but the child itself: poll its output pipe for the end.
      pollfd p{fromChild, POLLIN, 0};
      ::poll(&p, 1, 20);
      if (p.revents & POLLIN) {
        char buf[512];
        if (::read(fromChild, buf, sizeof buf) > 0) continue;
      }
    }
    return -1;
  }

  pid_t pid = -1;

 private:
  int toChild = -1;
  int fromChild = -1;
  bool exited = false;
  std::string pending;
};

std::string ptyPath(Program& p) {
  std::string first = p.line();
  if (first.substr(0, 4) != "PTY ") return {};
  return first.substr(4);
}

TEST(SimProgram, PrintsItsPtyFirstAndTakesCommandsOnStandardInput) {
  Program p({"--quiet"});
  const std::string path = ptyPath(p);
  ASSERT_FALSE(path.empty());
  LibrarySide lib(path);
  ASSERT_TRUE(lib.isOpen());
  lib.sendCommand("KV?");
  EXPECT_EQ(lib.nextMessage(), "KV075");

  p.say("set kv 90");
  EXPECT_EQ(p.line(), "OK");
  lib.sendCommand("KV?");
  EXPECT_EQ(lib.nextMessage(), "KV090");
  p.say("send ER220");
  EXPECT_EQ(p.line(), "OK");
  EXPECT_EQ(lib.nextMessage(), "ER220");
  p.say("nonsense");
  EXPECT_EQ(p.line().substr(0, 4), "ERR ");

  p.closeInput();  // end of input without a control socket ends the program
  EXPECT_EQ(p.waitExit(), 0);
}

TEST(SimProgram, QuitEndsItAndSigtermToo) {
  {
    Program p({"--quiet"});
    ASSERT_FALSE(ptyPath(p).empty());
    p.say("quit");
    EXPECT_EQ(p.line(), "OK bye");
    EXPECT_EQ(p.waitExit(), 0);
  }
  {
    Program p({"--quiet"});
    ASSERT_FALSE(ptyPath(p).empty());
    ::kill(p.pid, SIGTERM);
    EXPECT_EQ(p.waitExit(), 0);
  }
}

TEST(SimProgram, ControlSocketKeepsItRunningAfterEndOfInput) {
  const std::string socketPath = ::testing::TempDir() + "kestro-sim-ctl-" + std::to_string(::getpid());
  Program p({"--quiet", "--control", socketPath});
  const std::string path = ptyPath(p);
  ASSERT_FALSE(path.empty());
  p.closeInput();

  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ASSERT_TRUE(connected);

  auto exchange = [&](const std::string& command) {
    std::string text = command + "\n";
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    std::string reply;
    char c;
    const Clock::time_point until = Clock::now() + kArrival;
    while (Clock::now() < until) {
      pollfd q{fd, POLLIN, 0};
      if (::poll(&q, 1, 100) <= 0) continue;
      if (::read(fd, &c, 1) != 1 || c == '\n') break;
      reply.push_back(c);
    }
    return reply;
  };
  EXPECT_EQ(exchange("get kv"), "OK 75");
  LibrarySide lib(path);
  ASSERT_TRUE(lib.isOpen());
  EXPECT_EQ(exchange("send HE033"), "OK");
  EXPECT_EQ(lib.nextMessage(), "HE033");
  EXPECT_EQ(exchange("quit"), "OK bye");
  ::close(fd);
  EXPECT_EQ(p.waitExit(), 0);
  EXPECT_NE(::access(socketPath.c_str(), F_OK), 0);  // removed on the way out
}

}  // namespace
}  // namespace kestro::sim::test
