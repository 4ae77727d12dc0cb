// Commands that move whole data sets, tube files and single data packets: export,
// import, tube, packet.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include <kestro/kestro.h>

#include "command.h"
#include "session.h"

namespace kestro::cli {

namespace {

using FileFn = int (*)(const char*);
using ProgressFn = int (*)(KestroTransferProgress*);

// The 25 data packets: name and length in the settings image.
struct PacketInfo {
    const char* name;
    int length;
};
constexpr PacketInfo kPackets[25] = {
    {"Generator Time", 7},          {"Generator Error Log", 23},    {"Generator Statistics", 24},
    {"Tube Select", 47},            {"Generator Limits", 4},        {"Auxiliary Setup", 25},
    {"Auxiliary IO", 30},           {"AEC Setup", 10},              {"AEC RLF", 20},
    {"AEC Density", 16},            {"Fluo Setup", 48},             {"ABS Curve or DAP curve", 27},
    {"ABS KVBreak", 13},            {"Tube KW Limit", 386},         {"Cable Tank", 6},
    {"Tube Calibration", 202},      {"Version", 55},                {"Generator Information", 70},
    {"Load Calibration Curve", 40}, {"Load Calibration Break", 22}, {"Generator KW_MS Table", 73},
    {"Compatible Information", 10}, {"AEC Channel Film", 22},       {"Function Config", 10},
    {"Dynamic Filament Calibration", 386},
};

std::string todaysTrace(const std::string& hostDir) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char name[32];
    std::snprintf(name, sizeof name, "%4d%02d%02d.txt", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return hostDir + "/Trace/" + name;
}

std::string clockText(std::int64_t ms) {
    const std::int64_t s = ms / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld", static_cast<long long>(s / 60), static_cast<long long>(s % 60));
    return text;
}

// Shows the progress of the running transfer on standard error: a bar redrawn in place
// on a terminal, one line per section otherwise.
class ProgressView {
public:
    explicit ProgressView(ProgressFn fn) : fn_(fn), terminal_(::isatty(STDERR_FILENO) == 1) {
        if (fn_) thread_ = std::thread([this] { run(); });
    }
    ~ProgressView() { stop(); }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable()) thread_.join();
        if (terminal_ && drawn_) std::fputc('\n', stderr);
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            const bool last = done_;
            show();
            if (last) return;
            wake_.wait_for(lock, std::chrono::milliseconds(100));
        }
    }
    void show() {
        KestroTransferProgress p{};
        if (fn_(&p) < 0 || p.recordsTotal <= 0) return;
        const std::string section = p.section;
        if (terminal_) {
            constexpr int kWidth = 30;
            const int filled = p.recordsDone * kWidth / p.recordsTotal;
            std::string bar(static_cast<std::size_t>(filled), '#');
            bar.resize(kWidth, '.');
            std::string left = "--:--";
            if (p.recordsDone > 0 && p.recordsDone < p.recordsTotal)
                left = clockText(p.elapsedMs * (p.recordsTotal - p.recordsDone) / p.recordsDone);
            else if (p.recordsDone >= p.recordsTotal)
                left = "00:00";
            std::fprintf(stderr, "\r[%s] %3d/%-3d %-29.29s %s elapsed, %s left ", bar.c_str(), p.recordsDone,
                         p.recordsTotal, section.c_str(), clockText(p.elapsedMs).c_str(), left.c_str());
            std::fflush(stderr);
            drawn_ = true;
        } else if (section != lastSection_ && !section.empty()) {
            std::fprintf(stderr, "section %2d/%-2d %-30s records %d/%d, %s elapsed\n", p.sectionNumber, p.sectionCount,
                         section.c_str(), p.recordsDone, p.recordsTotal, clockText(p.elapsedMs).c_str());
            std::fflush(stderr);
            lastSection_ = section;
        }
    }

    ProgressFn fn_;
    bool terminal_;
    bool drawn_ = false;
    std::string lastSection_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

int missing(Output& out, const char* what) { return out.fail(kExitRefused, std::string("this library has no ") + what); }

