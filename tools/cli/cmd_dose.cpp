// Dose and compatibility: the dose-area product after an exposure, the generator's
// compatibility record, and the versions of the tool and the library.

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "command.h"
#include "host_setup.h"
#include "session.h"

namespace kestro::cli {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// "--name VALUE" pairs after the command word; empty when fine, else the reason.
std::string takePairs(const std::vector<std::string>& args, const std::vector<std::string>& names,
                      std::vector<std::pair<std::string, std::string>>* out) {
    for (std::size_t i = 0; i < args.size(); i += 2) {
        bool known = false;
        for (const std::string& n : names) known = known || args[i] == n;
        if (!known) return "unknown argument '" + args[i] + "'";
        if (i + 1 >= args.size()) return args[i] + " needs a value";
        if (out) out->emplace_back(args[i], args[i + 1]);
    }
    return "";
}

struct DapArgs {
    double area = 0;
    double height = 0;
    long exposeMs = 0;  // 0: use the last exposure as it is
};

std::string parseDap(const std::vector<std::string>& args, DapArgs& d) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string why = takePairs(args, {"--area", "--height", "--expose"}, &pairs);
    if (!why.empty()) return why;
    bool area = false, height = false;
    for (const auto& [name, value] : pairs) {
        if (name == "--expose") {
            if (!parseInteger(value, d.exposeMs) || d.exposeMs < 1 || d.exposeMs > 60000)
                return "--expose takes 1 to 60000 ms";
            continue;
        }
        double v = 0;
        if (!parseDecimal(value, v) || !std::isfinite(v) || v <= 0) return name + " takes a number above 0";
        (name == "--area" ? d.area : d.height) = v;
        (name == "--area" ? area : height) = true;
    }
    if (!area || !height) return "--area A and --height H are both needed";
    return "";
}

std::string checkDap(const std::vector<std::string>& args) {
    DapArgs d;
    return parseDap(args, d);
}

int runDap(Context& c) {
    DapArgs d;
    parseDap(c.args, d);
    Api& api = c.session->api();
    auto dap = reinterpret_cast<int (*)(double, double, double*)>(api.symbol("IO_GetDAPValueAfterExposure"));
    if (!dap || !api.postMAS) return c.out.fail(kExitRefused, "this library has no DAP calculation");
    if (d.exposeMs > 0) {
        SimProcess* sim = c.session->simulator();
        if (!sim) return c.out.fail(kExitUsage, "--expose needs the simulator");
        if (!sim->control("expose " + std::to_string(d.exposeMs)))
            return c.out.fail(kExitRefused, "the simulator did not take the exposure");
        // The post-exposure values arrive before the prepare is released (2, 1).
        const auto deadline = steady_clock::now() + milliseconds(d.exposeMs + 10000);
        bool released = false;
        MessageView m{};
        while (!released && steady_clock::now() < deadline) {
            if (!c.session->nextNotification(m, 100)) continue;
            c.out.notification(m.wParam, m.lParam, "");
            released = m.wParam == 2 && m.lParam == 1;
        }
        if (!released) return c.out.fail(kExitRefused, "the exposure did not end");
    }
    // The calculation takes the kV the library holds: ask the generator for it first.
    const int kv = api.radKV(1, 0);
    if (kv == -1) return c.out.fail(kExitRefused, "the generator did not answer the kV query");
    c.out.group("exposure", "last exposure",
                {{"kv", static_cast<double>(kv), 0, "kV"}, {"mas", api.postMAS() / 10.0, 1, "mAs"}});
    double value = 0;
    if (dap(d.area, d.height, &value) != 1) {
        c.session->pollNotifications(c.out);
        return c.out.fail(kExitRefused,
                          "no DAP: the library refused (no exposure yet, or its kV outside the dose-rate table; "
                          "the trace says which)");
    }
    c.out.quantity("area", {"area", d.area, 2, ""});
    c.out.quantity("height", {"height", d.height, 2, ""});
    c.out.quantity("dose-area product", {"dap", value, 3, ""});
    c.session->pollNotifications(c.out);
    return kExitDone;
}

