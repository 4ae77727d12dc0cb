// kestro_soak: a long session of the library against kestro-sim on a pseudo-terminal,
// the way a host uses it all day: commands from several threads at about 50 per second
// in all, an exposure every 10 s, a packet refresh every 2 s and the line unplugged and
// replugged every 5 minutes. It prints what happened and exits non-zero on a wrong
// value, a lost notification, a broken trace line, or growth of file descriptors,
// threads or memory. Failed calls are printed (the first ones with their time) but do
// not fail the run: on a loaded machine an answer can miss its 100 ms budget.
//
// Usage: kestro_soak [seconds (default 3600)] [disconnect period s (default 300)]
//
// Calls refused while an exposure runs (the state gate) and calls made while the line is
// unplugged are counted apart: they are expected to fail.

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <kestro/kestro.h>

#include "api/app.h"
#include "kestro_sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

long rssKb() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int openFds() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count - 3;  // ".", ".." and the directory itself
}

int threadCount() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    return -1;
}

// Whole trace lines: every line of every trace file starts with its time stamp.
void checkTrace(const fs::path& dir, long& lines, long& broken) {
    static const std::regex stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3} )");
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        std::string text = all.str();
        if (!text.empty() && text.back() != '\n') ++broken;  // a half-written last line
        std::istringstream split(text);
        for (std::string line; std::getline(split, line);) {
            ++lines;
            if (!std::regex_search(line, stamp)) ++broken;
        }
    }
}