// Runs one of the long transfers with the progress shown, then reports the result.
int runTransfer(Context& c, const char* exportName, const char* what, const std::string& path) {
    Api& api = c.session->api();
    auto fn = reinterpret_cast<FileFn>(api.symbol(exportName));
    if (!fn) return missing(c.out, exportName);
    auto progress = reinterpret_cast<ProgressFn>(api.symbol("KestroGetTransferProgress"));
    int result = 0;
    {
        ProgressView view(progress);
        result = fn(path.c_str());
    }
    KestroTransferProgress p{};
    if (progress && progress(&p) >= 0) {
        Json j = Json::object();
        j.set("done", Json::integer(p.recordsDone));
        j.set("total", Json::integer(p.recordsTotal));
        j.set("elapsed_ms", Json::integer(static_cast<long long>(p.elapsedMs)));
        c.out.field("records", "records", std::move(j),
                    std::to_string(p.recordsDone) + "/" + std::to_string(p.recordsTotal) + " in " +
                        clockText(p.elapsedMs));
    }
    c.out.field("result", "result", Json::integer(result),
                std::string(what) + (result == 1 ? " done (1)" : " failed (" + std::to_string(result) + ")"));
    c.out.field("file", "file", Json::string(path), path);
    c.out.field("trace", "trace file", Json::string(todaysTrace(c.session->hostDir())), todaysTrace(c.session->hostDir()));
    c.session->pollNotifications(c.out);
    return result == 1 ? kExitDone : c.out.fail(kExitRefused, std::string(what) + " failed; the trace file says why");
}

// ---- export / import ------------------------------------------------------------------

std::string checkExport(const std::vector<std::string>& args) { return expectArgs(args, 1, 1); }

int runExport(Context& c) { return runTransfer(c, "IO_ExportGenData", "export", c.args[0]); }

struct ImportKind {
    const char* option;
    const char* exportName;
    const char* what;
};
constexpr ImportKind kImports[] = {
    {"", "IO_ImportGenData", "import"},
    {"--tube", "IO_ImportTubeCalibData", "tube calibration import"},
    {"--dap", "IO_ImportDAPCalibData", "DAP calibration import"},
    {"--aec", "IO_ImportAECCalibData", "AEC calibration import"},
    {"--other", "IO_ImportGenOtherData", "other data import"},
};

const ImportKind* importKind(const std::vector<std::string>& args, std::string& file, std::string& why) {
    const ImportKind* kind = &kImports[0];
    for (const std::string& a : args) {
        const ImportKind* found = nullptr;
        for (const ImportKind& k : kImports)
            if (*k.option && a == k.option) found = &k;
        if (found) {
            if (kind != &kImports[0]) return why = "--tube, --dap, --aec and --other exclude each other", nullptr;
            kind = found;
        } else if (a.rfind("--", 0) == 0) {
            return why = "unknown option " + a + " (--tube, --dap, --aec, --other)", nullptr;
        } else if (file.empty()) {
            file = a;
        } else {
            return why = "unexpected '" + a + "'", nullptr;
        }
    }
    if (file.empty()) return why = "missing arguments (FILE)", nullptr;
    return kind;
}

std::string checkImport(const std::vector<std::string>& args) {
    std::string file, why;
    importKind(args, file, why);
    return why;
}

int runImport(Context& c) {
    std::string file, why;
    const ImportKind* kind = importKind(c.args, file, why);
    return runTransfer(c, kind->exportName, kind->what, file);
}

// ---- tube apply -----------------------------------------------------------------------

struct TubeArgs {
    std::string file;
    int tube = 0;
    bool whole = false;
};

std::string parseTube(const std::vector<std::string>& args, TubeArgs& t) {
    if (args.empty() || args[0] != "apply") return "expected: apply FILE --tube 1|2 [--whole]";
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--whole") {
            t.whole = true;
        } else if (a == "--tube") {
            long n = 0;
            if (i + 1 >= args.size() || !parseInteger(args[i + 1], n) || (n != 1 && n != 2)) return "--tube takes 1 or 2";
            t.tube = static_cast<int>(n);
            ++i;
        } else if (a.rfind("--", 0) == 0) {
            return "unknown option " + a + " (--tube 1|2, --whole)";
        } else if (t.file.empty()) {
            t.file = a;
        } else {
            return "unexpected '" + a + "'";
        }
    }
    if (t.file.empty()) return "missing arguments (FILE)";
    if (t.tube == 0) return "missing --tube 1|2";
    return "";
}

