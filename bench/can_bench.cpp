// kestro_bench_can: the CAN link against kestro-sim's socketcand face on 127.0.0.1, beside
// the serial link against kestro-sim on a pseudo-terminal, in one run.
//
//   1. acknowledged "KV080" round trip: GetCpuCommandData from the write of the frame to
//      the return after the generator's answer, over the serial pty and over CAN;
//   2. CPU time of the whole process holding an idle open CAN session (the simulator and
//      its CAN face in a child process) over 30 s: the read thread's 10 ms receive
//      pacing at rest.
//
// Usage: kestro_bench_can [round-trips] [idle-seconds]

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <kestro/kestro.h>

#include "api/app.h"
#include "kestro_sim/can_face.h"
#include "kestro_sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Stats {
    double median = 0, p99 = 0, max = 0;
    std::size_t count = 0;
};

Stats summarize(std::vector<double> us) {
    Stats s;
    if (us.empty()) return s;
    std::sort(us.begin(), us.end());
    s.count = us.size();
    s.median = us[us.size() / 2];
    s.p99 = us[std::min(us.size() - 1, static_cast<std::size_t>(static_cast<double>(us.size()) * 0.99))];
    s.max = us.back();
    return s;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Settings choosing the serial link on COM7 (communicationType 1) or the CAN link (0).
void writeSettings(const fs::path& host, int communicationType) {
    writeFile(host / "Gen/INI/Path.ini",
              "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
              "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\nPathIniPath=\\Gen\\INI\\PathConfig.ini\r\n");
    writeFile(host / "Gen/INI/Function.ini", "[Function]\r\nDemo Enable=0\r\nComp Transfer=0\r\nTotal Trace=10\r\n");
    writeFile(host / "Gen/INI/LocalComm.ini", "[Communication]\r\nCommunication Type=" +
                                                  std::to_string(communicationType) +
                                                  "\r\n[Serial comm]\r\ncom=7\r\nbaud=19200\r\n");
    writeFile(host / "Gen/INI/PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n");
}

// Round trips of an acknowledged "KV080" on the link the settings choose.
std::vector<double> kv080RoundTrips(HWND window, int count, int* unanswered) {
    std::vector<double> us;
    if (kestro::CreateInstanceOfCommProtocol() != 1 || IO_InitGenerator(window) != 1) {
        std::fprintf(stderr, "start-up failed\n");
        IO_DeleteRes();
        return us;
    }
    kestro::CCommProtocol* link = kestro::g_pCommProtocol.load();
    for (int i = 0; i < count; ++i) {
        char cmd[] = "KV080";
        const auto t0 = Clock::now();
        const int ok = link->GetCpuCommandData(cmd, 5, 0);
        const auto t1 = Clock::now();
        if (ok) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        else ++*unanswered;
        KestroMessage drop;
        while (KestroGetMessage(window, &drop, 0) == 1) {
        }
    }
    IO_DeleteRes();
    return us;
}

// The simulator's CAN face in a child process; its bus on a pipe to the parent.
pid_t startCanFaceProcess(std::string* bus) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        ::close(fds[0]);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        kestro::sim::CanFace face({}, {});
        if (!face.start()) _exit(1);
        const std::string spec = face.libraryBusSpec() + "\n";
        if (::write(fds[1], spec.data(), spec.size()) != static_cast<ssize_t>(spec.size())) _exit(1);
        ::close(fds[1]);
        int signal = 0;
        sigwait(&set, &signal);
        face.stop();
        _exit(0);
    }
    ::close(fds[1]);
    char buffer[256];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer - 1);
    ::close(fds[0]);
    if (n <= 1) return -1;
    *bus = std::string(buffer, static_cast<std::size_t>(n - 1));
    return child;
}

void row(const char* what, const Stats& s) {
    std::printf("%-48s %8zu %10.1f %10.1f %10.1f\n", what, s.count, s.median, s.p99, s.max);
}

}  // namespace

int main(int argc, char** argv) {
    const int roundTrips = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;
    const int idleSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;

    char pattern[] = "/tmp/kestro-bench-can-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path host = pattern;
    ::setenv("KESTRO_HOST_DIR", host.c_str(), 1);

    // The idle session's generator first, while this process has a single thread.
    std::string idleBus;
    const pid_t idleFace = startCanFaceProcess(&idleBus);
    if (idleFace < 0) {
        std::fprintf(stderr, "CAN face process did not start\n");
        return 1;
    }

    HWND window = KestroCreateMessageWindow();
    int unansweredSerial = 0, unansweredCan = 0;

    // ---- 1a. serial pty ----
    Stats serial;
    {
        writeSettings(host, 1);
        kestro::sim::SimulatorOptions options;
        options.linkPath = (host / "ttyGEN").string();
        kestro::sim::Simulator simulator(options);
        std::string error;
        if (!simulator.start(&error)) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            return 1;
        }
        ::setenv("KESTRO_COM7", options.linkPath.c_str(), 1);
        serial = summarize(kv080RoundTrips(window, roundTrips, &unansweredSerial));
        simulator.stop();
    }
    // ---- 1b. CAN via socketcand on 127.0.0.1 ----
    Stats can;
    {
        writeSettings(host, 0);
        kestro::sim::CanFace face({}, {});
        std::string error;
        if (!face.start(&error)) {
            std::fprintf(stderr, "CAN face: %s\n", error.c_str());
            return 1;
        }
        ::setenv("KESTRO_CAN", face.libraryBusSpec().c_str(), 1);
        can = summarize(kv080RoundTrips(window, roundTrips, &unansweredCan));
        face.stop();
    }

    // ---- 2. idle open CAN session ----
    ::setenv("KESTRO_CAN", idleBus.c_str(), 1);
    double idleCpu = -1;
    if (kestro::CreateInstanceOfCommProtocol() == 1 && IO_InitGenerator(window) == 1) {
        const double before = processCpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        idleCpu = processCpuSeconds() - before;
    } else {
        std::fprintf(stderr, "idle CAN session: start-up failed\n");
    }
    IO_DeleteRes();
    KestroDestroyMessageWindow(window);
    kill(idleFace, SIGTERM);
    waitpid(idleFace, nullptr, 0);
    std::error_code ignored;
    fs::remove_all(host, ignored);

    const double idlePercent = idleCpu < 0 ? -1 : 100.0 * idleCpu / idleSeconds;
    std::printf("\n%-48s %8s %10s %10s %10s\n", "measurement", "n", "median us", "p99 us", "max us");
    row("acknowledged KV080 round trip, serial pty", serial);
    row("acknowledged KV080 round trip, CAN (socketcand)", can);
    std::printf("%-48s %.2f\n", "ratio of medians, CAN / serial", serial.median > 0 ? can.median / serial.median : 0);
    std::printf("\n%-48s %10.3f s over %d s = %.3f %% of one core\n", "idle open CAN session, process CPU", idleCpu,
                idleSeconds, idlePercent);
    std::printf("%-48s %s\n", "target: idle CPU < 1 % of one core",
                idlePercent >= 0 && idlePercent < 1.0 ? "met" : "NOT met");
    if (unansweredSerial || unansweredCan)
        std::printf("unanswered KV080: serial %d, CAN %d\n", unansweredSerial, unansweredCan);
    return 0;
}
