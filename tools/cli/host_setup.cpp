#include "host_setup.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestro::cli {

namespace fs = std::filesystem;

namespace {

const char* kCrlf = "\r\n";

std::string lines(std::initializer_list<std::string> text) {
    std::string s;
    for (const std::string& l : text) s += l + kCrlf;
    return s;
}

bool writeFile(const fs::path& path, const std::string& text, std::string* error) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    // Whole or not at all: a reader never sees a half-written settings file.
    const fs::path tmp = path.string() + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) {
            if (error) *error = "cannot write " + path.string();
            fs::remove(tmp, ec);
            return false;
        }
    }
    fs::rename(tmp, path, ec);
    if (ec) {
        if (error) *error = "cannot write " + path.string() + ": " + ec.message();
        fs::remove(tmp, ec);
        return false;
    }
    return true;
}

// Error texts for the codes the library raises itself and the generator's common ones.
std::string errorMessages() {
    // Keys 1..73 hold the numbers 1..73, 74..79 the numbers 100..105, 80.. the numbers
    // 200 and up (key = number - 120). 100 keys reach number 220.
    struct Known {
        int number;
        const char* text;
    };
    const Known known[] = {
        {49, "1:Manual fluoroscopy kV or mA change refused while ABS is on"},
        {200, "1:Generator error 200"},
        {203, "2:kV outside the allowed range"},
        {204, "2:mA outside the allowed range"},
        {205, "2:Exposure time outside the time table"},
        {206, "2:mAs outside the mAs table"},
        {212, "3:AEC density outside -8..8"},
        {213, "3:Value not allowed"},
        {219, "2:Fluoroscopy pulse rate outside the table"},
        {220, "2:Thermal warning: wait for the tube to cool"},
    };
    std::string s = lines({"; Error texts by number. Key 0 is the count N; keys 1..73 are errors 1..73,",
                           "; keys 74..79 errors 100..105, keys 80..N errors 200..N+120.",
                           "; A text may start with a number 1..100 and a colon (a category the host",
                           "; reads with GIGetGenErrorInformation).", "[Error Messages]", "0=100"});
    for (int key = 1; key <= 100; ++key) {
        const int number = key <= 73 ? key : key <= 79 ? key + 26 : key + 120;
        std::string text = "1:Generator error " + std::to_string(number);
        for (const Known& k : known)
            if (k.number == number) text = k.text;
        s += std::to_string(key) + "=" + text + kCrlf;
    }
    return s;
}

// A small reader for INI text: case-insensitive section and key, first match, trimmed.
std::string iniValue(const std::string& text, const std::string& section, const std::string& key, bool& found) {
    auto lower = [](std::string v) {
        for (char& ch : v) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        return v;
    };
    auto trim = [](std::string v) {
        while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back()))) v.pop_back();
        std::size_t i = 0;
        while (i < v.size() && std::isspace(static_cast<unsigned char>(v[i]))) ++i;
        return v.substr(i);
    };
    std::istringstream in(text);
    std::string line;
    bool inSection = false;
    found = false;
    while (std::getline(in, line)) {
        line = trim(line);
        if (!line.empty() && line.front() == '[') {
            std::size_t end = line.find(']');
            inSection = end != std::string::npos && lower(trim(line.substr(1, end - 1))) == lower(section);
            continue;
        }
        std::size_t eq = line.find('=');
        if (!inSection || eq == std::string::npos) continue;
        if (lower(trim(line.substr(0, eq))) != lower(key)) continue;
        std::string v = trim(line.substr(eq + 1));
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) v = v.substr(1, v.size() - 2);
        found = true;
        return v;
    }
    return "";
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

