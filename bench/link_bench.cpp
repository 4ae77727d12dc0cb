// kestro_bench_link: how fast the serial link answers, against kestro-sim on a
// pseudo-terminal, beside a raw echo over a pseudo-terminal as the floor.
//
//   1. raw echo round trip: a 7-byte frame written to a pty, echoed back by a minimal
//      echo process on the master side, read back in full;
//   2. acknowledged "KV080": GetCpuCommandData from the write of the frame to the
//      return after the answer, once against the echo process (whose echo of "KV080"
//      is the generator's answer: the library alone) and once against the simulator;
//   3. handshake echo: the simulator writes "PR1" (then "PR0"), the library echoes it;
//      time from the write to the simulator reading the echo;
//   4. CPU time of the whole process holding an idle open session (the simulator in a
//      separate process) over 30 s.
//
// Usage: kestro_bench_link [round-trips] [idle-seconds]

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
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
#include "kestro_sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

struct Stats {
    double median = 0;
    double p99 = 0;
    double max = 0;
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

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

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

// Host directory with settings that choose the serial link on port `com`.
void writeSettings(const fs::path& host, int com) {
    writeFile(host / "Gen/INI/Path.ini",
              "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
              "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\nPathIniPath=\\Gen\\INI\\PathConfig.ini\r\n");
    writeFile(host / "Gen/INI/Function.ini", "[Function]\r\nDemo Enable=0\r\nComp Transfer=0\r\nTotal Trace=10\r\n");
    writeFile(host / "Gen/INI/LocalComm.ini", "[Communication]\r\nCommunication Type=1\r\n[Serial comm]\r\ncom=" +
                                                  std::to_string(com) + "\r\nbaud=19200\r\n");
    writeFile(host / "Gen/INI/PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n");
}

// ---- 1. raw echo -------------------------------------------------------------------

struct EchoPeer {
    int slave = -1;
    pid_t child = -1;
    std::string path;
};

// A pty whose master side is served by a forked echo process. Call before any thread
// is started.
EchoPeer startEchoPeer() {
    EchoPeer peer;
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return peer;
    peer.path = ptsname(master);
    peer.slave = ::open(peer.path.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(peer.slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(peer.slave, TCSANOW, &tio);
    peer.child = fork();
    if (peer.child == 0) {
        ::close(peer.slave);
        unsigned char buffer[256];
        for (;;) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) _exit(0);  // the other side closed
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = ::write(master, buffer + done, static_cast<size_t>(n - done));
                if (w <= 0) _exit(0);
                done += w;
            }
        }
    }
    ::close(master);
    return peer;
}

std::vector<double> rawEchoRoundTrips(const EchoPeer& peer, int count) {
    static const unsigned char frame[] = {'K', 'V', '0', '8', '0', 0x03, 0x3C};
    std::vector<double> us;
    unsigned char back[sizeof frame];
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        if (::write(peer.slave, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) break;
        std::size_t got = 0;
        while (got < sizeof frame) {
            pollfd p{peer.slave, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0) return us;
            const ssize_t n = ::read(peer.slave, back + got, sizeof frame - got);
            if (n <= 0) return us;
            got += static_cast<std::size_t>(n);
        }
        us.push_back(micros(Clock::now() - t0));
    }
    return us;
}

// ---- 4. idle session: the simulator in a child process --------------------------------

pid_t startSimulatorProcess(const std::string& linkPath, int inheritedFd) {
    const pid_t child = fork();
    if (child == 0) {
        ::close(inheritedFd);  // the echo peer must see its line close
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGTERM);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        kestro::sim::SimulatorOptions options;
        options.linkPath = linkPath;
        kestro::sim::Simulator simulator(options);
        if (!simulator.start()) _exit(1);
        int signal = 0;
        sigwait(&set, &signal);
        simulator.stop();
        _exit(0);
    }
    return child;
}

}  // namespace