struct Tally {
    std::atomic<long> calls{0};
    std::atomic<long> failed{0};
    std::atomic<long> wrong{0};
    std::atomic<long> excused{0};  // refused during an exposure, or with the line gone
    std::atomic<long> kept{0};     // a set answered with the value held (generator exposing)
};

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 3600;
    const int disconnectPeriod = argc > 2 ? std::atoi(argv[2]) : 300;

    char pattern[] = "/tmp/kestro-soak-XXXXXX";
    if (!mkdtemp(pattern)) return 2;
    const fs::path host = pattern;
    writeFile(host / "Gen/INI/Path.ini",
              "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
              "LocalConfigPath=\\Gen\\INI\\LocalComm.ini\r\nPathIniPath=\\Gen\\INI\\PathConfig.ini\r\n");
    writeFile(host / "Gen/INI/Function.ini", "[Function]\r\nDemo Enable=0\r\nTotal Trace=10\r\n");
    writeFile(host / "Gen/INI/LocalComm.ini",
              "[Communication]\r\nCommunication Type=1\r\n[Serial comm]\r\ncom=7\r\nbaud=19200\r\n");
    writeFile(host / "Gen/INI/PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n");
    ::setenv("KESTRO_HOST_DIR", host.c_str(), 1);

    kestro::sim::SimulatorOptions options;
    options.linkPath = (host / "ttyGEN").string();
    kestro::sim::Simulator sim(options);
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 2;
    }
    ::setenv("KESTRO_COM7", options.linkPath.c_str(), 1);
    sim.setState(2);
    if (kestro::CreateInstanceOfCommProtocol() != 1) return 2;
    HWND window = KestroCreateMessageWindow();
    if (IO_InitGenerator(window) != 1) {
        std::fprintf(stderr, "start-up failed\n");
        return 2;
    }

    const long rssStart = rssKb();
    const int fdsStart = openFds();
    const int threadsStart = threadCount();

    std::atomic<bool> stop{false};
    std::atomic<bool> excuse{false};  // an exposure or an outage is under way
    Tally commands, packets;
    std::mutex noteLock;
    std::vector<std::string> notes;  // the first failures, with when and what
    const auto started = Clock::now();
    auto count = [&](Tally& t, bool ok, bool right, const char* what) {
        ++t.calls;
        if (ok && !right) ++t.wrong;
        if (!ok) (excuse ? t.excused : t.failed)++;
        if ((!ok && !excuse) || (ok && !right)) {
            std::lock_guard<std::mutex> lock(noteLock);
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
            if (notes.size() < 20) notes.push_back(std::to_string(ms) + " ms: " + what + (ok ? " wrong value" : " failed"));
        }
    };
    auto paced = [&](auto body) {
        // About 17 calls per second per thread: 50 per second from three threads.
        return [&, body]() mutable {
            for (auto next = Clock::now(); !stop; next += 60ms) {
                body();
                std::this_thread::sleep_until(next + 60ms);
            }
        };
    };
    std::vector<std::thread> threads;
    threads.emplace_back(paced([&, v = 60, held = -1]() mutable {
        v = v >= 120 ? 60 : v + 1;
        const bool exposingBefore = excuse;
        const int got = IO_RadKVValue(0, v);
        // While it prepares or exposes, the generator keeps its radiography values and
        // answers a set with the value it holds: that is the right answer then.
        if (got != -1 && got != v && got == held && (exposingBefore || excuse)) {
            ++commands.calls;
            ++commands.kept;
            return;
        }
        count(commands, got != -1, got == v, "IO_RadKVValue");
        if (got != -1) held = got;
    }));
    threads.emplace_back(paced([&] { count(commands, IO_GetSTValue() != -1, true, "IO_GetSTValue"); }));
    threads.emplace_back(paced([&] { count(commands, IO_GetGenKW() != -1, true, "IO_GetGenKW"); }));
    threads.emplace_back([&] {
        for (int n = 1; !stop; n = n % 6 + 1) {
            count(packets, IO_RefreshModelData(6, n) == 1, true, "IO_RefreshModelData");
            for (int i = 0; i < 20 && !stop; ++i) std::this_thread::sleep_for(100ms);
        }
    });

    long exposures = 0, expected = 0, received = 0, disconnects = 0;
    const auto start = Clock::now();
    auto nextExposure = start + 10s;
    auto nextDisconnect = start + std::chrono::seconds(disconnectPeriod);
    KestroMessage message{};
    while (Clock::now() - start < std::chrono::seconds(seconds)) {
        while (KestroGetMessage(window, &message, 50) == 1)
            if (message.message == WM_GEN_NOTIFY) ++received;
        const auto now = Clock::now();
        if (now >= nextDisconnect) {
            nextDisconnect += std::chrono::seconds(disconnectPeriod);
            excuse = true;
            sim.disconnect();
            std::this_thread::sleep_for(2s);
            if (!sim.reconnect(&error)) std::fprintf(stderr, "reconnect: %s\n", error.c_str());
            ++disconnects;
            for (auto until = Clock::now() + 10s; Clock::now() < until && IO_GetCommState() != 1;)
                std::this_thread::sleep_for(50ms);
            std::this_thread::sleep_for(300ms);  // calls that started during the outage end
            excuse = false;
        } else if (now >= nextExposure) {
            nextExposure += 10s;
            excuse = true;
            std::string why;
            if (sim.startExposure(200, &why)) {
                ++exposures;
                expected += 5;  // PR1, PR2, XR1, XR0, PR0
                sim.waitHandshakeDone(5s);
                const kestro::sim::HandshakeResult hs = sim.lastHandshake();
                if (!hs.completed || !hs.allEchoed()) {
                    // Which step went unanswered, and how long each echo took.
                    std::string steps;
                    for (const auto& step : hs.steps)
                        steps += " " + step.message + (step.echoed ? "=" + std::to_string(step.echoDelay.count()) + "ms" : "=no echo");
                    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
                    std::lock_guard<std::mutex> lock(noteLock);
                    notes.push_back(std::to_string(ms) + " ms: exposure handshake" + (hs.running ? " still running" : "") + ":" + steps);
                }
            } else {
                std::fprintf(stderr, "exposure not started: %s\n", why.c_str());
            }
            std::this_thread::sleep_for(300ms);
            excuse = false;
        }
    }
    stop = true;
    for (auto& t : threads) t.join();
    while (KestroGetMessage(window, &message, 200) == 1)
        if (message.message == WM_GEN_NOTIFY) ++received;

    const long rssEnd = rssKb();
    const int fdsEnd = openFds();
    const int threadsEnd = threadCount();
    IO_DeleteRes();
    sim.stop();
    KestroDestroyMessageWindow(window);
    long traceLines = 0, brokenLines = 0;
    checkTrace(host / "Trace", traceLines, brokenLines);

    std::printf("soak: %d s, disconnect every %d s\n", seconds, disconnectPeriod);
    std::printf("%-34s %12s\n", "figure", "value");
    auto row = [](const char* name, long value) { std::printf("%-34s %12ld\n", name, value); };
    row("command calls", commands.calls);
    row("command failures", commands.failed);
    row("command wrong values", commands.wrong);
    row("commands refused (exposure/outage)", commands.excused);
    row("kV sets kept by the generator", commands.kept);
    row("packet refreshes", packets.calls);
    row("packet failures", packets.failed);
    row("packets refused (exposure/outage)", packets.excused);
    row("exposures", exposures);
    row("disconnects", disconnects);
    row("notifications expected", expected);
    row("notifications received", received);
    row("trace lines", traceLines);
    row("trace lines broken", brokenLines);
    row("RSS at start (kB)", rssStart);
    row("RSS at end (kB)", rssEnd);
    row("file descriptors start", fdsStart);
    row("file descriptors end", fdsEnd);
    row("threads start", threadsStart);
    row("threads end", threadsEnd);

    for (const std::string& note : notes) std::printf("  %s\n", note.c_str());

    std::error_code ec;
    fs::remove_all(host, ec);
    // Memory may settle (allocator, sanitizer quarantine); 64 MB is growth, not noise.
    const bool bad = commands.wrong > 0 || received < expected ||
                     brokenLines > 0 || fdsEnd > fdsStart || threadsEnd > threadsStart ||
                     rssEnd - rssStart > 64 * 1024;
    std::printf("%s\n", bad ? "SOAK FAILED" : "soak passed");
    return bad ? 1 : 0;
}