std::string checkTube(const std::vector<std::string>& args) {
    TubeArgs t;
    return parseTube(args, t);
}

const char* tubeResultMeaning(int r, int tube) {
    if (r == tube || r == 1) return "applied";
    switch (r) {
        case -1: return "the file cannot be opened or is not a 2048-byte tube file";
        case -2: return "no such tube";
        case -3: return "the generator did not accept it";
        default: return "failed";
    }
}

int runTube(Context& c) {
    TubeArgs t;
    parseTube(c.args, t);
    Api& api = c.session->api();
    if (t.whole) {
        auto fn = reinterpret_cast<int (*)(const unsigned char*, int)>(api.symbol("IO_ApplyWholeTubeFile"));
        if (!fn) return missing(c.out, "IO_ApplyWholeTubeFile");
        std::ifstream in(t.file, std::ios::binary);
        std::vector<unsigned char> image(2048);
        in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
        if (!in || in.gcount() != 2048)
            return c.out.fail(kExitRefused, t.file + " is not a 2048-byte tube file (or cannot be read)");
        const int r = fn(image.data(), t.tube);
        c.out.field("whole", "record and kW-limit tables", Json::integer(r), r == 1 ? "applied" : "failed (0)");
        c.session->pollNotifications(c.out);
        return r == 1 ? kExitDone : c.out.fail(kExitRefused, "the generator did not accept the tube file");
    }
    auto record = reinterpret_cast<int (*)(const char*, int)>(api.symbol("IO_ApplyTubeFile"));
    auto tables = reinterpret_cast<int (*)(const char*, int)>(api.symbol("IO_ApplyTubeFile1"));
    if (!record || !tables) return missing(c.out, "tube-file functions");
    const int r1 = record(t.file.c_str(), t.tube);
    c.out.field("record", "tube record", Json::integer(r1), std::to_string(r1) + " (" + tubeResultMeaning(r1, t.tube) + ")");
    if (r1 != t.tube) return c.out.fail(kExitRefused, std::string("tube record: ") + tubeResultMeaning(r1, t.tube));
    const int r2 = tables(t.file.c_str(), t.tube);
    c.out.field("tables", "kW-limit tables", Json::integer(r2), std::to_string(r2) + " (" + tubeResultMeaning(r2, t.tube) + ")");
    c.session->pollNotifications(c.out);
    return r2 > 0 ? kExitDone : c.out.fail(kExitRefused, std::string("kW-limit tables: ") + tubeResultMeaning(r2, t.tube));
}

// ---- packet read / write --------------------------------------------------------------

bool parseHexByte(const std::string& text, unsigned char& out) {
    if (text.empty() || text.size() > 2) return false;
    unsigned v = 0;
    for (char ch : text) {
        v <<= 4;
        if (ch >= '0' && ch <= '9') v |= static_cast<unsigned>(ch - '0');
        else if (ch >= 'a' && ch <= 'f') v |= static_cast<unsigned>(ch - 'a' + 10);
        else if (ch >= 'A' && ch <= 'F') v |= static_cast<unsigned>(ch - 'A' + 10);
        else return false;
    }
    out = static_cast<unsigned char>(v);
    return true;
}

std::string checkPacket(const std::vector<std::string>& args) {
    if (args.empty() || (args[0] != "read" && args[0] != "write")) return "expected: read N [INDEX] | write N INDEX HEX...";
    const bool write = args[0] == "write";
    if (args.size() < (write ? 4u : 2u)) return write ? "missing arguments (N INDEX HEX...)" : "missing arguments (N)";
    if (!write && args.size() > 3) return "unexpected '" + args[3] + "'";
    long n = 0, index = 0;
    if (!parseInteger(args[1], n) || n < 1 || n > 25) return "the packet number is 1..25";
    if (args.size() > 2 && !parseInteger(args[2], index)) return "the index is a number";
    if (write) {
        if (args.size() - 3 > static_cast<std::size_t>(kPackets[n - 1].length))
            return std::string(kPackets[n - 1].name) + " holds " + std::to_string(kPackets[n - 1].length) + " bytes";
        unsigned char b = 0;
        for (std::size_t i = 3; i < args.size(); ++i)
            if (!parseHexByte(args[i], b)) return "bad hex byte '" + args[i] + "'";
    }
    return "";
}

