#pragma once
// Runs kestro-sim as a child process: its first line names the pseudo-terminal it
// serves, and control lines go to its standard input.

#include <string>
#include <string_view>
#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace kestro::cli {

// kestro-sim next to this program (build tree or install), else on the PATH.
std::string defaultSimulator(const char* argv0);

class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // canFace: serve the CAN face (socketcand on 127.0.0.1) instead of a pseudo-terminal.
    bool start(const std::string& program, std::string* error, bool canFace = false);
    const std::string& ptyPath() const { return pty_; }
    // With the CAN face: the KESTRO_CAN value that reaches it.
    const std::string& canBus() const { return can_; }
    bool running() const { return pid_ > 0; }
    bool control(std::string_view line);
    // Sends a control line and waits up to timeoutMs for its (first) reply line.
    bool request(std::string_view line, std::string* reply, int timeoutMs);
    void stop();

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string pty_;
    std::string can_;
    std::thread drain_;  // reads the simulator's replies so it never blocks; keeps the last ones
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::string> replies_;
};

}  // namespace kestro::cli
