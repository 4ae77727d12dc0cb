// trace: the day's trace of a host directory, sent and received lines marked, error
// numbers with their texts; --follow keeps printing what is appended, as tail -f does.

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "command.h"
#include "host_setup.h"
#include "interrupt.h"

namespace kestro::cli {

namespace {

namespace fs = std::filesystem;

const std::string kSent = "UI sent command            : ";
const std::string kReceived = "Got command from GEN :";

// The error-message table of a host directory, by error number (read-only).
class ErrorTable {
public:
    explicit ErrorTable(const std::string& hostDir) {
        const std::string file = readSetting(hostDir, "PathIniPath", "ErrorCodePath", "PCInfoPath", "");
        if (file.empty()) return;
        std::ifstream in(configuredPath(hostDir, file), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string text = ss.str();
        // Parse [Error Messages] key=value lines once.
        std::istringstream lines(text);
        std::string line;
        bool inSection = false;
        std::map<long, std::string> byKey;
        while (std::getline(lines, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
            if (!line.empty() && line.front() == '[') {
                inSection = line.find("Error Messages") != std::string::npos;
                continue;
            }
            std::size_t eq = line.find('=');
            long key = 0;
            if (!inSection || eq == std::string::npos || !parseInteger(line.substr(0, eq), key)) continue;
            if (!byKey.count(key)) byKey[key] = line.substr(eq + 1);
        }
        long n = 0;
        if (byKey.count(0)) parseInteger(byKey[0], n);
        for (long key = 1; key <= n && key <= 65536; ++key) {
            const long number = key <= 73 ? key : key <= 79 ? key + 26 : key + 120;
            if (byKey.count(key)) texts_[number] = byKey[key];
        }
    }
    std::string text(long number) const {
        auto it = texts_.find(number);
        return it == texts_.end() ? "" : strip(it->second);
    }
    // The number whose table text the library wrote in place of an error item, or -1.
    long numberOf(const std::string& text) const {
        for (const auto& [number, t] : texts_)
            if (!t.empty() && t == text) return number;
        return -1;
    }
    static std::string strip(const std::string& t) {
        std::size_t d = 0;
        while (d < t.size() && std::isdigit(static_cast<unsigned char>(t[d]))) ++d;
        return d > 0 && d <= 3 && d < t.size() && t[d] == ':' ? t.substr(d + 1) : t;
    }

private:
    std::map<long, std::string> texts_;
};

struct TraceLine {
    std::string time, direction, text;
    long error = -1;
    std::string errorText;
};

TraceLine decode(const std::string& raw, const ErrorTable& errors) {
    TraceLine l;
    std::string s = raw;
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
    // "2026-12-10 11:08:17:150   text": 23 characters of time stamp and three spaces.
    if (s.size() >= 26 && s.compare(23, 3, "   ") == 0 && s[4] == '-' && s[10] == ' ') {
        l.time = s.substr(0, 23);
        s = s.substr(26);
    }
    auto after = [](const std::string& t, std::size_t at) {
        std::string v = t.substr(at);
        while (!v.empty() && v.front() == ' ') v.erase(0, 1);
        return v;
    };
    if (s.rfind(kSent, 0) == 0) {
        l.direction = "sent";
        l.text = after(s, kSent.size());
    } else if (s.rfind(kReceived, 0) == 0) {
        l.direction = "received";
        l.text = after(s, kReceived.size());
    } else {
        l.direction = "note";
        l.text = s;
    }
    if (l.direction != "note") {
        long n = 0;
        if (l.text.size() == 5 && (l.text.rfind("ER", 0) == 0 || l.text.rfind("EL", 0) == 0) &&
            parseInteger(l.text.substr(2), n)) {
            l.error = n;
        } else if (l.direction == "received") {
            l.error = errors.numberOf(l.text);  // the library traced the text in place of the item
        }
        if (l.error >= 0) l.errorText = errors.text(l.error);
    }
    return l;
}

void print(Output& out, const TraceLine& l, Json* collect) {
    if (out.json()) {
        Json j = Json::object();
        j.set("time", Json::string(l.time));
        j.set("direction", Json::string(l.direction));
        j.set("text", Json::string(l.text));
        if (l.error >= 0) {
            Json e = Json::object();
            e.set("number", Json::integer(l.error));
            e.set("text", Json::string(l.errorText));
            j.set("error", std::move(e));
        }
        if (collect) collect->push(std::move(j));
        else std::printf("%s\n", j.dump().c_str());
        return;
    }
    const char* mark = l.direction == "sent" ? ">" : l.direction == "received" ? "<" : " ";
    std::string s = (l.time.empty() ? std::string(23, ' ') : l.time) + "  " + mark + " " + l.text;
    if (l.error >= 0)
        s += "   [error " + std::to_string(l.error) + (l.errorText.empty() ? "" : ": " + l.errorText) + "]";
    std::printf("%s\n", s.c_str());
}

std::string todaysName() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char name[32];
    std::snprintf(name, sizeof name, "%4d%02d%02d.txt", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return name;
}

std::string traceDirectory(const std::string& hostDir) {
    const std::string configured = readSetting(hostDir, "PathIniPath", "LocalPath", "TracePath", "");
    return configuredPath(hostDir, configured);
}

std::string checkTrace(const std::vector<std::string>& args) {
    int files = 0;
    for (const std::string& a : args) {
        if (a == "--follow" || a == "-f") continue;
        if (a.rfind("-", 0) == 0) return "unknown option '" + a + "' (--follow)";
        if (++files > 1) return "unexpected '" + a + "'";
    }
    return "";
}

int runTrace(Context& c) {
    bool follow = false;
    std::string file;
    for (const std::string& a : c.args) {
        if (a == "--follow" || a == "-f") follow = true;
        else file = fs::absolute(a).string();
    }
    const Options& o = c.options;
    const std::string hostDir = o.hostDirGiven ? o.hostDir
                                               : ownHostDirectory(o.mode == Mode::Demo ? "demo"
                                                                  : o.mode == Mode::Simulator ? "sim" : "device");
    const bool fixedFile = !file.empty();
    auto currentFile = [&] { return fixedFile ? file : (fs::path(traceDirectory(hostDir)) / todaysName()).string(); };
    const ErrorTable errors(hostDir);
    std::string path = currentFile();
    if (!follow && !fs::exists(path)) return c.out.fail(kExitRefused, "no trace file " + path);
    if (!c.out.json()) std::printf("trace %s\n", path.c_str());
    std::fflush(stdout);

    Json collected = Json::array();
    std::uintmax_t offset = 0;
    std::string partial;
    if (follow) installInterruptHandler();
    for (;;) {
        std::error_code ec;
        const std::uintmax_t size = fs::exists(path, ec) ? fs::file_size(path, ec) : 0;
        if (size < offset) offset = 0;  // truncated or replaced: from the start
        if (size > offset) {
            std::ifstream in(path, std::ios::binary);
            in.seekg(static_cast<std::streamoff>(offset));
            std::string chunk(static_cast<std::size_t>(size - offset), '\0');
            in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
            chunk.resize(static_cast<std::size_t>(in.gcount()));
            offset += chunk.size();
            partial += chunk;
            std::size_t at;
            while ((at = partial.find('\n')) != std::string::npos) {
                print(c.out, decode(partial.substr(0, at), errors), follow ? nullptr : &collected);
                partial.erase(0, at + 1);
            }
            std::fflush(stdout);
        }
        if (!follow) break;
        if (interrupted()) break;
        ::poll(nullptr, 0, 200);
        if (!fixedFile) {
            const std::string now = currentFile();
            if (now != path) {  // a new day: its own file
                path = now;
                offset = 0;
                partial.clear();
            }
        }
    }
    if (!follow && !partial.empty()) print(c.out, decode(partial, errors), &collected);
    if (c.out.json() && !follow) {
        c.out.doc().set("file", Json::string(path));
        c.out.doc().set("lines", std::move(collected));
    }
    return kExitDone;
}

}  // namespace

KESTRO_CLI_COMMAND(trace) = {
    "trace", "the day's trace of the host directory (> sent, < received, errors with texts)", "[FILE] [--follow]",
    "  Without FILE: today's file in the trace directory of --host-dir DIR, else of the\n"
    "  tool's own directory for the mode (simulator, --demo, --device). --follow keeps\n"
    "  printing lines as they are appended, as tail -f does, until Ctrl-C.\n",
    Needs::Nothing, checkTrace, runTrace};

}  // namespace kestro::cli
