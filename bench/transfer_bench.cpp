// kestro_bench_transfer: a full export and a full import against kestro-sim on a
// pseudo-terminal, on the real clock, beside the sum of the waits the sequences
// prescribe. What is left over is the cost of everything else: the library, the serial
// line and the simulator's answers.
//
// Usage: kestro_bench_transfer [plain|full]   (full: two tubes and every optional feature)

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <kestro/kestro.h>

#include "api/app.h"
#include "data/import_export.h"
#include "kestro_sim/simulator.h"
#include "platform/clock.h"

namespace {

namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

// The real clock, adding up what it was asked to sleep.
class CountingClock final : public kestro::Clock {
public:
    TimePoint now() const override { return Steady::now(); }
    void sleepFor(Duration d) override {
        asked += d.count();
        kestro::systemClock().sleepFor(d);
    }
    long long asked = 0;
};

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

struct Row {
    const char* what;
    int records;
    double waits;
    double measured;
};

}  // namespace

int main(int argc, char** argv) {
    const bool full = argc > 1 && std::string(argv[1]) == "full";
    char pattern[] = "/tmp/kestro-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path host = pattern;
    writeFile(host / "Gen/INI/Path.ini",
              "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\nLocalConfigPath=\\Gen\\INI\\Local.ini\r\n"
              "PathIniPath=\\Gen\\INI\\PathConfig.ini\r\n");
    writeFile(host / "Gen/INI/Function.ini",
              "[Function]\r\nDemo Enable=0\r\nComp Transfer=0\r\n[CompInformation]\r\ntotal=1\r\n"
              "[GEN_KW_MS_TABLE]\r\n0=100,200\r\n");
    writeFile(host / "Gen/INI/Local.ini",
              "[Communication]\r\nCommunication Type=1\r\n[Serial comm]\r\ncom=7\r\nbaud=19200\r\n");
    writeFile(host / "Gen/INI/PathConfig.ini", "[LocalPath]\r\nTracePath=\\Trace\\\r\n");
    ::setenv("KESTRO_HOST_DIR", host.c_str(), 1);

    kestro::sim::SimulatorOptions options;
    options.linkPath = (host / "ttyGEN").string();
    kestro::sim::Simulator sim(options);
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    sim.setState(2);
    ::setenv("KESTRO_COM7", options.linkPath.c_str(), 1);
    if (kestro::theApp().InitInstance() != 1) return 1;
    HWND window = KestroCreateMessageWindow();
    if (IO_InitGenerator(window) != 1) {
        std::fprintf(stderr, "start-up failed\n");
        return 1;
    }
    kestro::CCommProtocol* link = kestro::g_pCommProtocol.load();
    if (full) {
        auto& c = link->gen_CompInfo;
        for (auto* flag : {&c.OneMsEnable, &c.secondTubeEnable, &c.ABSDoseRate, &c.FluoRadCurves,
                           &c.AECDataChannelRelated, &c.DAPCalibrationUpdate, &c.bFunctionConfigDetect,
                           &c.bDynamicFilCalib})
            *flag = 1;
        sim.setFeatures(0xFF);
    }
    CountingClock clock;
    kestro::CImportExportOpt* io = kestro::g_ImportExportOpt.load();
    io->setClock(clock);

    const std::string file = (host / "bench.dat").string();
    Row rows[2] = {{"export", 0, 0, 0}, {"import", 0, 0, 0}};
    int (*const ops[2])(const char*) = {IO_ExportGenData, IO_ImportGenData};
    bool ok = true;
    for (int i = 0; i < 2 && ok; ++i) {
        clock.asked = 0;
        const auto start = Steady::now();
        ok = ops[i](file.c_str()) == 1;
        rows[i].measured = std::chrono::duration<double>(Steady::now() - start).count();
        rows[i].waits = static_cast<double>(clock.asked) / 1000.0;
        rows[i].records = io->progress().recordsTotal;
    }
    io->setClock(kestro::systemClock());

    std::printf("generator: %s\n\n", full ? "two tubes, every optional feature" : "one tube, no optional feature");
    std::printf("%-8s %8s %14s %12s %12s %10s\n", "", "records", "waits [s]", "measured [s]", "overhead [s]",
                "overhead");
    for (const Row& r : rows) {
        const double overhead = r.measured - r.waits;
        std::printf("%-8s %8d %14.3f %12.3f %12.3f %9.2f%%\n", r.what, r.records, r.waits, r.measured, overhead,
                    r.waits > 0 ? 100.0 * overhead / r.waits : 0.0);
    }
    if (!ok) std::printf("\nthe transfer FAILED: the figures above are not a measurement\n");

    IO_DeleteRes();
    KestroDestroyMessageWindow(window);
    kestro::theApp().ExitInstance();
    sim.stop();
    std::error_code ignored;
    fs::remove_all(host, ignored);
    return ok ? 0 : 1;
}