std::string hexDump(const unsigned char* bytes, int length) {
    std::string out;
    char cell[16];
    for (int i = 0; i < length; ++i) {
        if (i % 16 == 0) {
            std::snprintf(cell, sizeof cell, "%s%04x ", i ? "\n" : "", i);
            out += cell;
        }
        std::snprintf(cell, sizeof cell, " %02X", bytes[i]);
        out += cell;
    }
    return out;
}

int runPacket(Context& c) {
    Api& api = c.session->api();
    auto refresh = reinterpret_cast<int (*)(int, int)>(api.symbol("IO_RefreshModelData"));
    auto apply = reinterpret_cast<int (*)(int, int)>(api.symbol("IO_UtilityModelData"));
    auto restore = reinterpret_cast<int (*)(int, int)>(api.symbol("IO_UtilityModelData1"));
    if (!refresh || !apply || !restore || !api.modelPointer) return missing(c.out, "data-packet functions");
    long n = 0, index = 0;
    parseInteger(c.args[1], n);
    if (c.args.size() > 2) parseInteger(c.args[2], index);
    const PacketInfo& info = kPackets[n - 1];
    const int packet = static_cast<int>(n);
    c.out.field("packet", "packet", Json::integer(packet), std::to_string(packet) + " " + info.name);
    unsigned char* bytes = api.modelPointer(packet);
    if (!bytes) return c.out.fail(kExitRefused, "no such packet");
    if (!refresh(packet, static_cast<int>(index)))
        return c.out.fail(kExitRefused, std::string(info.name) + ": the generator did not answer the read");
    if (c.args[0] == "write") {
        for (std::size_t i = 3; i < c.args.size(); ++i) parseHexByte(c.args[i], bytes[i - 3]);
        // Dynamic Filament Calibration is written only by the restore variant.
        const int r = packet == 25 ? restore(packet, static_cast<int>(index)) : apply(packet, static_cast<int>(index));
        if (!r) return c.out.fail(kExitRefused, std::string(info.name) + ": the generator did not accept the write");
        c.out.say("written " + std::to_string(c.args.size() - 3) + " bytes");
    }
    Json data = Json::array();
    for (int i = 0; i < info.length; ++i) data.push(Json::integer(bytes[i]));
    c.out.field("bytes", info.name, std::move(data), std::to_string(info.length) + " bytes\n" + hexDump(bytes, info.length));
    c.session->pollNotifications(c.out);
    return kExitDone;
}

}  // namespace

KESTRO_CLI_COMMAND(export) = {
    "export", "save the generator's whole configuration and calibration to FILE", "FILE",
    "  Runs for minutes (the generator needs its waits): a progress bar on a terminal, one\n"
    "  line per section otherwise (standard error). An earlier FILE is replaced only by a\n"
    "  complete export.\n",
    Needs::Generator, checkExport, runExport};

KESTRO_CLI_COMMAND(import) = {
    "import", "write a data file into the generator (all, or one group)", "FILE [--tube|--dap|--aec|--other]",
    "  --tube tube calibration, --dap DAP calibration, --aec AEC calibration, --other the\n"
    "  other data (tube records, limits, auxiliary and AEC setup, ...). A file that is not\n"
    "  a complete generator data file is refused before anything is sent.\n",
    Needs::Generator, checkImport, runImport};

KESTRO_CLI_COMMAND(tube) = {
    "tube", "apply a 2048-byte tube file to tube 1 or 2", "apply FILE --tube 1|2 [--whole]",
    "  Sends the tube record, then the four kW-limit tables. --whole reads the file here\n"
    "  and sends it as one image (IO_ApplyWholeTubeFile).\n",
    Needs::Generator, checkTube, runTube};

KESTRO_CLI_COMMAND(packet) = {
    "packet", "read a data packet (hex dump) or write bytes into one", "read N [INDEX] | write N INDEX HEX...",
    "  N is the packet number 1..25, INDEX its parameter (tube, receptor, channel, selector;\n"
    "  default 0). A write reads the packet first, puts the bytes at its start and writes it.\n",
    Needs::Generator, checkPacket, runPacket};

}  // namespace kestro::cli