int main(int argc, char** argv) {
    const int roundTrips = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;
    const int idleSeconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 30;

    char pattern[] = "/tmp/kestro-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path host = pattern;
    const std::string idleLink = (host / "ttyIDLE").string();

    // Processes first, while this one has a single thread.
    EchoPeer echo = startEchoPeer();
    if (echo.slave < 0 || echo.child < 0) {
        std::fprintf(stderr, "no pseudo-terminal for the echo\n");
        return 1;
    }
    const pid_t idleSim = startSimulatorProcess(idleLink, echo.slave);

    const Stats raw = summarize(rawEchoRoundTrips(echo, roundTrips));

    // ---- 2a. the library against the echo peer: the generator's answer to "KV080" is
    // the same frame, so the echo acknowledges it; no simulator in the way ----
    ::setenv("KESTRO_HOST_DIR", host.c_str(), 1);
    writeSettings(host, 9);
    ::setenv("KESTRO_COM9", echo.path.c_str(), 1);
    HWND window = KestroCreateMessageWindow();
    std::vector<double> echoAckUs;
    // The echo does not answer "ST" (-2), but the link and its threads are up.
    if (kestro::CreateInstanceOfCommProtocol() == 1 && IO_InitGenerator(window) == -2) {
        kestro::CCommProtocol* link = kestro::g_pCommProtocol.load();
        for (int i = 0; i < roundTrips; ++i) {
            char cmd[] = "KV080";
            const auto t0 = Clock::now();
            const int ok = link->GetCpuCommandData(cmd, 5, 0);
            const auto t1 = Clock::now();
            if (ok) echoAckUs.push_back(micros(t1 - t0));
        }
    } else {
        std::fprintf(stderr, "session against the echo peer: unexpected start-up result\n");
    }
    IO_DeleteRes();
    const Stats echoAck = summarize(echoAckUs);
    ::close(echo.slave);
    waitpid(echo.child, nullptr, 0);

    // ---- 2. and 3. against an embedded simulator ----
    writeSettings(host, 7);
    kestro::sim::SimulatorOptions options;
    options.linkPath = (host / "ttyGEN").string();
    kestro::sim::Simulator simulator(options);
    std::string error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    ::setenv("KESTRO_COM7", options.linkPath.c_str(), 1);
    ::setenv("KESTRO_COM8", idleLink.c_str(), 1);
    if (kestro::CreateInstanceOfCommProtocol() != 1 || IO_InitGenerator(window) != 1) {
        std::fprintf(stderr, "start-up against the simulator failed\n");
        return 1;
    }
    kestro::CCommProtocol* link = kestro::g_pCommProtocol.load();

    std::vector<double> ackUs;
    int unanswered = 0;
    for (int i = 0; i < roundTrips; ++i) {
        char cmd[] = "KV080";
        const auto t0 = Clock::now();
        const int ok = link->GetCpuCommandData(cmd, 5, 0);
        const auto t1 = Clock::now();
        if (ok) ackUs.push_back(micros(t1 - t0));
        else ++unanswered;
        KestroMessage drop;
        while (KestroGetMessage(window, &drop, 0) == 1) {
        }
    }
    const Stats ack = summarize(ackUs);

    std::vector<double> echoUs;
    int missedEchoes = 0;
    for (int i = 0; i < roundTrips / 2; ++i) {
        for (const char* step : {"PR1", "PR0"}) {
            simulator.clearLog();
            const std::uint64_t mark = simulator.logMark();
            const auto t0 = kestro::sim::Clock::now();
            simulator.sendMessage(step);
            if (!simulator.waitForCommand(step, std::chrono::milliseconds(1000), mark)) {
                ++missedEchoes;
                continue;
            }
            for (const auto& unit : simulator.received())
                if (unit.seq >= mark && unit.unit.text == step) {
                    echoUs.push_back(micros(unit.time - t0));
                    break;
                }
        }
        KestroMessage drop;
        while (KestroGetMessage(window, &drop, 0) == 1) {
        }
    }
    const Stats hand = summarize(echoUs);

    IO_DeleteRes();
    simulator.stop();

    // ---- 4. idle open session, the generator in its own process ----
    writeSettings(host, 8);
    double idleCpu = -1;
    if (kestro::CreateInstanceOfCommProtocol() == 1 && IO_InitGenerator(window) == 1) {
        const double before = processCpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
        idleCpu = processCpuSeconds() - before;
    } else {
        std::fprintf(stderr, "idle session: start-up failed\n");
    }
    IO_DeleteRes();
    KestroDestroyMessageWindow(window);
    kill(idleSim, SIGTERM);
    waitpid(idleSim, nullptr, 0);
    std::error_code ignored;
    fs::remove_all(host, ignored);

    const double idlePercent = idleCpu < 0 ? -1 : 100.0 * idleCpu / idleSeconds;
    std::printf("\n%-44s %8s %10s %10s %10s\n", "measurement", "n", "median us", "p99 us", "max us");
    std::printf("%-44s %8zu %10.1f %10.1f %10.1f\n", "raw pty echo round trip (7 bytes)", raw.count, raw.median,
                raw.p99, raw.max);
    std::printf("%-44s %8zu %10.1f %10.1f %10.1f\n", "acknowledged KV080 round trip (echo peer)", echoAck.count,
                echoAck.median, echoAck.p99, echoAck.max);
    std::printf("%-44s %8zu %10.1f %10.1f %10.1f\n", "acknowledged KV080 round trip (simulator)", ack.count,
                ack.median, ack.p99, ack.max);
    std::printf("%-44s %8zu %10.1f %10.1f %10.1f\n", "handshake echo (PR1/PR0 written -> echo read)", hand.count,
                hand.median, hand.p99, hand.max);
    std::printf("\n%-44s %10.3f s over %d s = %.3f %% of one core\n", "idle open session, process CPU", idleCpu,
                idleSeconds, idlePercent);
    std::printf("\n%-44s %s (ratio %.2f)\n", "target: KV080 median <= 2x raw echo median",
                ack.median <= 2 * raw.median ? "met" : "NOT met", raw.median > 0 ? ack.median / raw.median : 0.0);
    std::printf("%-44s %s\n", "target: handshake echo p99 < 2 ms", hand.p99 < 2000 ? "met" : "NOT met");
    std::printf("%-44s %s\n", "target: idle CPU < 1 % of one core",
                idlePercent >= 0 && idlePercent < 1.0 ? "met" : "NOT met");
    if (unanswered || missedEchoes)
        std::printf("unanswered KV080: %d, missed echoes: %d\n", unanswered, missedEchoes);
    return 0;
}
