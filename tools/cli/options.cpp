#include "options.h"

#include <filesystem>

#include "library.h"
#include "sim_process.h"

namespace kestro::cli {

namespace {

bool oneOf(const std::string& v, std::initializer_list<const char*> allowed) {
    for (const char* a : allowed)
        if (v == a) return true;
    return false;
}

// Applies one word that may be an option. Returns true when it was one (i advanced past
// its value), false for a plain word. Sets error on a bad option.
bool takeOption(const std::vector<std::string>& w, std::size_t& i, Options& o, std::string& error, bool& sawMode,
                bool& sawDevice, bool& sawDemo) {
    const std::string& a = w[i];
    auto value = [&](std::string& into) {
        if (i + 1 >= w.size() || w[i + 1].empty() || w[i + 1].rfind("--", 0) == 0) {
            error = a + " needs a value";
            return false;
        }
        into = w[++i];
        return true;
    };
    std::string v;
    if (a == "--library") return value(o.library), true;
    if (a == "--sim") return value(o.simPath), true;
    if (a == "--host-dir") {
        if (value(v)) {
            o.hostDir = v;
            o.hostDirGiven = true;
        }
        return true;
    }
    if (a == "--device") {
        if (value(v)) {
            o.device = v;
            o.mode = Mode::Device;
            sawDevice = true;
        }
        return true;
    }
    if (a == "--can") {
        // "--can BUS" names a bus; "--can" alone runs the simulator over CAN.
        o.overCan = true;
        if (i + 1 < w.size() && (w[i + 1].rfind("socketcan:", 0) == 0 || w[i + 1].rfind("socketcand:", 0) == 0)) {
            o.canBus = w[++i];
            o.mode = Mode::Device;
            sawDevice = true;
        }
        return true;
    }
    if (a == "--demo") {
        o.mode = Mode::Demo;
        sawDemo = true;
        return true;
    }
    if (a == "--sim-generator") {
        o.mode = Mode::Simulator;
        sawMode = true;
        return true;
    }
    if (a == "--json") {
        o.json = true;
        return true;
    }
    if (a == "-h" || a == "--help") {
        o.help = true;
        return true;
    }
    if (a == "--com") {
        long n = 0;
        if (value(v) && (!parseInteger(v, n) || n < 1 || n > 255)) error = "--com takes a port number 1..255";
        o.line.com = static_cast<int>(n);
        o.line.given = true;
        return true;
    }
    if (a == "--baud") {
        if (value(v) && !oneOf(v, {"4800", "9600", "19200"})) error = "--baud takes 4800, 9600 or 19200";
        o.line.baud = v;
        o.line.given = true;
        return true;
    }
    if (a == "--parity") {
        if (value(v) && !oneOf(v, {"none", "odd", "even"})) error = "--parity takes none, odd or even";
        o.line.parity = v;
        o.line.given = true;
        return true;
    }
    if (a == "--data-bits") {
        if (value(v) && !oneOf(v, {"4", "5", "6", "7", "8"})) error = "--data-bits takes 4 to 8";
        o.line.dataBits = v;
        o.line.given = true;
        return true;
    }
    if (a == "--stop-bits") {
        if (value(v) && !oneOf(v, {"1", "1.5", "2"})) error = "--stop-bits takes 1, 1.5 or 2";
        o.line.stopBits = v;
        o.line.given = true;
        return true;
    }
    return false;
}

std::string parseWords(const std::vector<std::string>& w, Options& o) {
    std::string error;
    bool sawMode = false, sawDevice = false, sawDemo = false, rest = false;
    for (std::size_t i = 0; i < w.size() && error.empty(); ++i) {
        if (!rest && w[i] == "--") {
            rest = true;
            continue;
        }
        if (!rest && takeOption(w, i, o, error, sawMode, sawDevice, sawDemo)) continue;
        if (o.command.empty()) {
            if (!rest && w[i] == "--version") {
                o.command = "version";
                continue;
            }
            if (!rest && w[i].rfind("--", 0) == 0) return "unknown option " + w[i];
            o.command = w[i];
        } else {
            o.args.push_back(w[i]);
        }
    }
    if (!error.empty()) return error;
    if ((sawDemo ? 1 : 0) + (sawDevice ? 1 : 0) + (sawMode ? 1 : 0) > 1)
        return "--demo, --device, --can BUS and --sim-generator exclude each other";
    if (o.overCan && !o.device.empty()) return "--device and --can exclude each other";
    if (o.overCan && o.mode == Mode::Demo) return "--demo and --can exclude each other";
    return "";
}

}  // namespace

std::string parseOptions(int argc, char** argv, Options& o) {
    if (argc > 0 && argv[0]) o.program = argv[0];
    o.library = defaultLibrary();
    o.simPath = defaultSimulator(argc > 0 ? argv[0] : "kestro");
    std::vector<std::string> w(argv + 1, argv + argc);
    std::string error = parseWords(w, o);
    if (!error.empty()) return error;
    if (!o.hostDir.empty()) o.hostDir = std::filesystem::absolute(o.hostDir).lexically_normal().string();
    return "";
}

bool splitWords(const std::string& line, std::vector<std::string>& words, std::string* error) {
    words.clear();
    std::string cur;
    bool in = false;
    char quote = 0;
    for (char c : line) {
        if (quote) {
            if (c == quote) quote = 0;
            else cur.push_back(c);
        } else if (c == '"' || c == '\'') {
            quote = c;
            in = true;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (in) words.push_back(cur);
            cur.clear();
            in = false;
        } else {
            cur.push_back(c);
            in = true;
        }
    }
    if (quote) {
        if (error) *error = "unterminated quote";
        return false;
    }
    if (in) words.push_back(cur);
    return true;
}

std::string parseShellLine(const std::string& line, Options& o) {
    std::vector<std::string> w;
    std::string error;
    if (!splitWords(line, w, &error)) return error;
    for (const std::string& word : w)
        if (word == "--demo" || word == "--device" || word == "--can" || word == "--sim-generator" || word == "--host-dir" ||
            word == "--library" || word == "--sim" || word == "--com" || word == "--baud" || word == "--parity" ||
            word == "--data-bits" || word == "--stop-bits")
            return word + " belongs on the command line that starts the shell";
    o.command.clear();
    o.args.clear();
    o.help = false;
    return parseWords(w, o);
}

}  // namespace kestro::cli