// ---- compat --------------------------------------------------------------------------

const char* const kFieldNames[8] = {"OneMsEnable",           "secondTubeEnable",     "ABSDoseRate",
                                    "FluoRadCurves",         "AECDataChannelRelated", "DAPCalibrationUpdate",
                                    "bFunctionConfigDetect", "bDynamicFilCalib"};
constexpr int kFlagCount = 632;

std::string checkCompat(const std::vector<std::string>& args) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string why = takePairs(args, {"--entry"}, &pairs);
    if (!why.empty()) return why;
    if (pairs.size() > 10) return "at most 10 --entry lists";
    for (const auto& pair : pairs) {
        std::stringstream list(pair.second);
        std::string piece;
        int count = 0;
        while (std::getline(list, piece, ',')) {
            long v = 0;
            if (!parseInteger(piece, v) || v < 0 || v > 255) return "--entry takes up to eight numbers 0..255, e.g. 3,1,0,255";
            ++count;
        }
        if (count == 0 || count > 8) return "--entry takes up to eight numbers 0..255, e.g. 3,1,0,255";
    }
    return "";
}

// The function settings file of the host directory (through its path index).
std::filesystem::path functionSettingsFile(const std::string& hostDir) {
    std::ifstream index(std::filesystem::path(hostDir) / "Gen/INI/Path.ini");
    std::string line;
    while (std::getline(index, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        static const std::string key = "FunctionConfigPath=";
        if (line.rfind(key, 0) != 0) continue;
        std::string relative = line.substr(key.size());
        for (char& ch : relative)
            if (ch == '\\') ch = '/';
        return std::filesystem::path(hostDir + "/" + relative).lexically_normal();
    }
    return {};
}

// Writes the request entries as the [CompInformation] section for the query and puts
// the file back as it was afterwards.
class CompEntries {
public:
    bool write(const std::string& hostDir, const std::vector<std::string>& entries, std::string* error) {
        file_ = functionSettingsFile(hostDir);
        if (file_.empty()) return *error = "no function settings file in " + hostDir, false;
        std::ifstream in(file_, std::ios::binary);
        std::stringstream old;
        old << in.rdbuf();
        original_ = old.str();
        saved_ = true;
        // Drop an existing section, then append ours.
        std::string kept, line;
        bool inSection = false;
        std::stringstream lines(original_);
        while (std::getline(lines, line)) {
            std::string bare = line;
            if (!bare.empty() && bare.back() == '\r') bare.pop_back();
            if (!bare.empty() && bare.front() == '[') inSection = bare == "[CompInformation]";
            if (!inSection) kept += line + "\n";
        }
        kept += "[CompInformation]\r\ntotal=" + std::to_string(entries.size()) + "\r\n";
        for (std::size_t e = 0; e < entries.size(); ++e) kept += std::to_string(e) + "=" + entries[e] + "\r\n";
        std::ofstream out(file_, std::ios::binary | std::ios::trunc);
        out << kept;
        if (!out) return *error = "cannot write " + file_.string(), false;
        return true;
    }
    ~CompEntries() {
        if (saved_) std::ofstream(file_, std::ios::binary | std::ios::trunc) << original_;
    }

private:
    std::filesystem::path file_;
    std::string original_;
    bool saved_ = false;
};

int runCompat(Context& c) {
    Api& api = c.session->api();
    auto query = reinterpret_cast<int (*)()>(api.symbol("IO_GetGeneratorCompatibility"));
    auto copy = reinterpret_cast<void (*)(int*)>(api.symbol("IO_GeneratorCompatibility"));
    if (!query || !copy) return c.out.fail(kExitRefused, "this library has no compatibility query");
    std::vector<std::pair<std::string, std::string>> pairs;
    takePairs(c.args, {"--entry"}, &pairs);
    CompEntries entries;
    if (!pairs.empty() && c.options.hostDirGiven)
        return c.out.fail(kExitUsage, "compat --entry writes the request entries into the function settings; with "
                                      "--host-dir the tool never writes a user's settings (put them in the "
                                      "[CompInformation] section there)");
    if (!pairs.empty()) {
        std::vector<std::string> lists;
        for (const auto& pair : pairs) lists.push_back(pair.second);
        std::string error;
        if (!entries.write(c.session->hostDir(), lists, &error)) return c.out.fail(kExitUsage, error);
    }
    const int result = query();
    c.out.field("query", "IO_GetGeneratorCompatibility", Json::integer(result), std::to_string(result));
    if (result != 1) return c.out.fail(kExitRefused, "the compatibility query failed (the trace says why)");
    std::vector<int> record(8 + kFlagCount, 0);
    copy(record.data());
    for (int f = 0; f < 8; ++f)
        c.out.field(kFieldNames[f], kFieldNames[f], Json::integer(record[static_cast<std::size_t>(f)]),
                    std::to_string(record[static_cast<std::size_t>(f)]));
    Json flags = Json::array();
    std::string text;
    for (int flag = 0; flag < kFlagCount; ++flag) {
        if (record[static_cast<std::size_t>(8 + flag)] == 0) continue;
        flags.push(Json::integer(flag));
        text += (text.empty() ? "" : " ") + std::to_string(flag);
    }
    c.out.field("flags", "flags set", std::move(flags), text.empty() ? "none" : text);
    c.session->pollNotifications(c.out);
    return kExitDone;
}

// ---- version --------------------------------------------------------------------------

// The tool's version, and the library's own ("a.b.c.d") when it can be loaded. The
// library is loaded with the tool's host directory, where it keeps its trace.
int runVersion(Context& c) {
    c.out.field("version", "kestro", Json::string(KESTRO_VERSION_TEXT), KESTRO_VERSION_TEXT);
    // A user's directory is used as it is (loading opens no port); otherwise the tool's
    // own demonstration directory.
    std::string hostDir = c.options.hostDir;
    std::string error;
    if (!c.options.hostDirGiven) {
        hostDir = ownHostDirectory("demo");
        HostSetup setup;  // demonstration settings: loading opens no port
        if (!prepareHostDirectory(hostDir, setup, &error)) return c.out.fail(kExitNoConnection, error);
    }
    ::setenv("KESTRO_HOST_DIR", hostDir.c_str(), 1);
    Api api;
    if (!loadApi(api, c.options.library, &error)) return c.out.fail(kExitNoConnection, error);
    auto version = reinterpret_cast<const char* (*)()>(api.symbol("GIGetKestroDLLVersion"));
    const std::string text = version ? version() : "";
    c.out.field("library_version", "library", Json::string(text), text.empty() ? "(no version)" : text);
    c.out.field("library", "library file", Json::string(api.path), api.path);
    if (api.deleteRes) api.deleteRes();
    return kExitDone;
}

}  // namespace

KESTRO_CLI_COMMAND(dap) = {
    "dap", "dose-area product of the last exposure", "--area A --height H [--expose MS]",
    "  A is the field area and H the height (distance), in the host's units; both above 0.\n"
    "  --expose MS first runs an exposure of MS ms on the simulator.\n",
    Needs::Generator, checkDap, runDap};

KESTRO_CLI_COMMAND(compat) = {
    "compat", "the generator's compatibility record: its fields and the flags set", "[--entry N,N,...]...",
    "  Runs the compatibility query with the request entries of the host directory's function\n"
    "  settings, or with the --entry lists given (up to ten lists of up to eight numbers 0..255;\n"
    "  the settings file is put back as it was afterwards).\n",
    Needs::Generator, checkCompat, runCompat};

KESTRO_CLI_COMMAND(version) = {"version", "the versions of the tool and of the library", "", "", Needs::Nothing,
                               nullptr, runVersion};

}  // namespace kestro::cli