std::vector<std::pair<std::string, std::string>> hostDirectoryFiles(const HostSetup& setup) {
    const LineSettings& l = setup.line;
    return {
        {"Gen/INI/Path.ini",
         lines({"; The path index: where the library finds its three settings files. Paths are",
                "; relative to the host directory and start with a backslash.", "[INI Path]",
                "FunctionConfigPath=\\Gen\\INI\\FunctionConfig.ini", "LocalConfigPath=\\Gen\\INI\\LocalConfig.ini",
                "PathIniPath=\\Gen\\INI\\PathConfig.ini"})},
        {"Gen/INI/FunctionConfig.ini",
         lines({"; Function settings.", "[Function]",
                "; 1: demonstration mode at start-up (no port, the setters store locally); 0: a generator.",
                std::string("Demo Enable=") + (setup.demo ? "1" : "0"),
                "; 1: start-up also runs the compatibility query and fails (-5) without it.", "Comp Transfer=0",
                "; How many daily trace files to keep.", "Total Trace=10",
                "; 1: trace the status and heat polls (ST, HE) too.", "TraceSTHECommandFlag=0"})},
        {"Gen/INI/LocalConfig.ini",
         lines({"; Local communication settings.", "[Communication]", "; 0: CAN link; any other value: serial link.",
                "Communication Type=" + std::to_string(setup.communicationType), "[Serial comm]",
                "; Port number N: the device named by KESTRO_COMN, else /dev/ttyS(N-1).",
                "com=" + std::to_string(l.com), "; 4800, 9600 or 19200.", "baud=" + l.baud, "; 4 to 8.",
                "databit=" + l.dataBits, "; 1, 1.5 or 2.", "stopbit=" + l.stopBits, "; none, odd or even.",
                "parity=" + l.parity})},
        {"Gen/INI/PathConfig.ini",
         lines({"; Where the trace goes and where the error texts are, relative to the host directory.",
                "[LocalPath]", "TracePath=\\Trace\\", "[ErrorCodePath]", "PCInfoPath=\\Gen\\INI\\ErrorMessages.ini"})},
        {"Gen/INI/ErrorMessages.ini", errorMessages()},
    };
}

std::string ownHostDirectory(const std::string& kind) {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    fs::path base;
    if (state && *state == '/') base = fs::path(state) / "kestro";
    else if (home && *home) base = fs::path(home) / ".local" / "state" / "kestro";
    else base = fs::temp_directory_path() / ("kestro-" + std::to_string(::getuid()));
    return (base / kind).string();
}

bool prepareHostDirectory(const std::string& dir, const HostSetup& setup, std::string* error) {
    for (const auto& [relative, text] : hostDirectoryFiles(setup))
        if (!writeFile(fs::path(dir) / relative, text, error)) return false;
    std::error_code ec;
    fs::create_directories(fs::path(dir) / "Trace", ec);
    return true;
}

bool writeExampleHostDirectory(const std::string& dir, std::vector<std::string>& written, std::string* error) {
    HostSetup setup;
    setup.demo = false;
    const auto files = hostDirectoryFiles(setup);
    std::string existing;
    for (const auto& [relative, text] : files)
        if (fs::exists(fs::path(dir) / relative)) existing += (existing.empty() ? "" : ", ") + relative;
    if (!existing.empty()) {
        if (error) *error = dir + " holds settings files already (" + existing + "); nothing was written";
        return false;
    }
    for (const auto& [relative, text] : files) {
        if (!writeFile(fs::path(dir) / relative, text, error)) return false;
        written.push_back((fs::path(dir) / relative).string());
    }
    std::error_code ec;
    fs::create_directories(fs::path(dir) / "Trace", ec);
    if (ec) {
        if (error) *error = "cannot create " + (fs::path(dir) / "Trace").string() + ": " + ec.message();
        return false;
    }
    written.push_back((fs::path(dir) / "Trace").string() + "/");
    return true;
}

std::string configuredPath(const std::string& hostDir, const std::string& value) {
    std::string v = value;
    for (char& ch : v)
        if (ch == '\\') ch = '/';
    // As the library does: the value follows the directory directly (it carries its own
    // leading separator); an empty value is the directory itself.
    return hostDir + (v.empty() ? "/" : v);
}

bool hasPathIndex(const std::string& hostDir) { return fs::exists(fs::path(hostDir) / "Gen/INI/Path.ini"); }

std::string readSetting(const std::string& hostDir, const std::string& fileKey, const std::string& section,
                        const std::string& key, const std::string& fallback) {
    bool found = false;
    const std::string index = readText(fs::path(hostDir) / "Gen/INI/Path.ini");
    const std::string file = iniValue(index, "INI Path", fileKey, found);
    if (!found || file.empty()) return fallback;
    const std::string value = iniValue(readText(configuredPath(hostDir, file)), section, key, found);
    return found ? value : fallback;
}

}  // namespace kestro::cli
