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
    int (*stValue)() = nullptr;
    int (*fluoKV)(unsigned char, int) = nullptr;
    int (*fluoMA)(unsigned char, int) = nullptr;
    int (*fluoPPS)(unsigned char, int) = nullptr;
    int (*accTimer)(unsigned char) = nullptr;
    int (*intTimer)(unsigned char) = nullptr;
    int (*anodeHeat)(unsigned char) = nullptr;
    int (*housingHeat)() = nullptr;
    int (*postMAS)() = nullptr;
    int (*postTime)() = nullptr;
    int (*genKW)() = nullptr;
    int (*calibParameters)() = nullptr;
    int (*calibMA)() = nullptr;
    int (*calibFilament)() = nullptr;
    int (*calibKV)() = nullptr;
    int (*aecDensity)(unsigned char, int) = nullptr;

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
    api.bind(api.stValue, "IO_GetSTValue", false);
    api.bind(api.fluoKV, "IO_FluoKVValue", false);
    api.bind(api.fluoMA, "IO_FluoMAValue", false);
    api.bind(api.fluoPPS, "IO_FluoPPSValue", false);
    api.bind(api.accTimer, "IO_FluoGetAccTimer", false);
    api.bind(api.intTimer, "IO_FluoGetIntTimer", false);
    api.bind(api.anodeHeat, "IO_GetAnodeTubeHeat", false);
    api.bind(api.housingHeat, "IO_GetHousingTubeHeat", false);
    api.bind(api.postMAS, "IO_GetPostMASValue", false);
    api.bind(api.postTime, "IO_GetPostTIMEValue", false);
    api.bind(api.genKW, "IO_GetGenKW", false);
    api.bind(api.calibParameters, "IO_CalibGetParameters", false);
    api.bind(api.calibMA, "IO_CalibGetMA", false);
    api.bind(api.calibFilament, "IO_CalibGetFilament", false);
    api.bind(api.calibKV, "IO_CalibGetKV", false);
    api.bind(api.aecDensity, "IO_RadAECDens", false);
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


// ---- Operator commands: one connection, one command, then close ----------------------

struct Connection {
    Api api;
    HWND window = nullptr;
    kestro::cli::SimProcess sim;
    bool open = false;

    ~Connection() {
        if (open) {
            api.closeComm(1);
            api.deleteRes();
            api.destroyWindow(window);
        }
        sim.stop();
    }
};

// mode: "sim" (start kestro-sim), "demo" (no generator) or a device path.
bool connect(Connection& c, const std::string& mode, const std::string& hostDir, const std::string& library,
             const std::string& simPath) {
    std::string error;
    kestro::cli::HostSetup setup;
    setup.demo = (mode == "demo");
    std::string device = mode;
    if (mode == "sim") {
        if (!c.sim.start(simPath, &error)) {
            std::fprintf(stderr, "kestro: cannot start the simulator: %s\n", error.c_str());
            return false;
        }
        device = c.sim.ptyPath();
    }
    if (!kestro::cli::prepareHostDirectory(hostDir, setup, &error)) {
        std::fprintf(stderr, "kestro: %s\n", error.c_str());
        return false;
    }
    ::setenv("KESTRO_HOST_DIR", hostDir.c_str(), 1);
    if (!setup.demo) ::setenv("KESTRO_COM1", device.c_str(), 1);
    if (!loadApi(c.api, library)) return false;
    c.window = c.api.createWindow();
    int r = c.api.initGenerator(c.window);
    c.open = true;
    if (r != 1) {
        std::fprintf(stderr, "kestro: start-up failed with %d (%s)\n", r,
                     r == -2 ? "the generator does not answer" : r == 0 ? "the port could not be opened" : "see the trace");
        return false;
    }
    return true;
}

// Prints the notifications queued so far, with error texts.
void printNotifications(Connection& c) {
    KestroMessageView m{};
    while (c.api.getMessage(c.window, &m, 0) == 1) {
        std::printf("notification (%lu, %ld): %s", static_cast<unsigned long>(m.wParam), static_cast<long>(m.lParam),
                    describe(m.wParam, m.lParam));
        if (m.wParam == 5 || m.wParam == 6) {
            const char* text = c.api.errorMessage(static_cast<int>(m.lParam)).text;
            if (text && *text) std::printf(" %ld: %s", static_cast<long>(m.lParam), text);
        }
        std::printf("\n");
    }
}

int runStatus(Connection& c) {
    if (!c.api.stValue || !c.api.radKV) {
        std::fprintf(stderr, "kestro: this library has no status functions\n");
        return 1;
    }
    std::printf("generator state   %d\n", c.api.stValue());
    std::printf("communication     %s\n", c.api.commState() ? "ok" : "down");
    std::printf("anode heat        %d %%\n", c.api.anodeHeat(1));
    std::printf("housing heat      %d %%\n", c.api.housingHeat());
    std::printf("generator power   %d kW\n", c.api.genKW());
    std::printf("radiography       %d kV  %.1f mA  %.1f ms  %.1f mAs\n", c.api.radKV(1, 0), c.api.radMA(1, 0) / 10.0,
                c.api.radMS(1, 0) / 10.0, c.api.radMX(1, 0) / 10.0);
    std::printf("fluoroscopy       %d kV  %d mA\n", c.api.fluoKV(1, 0), c.api.fluoMA(1, 0));
    std::printf("last exposure     %.1f mAs  %.1f ms\n", c.api.postMAS() / 10.0, c.api.postTime() / 10.0);
    printNotifications(c);
    return 0;
}

