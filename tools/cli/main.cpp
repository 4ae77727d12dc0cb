// kestro: the command-line tool. It loads the library the way a host program does
// (dlopen, then the exported C functions) and drives it.

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <kestro/kestro_types.h>

#include "host_setup.h"
#include "sim_process.h"

namespace {

struct KestroMessageView {
    uint32_t message;
    uintptr_t wParam;
    intptr_t lParam;
};

// The exports the tool uses, bound by name at run time.
struct Api {
    void* handle = nullptr;
    HWND (*createWindow)() = nullptr;
    int (*getMessage)(HWND, KestroMessageView*, int) = nullptr;
    void (*destroyWindow)(HWND) = nullptr;
    int (*initGenerator)(HWND) = nullptr;
    int (*closeComm)(int) = nullptr;
    void (*deleteRes)() = nullptr;
    unsigned char* (*modelPointer)(int) = nullptr;
    int (*setDemoMode)(unsigned char, uint32_t) = nullptr;
    int (*commState)() = nullptr;
    KestroString (*errorMessage)(int) = nullptr;
    // Present once the parameter functions are part of the library.
    int (*radKV)(unsigned char, int) = nullptr;
    int (*radMA)(unsigned char, int) = nullptr;
    int (*radMS)(unsigned char, int) = nullptr;
    int (*radMX)(unsigned char, int) = nullptr;
    int (*setDllMode)(int) = nullptr;

    template <typename F>
    bool bind(F& fn, const char* name, bool required = true) {
        fn = reinterpret_cast<F>(::dlsym(handle, name));
        if (!fn && required) std::fprintf(stderr, "kestro: the library has no export %s\n", name);
        return fn || !required;
    }
};

bool loadApi(Api& api, const std::string& path) {
    api.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!api.handle) {
        std::fprintf(stderr, "kestro: cannot load %s: %s\n", path.c_str(), ::dlerror());
        return false;
    }
    bool ok = api.bind(api.createWindow, "KestroCreateMessageWindow") && api.bind(api.getMessage, "KestroGetMessage") &&
              api.bind(api.destroyWindow, "KestroDestroyMessageWindow") &&
              api.bind(api.initGenerator, "IO_InitGenerator") && api.bind(api.closeComm, "IO_CloseComm") &&
              api.bind(api.deleteRes, "IO_DeleteRes") && api.bind(api.modelPointer, "IO_GetModelPointerByte") &&
              api.bind(api.setDemoMode, "IO_SetDemoMode") && api.bind(api.commState, "IO_GetCommState") &&
              api.bind(api.errorMessage, "IO_GetErrorMessage");
    api.bind(api.radKV, "IO_RadKVValue", false);
    api.bind(api.radMA, "IO_RadMAValue", false);
    api.bind(api.radMS, "IO_RadMSValue", false);
    api.bind(api.radMX, "IO_RadMXValue", false);
    api.bind(api.setDllMode, "IO_SetDllMode", false);
    return ok;
}

std::string defaultLibrary() {
#ifdef KESTRO_BUILD_TREE_LIBRARY
    if (std::filesystem::exists(KESTRO_BUILD_TREE_LIBRARY)) return KESTRO_BUILD_TREE_LIBRARY;
#endif
    return "libkestro.so.0";
}

