#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

namespace kestro::cli {

std::string defaultSimulator(const char* argv0) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) self = fs::absolute(argv0, ec);
    const fs::path dir = self.parent_path();
    for (const fs::path& candidate : {dir / "kestro-sim", dir / ".." / "sim" / "kestro-sim"})
        if (fs::exists(candidate, ec)) return fs::weakly_canonical(candidate, ec).string();
    return "kestro-sim";
}

SimProcess::~SimProcess() { stop(); }

bool SimProcess::start(const std::string& program, std::string* error, bool canFace) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    if (pid_ == 0) {
        // A process group of its own: Ctrl-C at the terminal is for the tool, which then
        // closes the port before it stops the simulator. The simulator ends by itself when
        // the tool goes away (end of its standard input).
        ::setpgid(0, 0);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        if (canFace)
            ::execlp(program.c_str(), program.c_str(), "--quiet", "--can", "socketcand:0", static_cast<char*>(nullptr));
        else
            ::execlp(program.c_str(), program.c_str(), "--quiet", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];

    // The first line is "PTY <path>" ("CAN <KESTRO_CAN value>" with the CAN face).
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fromChild_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char c;
        if (::read(fromChild_, &c, 1) != 1) break;
        line.push_back(c);
    }
    const char* announce = canFace ? "CAN " : "PTY ";
    if (line.rfind(announce, 0) != 0 || line.back() != '\n') {
        if (error) *error = canFace ? "no CAN bus announced by " + program : "no pseudo-terminal announced by " + program;
        stop();
        return false;
    }
    (canFace ? can_ : pty_) = line.substr(4, line.size() - 5);
    drain_ = std::thread([this, fd = fromChild_] {
        char buf[512];
        std::string partial;
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
            partial.append(buf, static_cast<std::size_t>(n));
            std::size_t at;
            while ((at = partial.find('\n')) != std::string::npos) {
                std::lock_guard<std::mutex> lock(mutex_);
                replies_.push_back(partial.substr(0, at));
                if (replies_.size() > 100) replies_.pop_front();
                partial.erase(0, at + 1);
                arrived_.notify_all();
            }
        }
    });
    return true;
}

bool SimProcess::control(std::string_view line) {
    if (toChild_ < 0) return false;
    std::string text(line);
    text.push_back('\n');
    return ::write(toChild_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool SimProcess::request(std::string_view line, std::string* reply, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    replies_.clear();
    lock.unlock();
    if (!control(line)) return false;
    lock.lock();
    if (!arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !replies_.empty(); }))
        return false;
    if (reply) *reply = replies_.front();
    replies_.pop_front();
    return true;
}

void SimProcess::stop() {
    if (pid_ <= 0) return;
    control("quit");
    if (toChild_ >= 0) ::close(toChild_);
    toChild_ = -1;
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        ::usleep(20000);
    }
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    if (drain_.joinable()) drain_.join();  // the child has ended: its output is at EOF
    if (fromChild_ >= 0) ::close(fromChild_);
    fromChild_ = -1;
}

}  // namespace kestro::cli