using ValueFn = int (*)(unsigned char, int);

ValueFn valueFunction(Api& api, const std::string& name) {
    if (name == "kv") return api.radKV;
    if (name == "ma") return api.radMA;
    if (name == "ms") return api.radMS;
    if (name == "mas") return api.radMX;
    if (name == "density") return api.aecDensity;
    if (name == "fluo-kv") return api.fluoKV;
    if (name == "fluo-ma") return api.fluoMA;
    if (name == "fluo-pps") return api.fluoPPS;
    return nullptr;
}

int runSetOrStep(Connection& c, bool step, const std::string& name, const std::string& value) {
    ValueFn fn = valueFunction(c.api, name);
    if (!fn) {
        std::fprintf(stderr, "kestro: unknown value '%s' (kv, ma, ms, mas, density, fluo-kv, fluo-ma, fluo-pps)\n",
                     name.c_str());
        return 2;
    }
    char* end = nullptr;
    long v = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || (step && (v < -2 || v > 2 || v == 0))) {
        std::fprintf(stderr, "kestro: bad %s '%s'%s\n", step ? "step" : "value", value.c_str(),
                     step ? " (use -2, -1, +1 or +2)" : "");
        return 2;
    }
    int result = fn(step ? 1 : 0, static_cast<int>(v));
    std::printf("%s = %d%s\n", name.c_str(), result, result == -1 ? " (no answer)" : "");
    printNotifications(c);
    return result == -1 ? 1 : 0;
}

int runTimers(Connection& c) {
    if (!c.api.accTimer) return std::fprintf(stderr, "kestro: this library has no fluoroscopy timers\n"), 1;
    std::printf("fluoroscopy accumulated timer  %d\n", c.api.accTimer(1));
    std::printf("fluoroscopy integral timer     %d\n", c.api.intTimer(1));
    return 0;
}

int runCalibration(Connection& c) {
    if (!c.api.calibParameters) return std::fprintf(stderr, "kestro: this library has no calibration read-back\n"), 1;
    int r = c.api.calibParameters();  // 0 answered, -1 not
    std::printf("calibration read-back: %s\n", r == 0 ? "answered" : "no answer");
    std::printf("  kV        %d\n", c.api.calibKV());
    std::printf("  mA        %.1f\n", c.api.calibMA() / 10.0);
    std::printf("  filament  %.3f\n", c.api.calibFilament() / 1000.0);
    return r == 0 ? 0 : 1;
}

void usage() {
    std::printf(
        "usage: kestro [--library PATH] [--host-dir DIR] [--sim PATH] [--device PATH|--demo] <command>\n"
        "commands:\n"
        "  session    start kestro-sim on a pseudo-terminal and run a serial session with one exposure\n"
        "  demo       start the library in demonstration mode and show the demo picture\n"
        "  status                 state, heat, radiography and fluoroscopy values, errors\n"
        "  set NAME VALUE         set kv, ma, ms, mas (tenths for ma/ms/mas), density, fluo-kv, fluo-ma, fluo-pps\n"
        "  step NAME -2|-1|+1|+2  step one of those values\n"
        "  timers                 query the fluoroscopy timers\n"
        "  calibration            the calibration read-back (kV, mA, filament)\n"
        "the last five talk to the generator on --device PATH, to a simulator started for the\n"
        "command (--sim-generator, the default), or to none (--demo)\n"
        "  version    print the version\n");
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);  // a simulator that went away must not end the tool
    std::string library = defaultLibrary();
    std::string simPath = kestro::cli::defaultSimulator(argv[0]);
    std::string hostDir;
    std::string mode = "sim";
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--library" && i + 1 < argc) library = argv[++i];
        else if (a == "--host-dir" && i + 1 < argc) hostDir = argv[++i];
        else if (a == "--sim" && i + 1 < argc) simPath = argv[++i];
        else if (a == "--device" && i + 1 < argc) mode = argv[++i];
        else if (a == "--demo") mode = "demo";
        else if (a == "--sim-generator") mode = "sim";
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
    const std::string& cmd = args[0];
    if (cmd == "status" || cmd == "set" || cmd == "step" || cmd == "timers" || cmd == "calibration") {
        if ((cmd == "set" || cmd == "step") && args.size() != 3) {
            usage();
            return 2;
        }
        Connection c;
        if (!connect(c, mode, hostDir, library, simPath)) return 1;
        if (cmd == "status") return runStatus(c);
        if (cmd == "set") return runSetOrStep(c, false, args[1], args[2]);
        if (cmd == "step") return runSetOrStep(c, true, args[1], args[2]);
        if (cmd == "timers") return runTimers(c);
        return runCalibration(c);
    }
    if (args[0] == "version" || args[0] == "--version") {
        std::printf("kestro %s\n", KESTRO_VERSION_TEXT);
        return 0;
    }
    std::fprintf(stderr, "kestro: unknown command '%s'\n", args[0].c_str());
    usage();
    return 2;
}