std::string text(const unsigned char* bytes, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.');
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

std::string todaysTrace(const std::string& hostDir) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char name[32];
    std::snprintf(name, sizeof name, "%4d%02d%02d.txt", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return (std::filesystem::path(hostDir) / "Trace" / name).string();
}

int runDemo(const std::string& hostDir, const std::string& library) {
    std::string error;
    kestro::cli::HostSetup setup;
    setup.demo = true;
    if (!kestro::cli::prepareHostDirectory(hostDir, setup, &error)) {
        std::fprintf(stderr, "kestro: %s\n", error.c_str());
        return 1;
    }
    ::setenv("KESTRO_HOST_DIR", hostDir.c_str(), 1);

    Api api;
    if (!loadApi(api, library)) return 1;
    HWND window = api.createWindow();
    int r = api.initGenerator(window);
    std::printf("IO_InitGenerator (demonstration mode): %d\n", r);
    if (r != 1) {
        std::fprintf(stderr, "kestro: start-up failed with %d\n", r);
        return 1;
    }
    std::printf("demo flag: %d, communication: %s\n", api.setDemoMode(1, 0), api.commState() ? "ok" : "down");
    if (api.radKV) {
        std::printf("radiography: %d kV, %.1f mA, %.1f ms, %.1f mAs\n", api.radKV(1, 0), api.radMA(1, 0) / 10.0,
                    api.radMS(1, 0) / 10.0, api.radMX(1, 0) / 10.0);
    }
    const unsigned char* tube = api.modelPointer(4);
    const unsigned char* version = api.modelPointer(17);
    const unsigned char* time = api.modelPointer(1);
    const unsigned char* limits = api.modelPointer(5);
    std::printf("tube %d: \"%s\"\n", tube[0], text(tube + 21, 16).c_str());
    std::printf("generator version: \"%s\"\n", text(version, 55).c_str());
    std::printf("generator time: 20%02d-%02d-%02d %02d:%02d:%02d\n", time[0], time[1], time[2], time[3], time[4],
                time[5]);
    std::printf("generator limits: %d kV max, %d kV min\n", limits[0], limits[1]);
    std::printf("error 200 reads: \"%s\"\n", api.errorMessage(200).text);

    KestroMessageView m{};
    while (api.getMessage(window, &m, 0) == 1)
        std::printf("notification: (%lu, %ld)\n", static_cast<unsigned long>(m.wParam), static_cast<long>(m.lParam));

    api.closeComm(1);
    api.deleteRes();
    api.destroyWindow(window);
    std::printf("settings files: %s/Gen/INI\n", hostDir.c_str());
    std::printf("trace file: %s\n", todaysTrace(hostDir).c_str());
    return 0;
}

const char* describe(uintptr_t w, intptr_t l) {
    switch (w) {
        case 1: return l == 1 ? "radiography exposure ended" : l == 2 ? "radiography exposure started" : "exposure state 2";
        case 2: return l == 1 ? "prepare released" : l == 2 ? "preparing" : "ready to expose";
        case 3: return l == 1 ? "fluoroscopy prepare off" : "fluoroscopy prepare on";
        case 4: return l == 1 ? "fluoroscopy off" : "fluoroscopy on";
        case 5: return "error log entry";
        case 6: return "generator error";
        case 7: return "calibration entered";
        case 8: return "HMA";
        case 9: return "ready light";
        case 11: return "receptor selected";
        default: return "notification";
    }
}

// A real serial session: kestro-sim on a pseudo-terminal plays the generator.
int runSession(const std::string& hostDir, const std::string& library, const std::string& simPath) {
    kestro::cli::SimProcess sim;
    std::string error;
    if (!sim.start(simPath, &error)) {
        std::fprintf(stderr, "kestro: cannot start the simulator: %s\n", error.c_str());
        return 1;
    }
    std::printf("simulator: %s on %s\n", simPath.c_str(), sim.ptyPath().c_str());

    kestro::cli::HostSetup setup;
    setup.demo = false;
    setup.communicationType = 1;
    setup.comPort = 1;
    if (!kestro::cli::prepareHostDirectory(hostDir, setup, &error)) {
        std::fprintf(stderr, "kestro: %s\n", error.c_str());
        return 1;
    }
    ::setenv("KESTRO_HOST_DIR", hostDir.c_str(), 1);
    ::setenv("KESTRO_COM1", sim.ptyPath().c_str(), 1);

    Api api;
    if (!loadApi(api, library)) return 1;
    HWND window = api.createWindow();
    int r = api.initGenerator(window);
    std::printf("IO_InitGenerator: %d (%s)\n", r, r == 1 ? "generator answers" : "start-up failed");
    if (r != 1) {
        api.deleteRes();
        return 1;
    }
    if (api.radKV) {
        std::printf("set 80 kV -> %d kV\n", api.radKV(0, 80));
        std::printf("set 20.0 mA -> %.1f mA\n", api.radMA(0, 200) / 10.0);
        std::printf("set 100.0 ms -> %.1f ms\n", api.radMS(0, 1000) / 10.0);
        std::printf("mAs now %.1f\n", api.radMX(1, 0) / 10.0);
    }
    std::printf("exposure requested at the generator\n");
    sim.control("expose 100");
    KestroMessageView m{};
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        if (api.getMessage(window, &m, 100) != 1) continue;
        std::printf("  notification (%lu, %ld): %s\n", static_cast<unsigned long>(m.wParam),
                    static_cast<long>(m.lParam), describe(m.wParam, m.lParam));
        ended = (m.wParam == 2 && m.lParam == 1);
    }
    while (api.getMessage(window, &m, 200) == 1)
        std::printf("  notification (%lu, %ld): %s\n", static_cast<unsigned long>(m.wParam),
                    static_cast<long>(m.lParam), describe(m.wParam, m.lParam));
    std::printf("exposure %s\n", ended ? "completed" : "did not complete");
    api.closeComm(1);
    api.deleteRes();
    api.destroyWindow(window);
    sim.stop();
    std::printf("trace file: %s\n", todaysTrace(hostDir).c_str());
    return ended ? 0 : 1;
}

void usage() {
    std::printf(
        "usage: kestro [--library PATH] [--host-dir DIR] [--sim PATH] <command>\n"
        "commands:\n"
        "  session    start kestro-sim on a pseudo-terminal and run a serial session with one exposure\n"
        "  demo       start the library in demonstration mode and show the demo picture\n"
        "  version    print the version\n");
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);  // a simulator that went away must not end the tool
    std::string library = defaultLibrary();
    std::string simPath = kestro::cli::defaultSimulator(argv[0]);
    std::string hostDir;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--library" && i + 1 < argc) library = argv[++i];
        else if (a == "--host-dir" && i + 1 < argc) hostDir = argv[++i];
        else if (a == "--sim" && i + 1 < argc) simPath = argv[++i];
        else if (a == "-h" || a == "--help") return usage(), 0;
        else args.push_back(a);
    }
    if (args.empty()) {
        usage();
        return 2;
    }
    if (hostDir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        hostDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestro-demo-host";
    }
    hostDir = std::filesystem::absolute(hostDir).string();
    if (args[0] == "demo") return runDemo(hostDir, library);
    if (args[0] == "session") return runSession(hostDir, library, simPath);
    if (args[0] == "version" || args[0] == "--version") {
        std::printf("kestro %s\n", KESTRO_VERSION_TEXT);
        return 0;
    }
    std::fprintf(stderr, "kestro: unknown command '%s'\n", args[0].c_str());
    usage();
    return 2;
}
