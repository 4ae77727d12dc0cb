// The service console: download a file to it, upload its APR files from it.
//
//   kestro console download FILE [--op N] [--param P] [--console-device PATH]
//   kestro console upload DIR --struct|--data [--console-device PATH]
//
// With --host-dir the user's settings are used as they are (the console's port is their
// "com"); otherwise the tool writes its own host directory and, without --console-device,
// starts kestro-sim's console personality for the command. It opens the console with
// GSIInitConsole and follows the WM_CONSOLE_NOTIFY messages: a progress bar for
// downloads, the received file for uploads, and a clear message for each failure.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "command.h"
#include "host_setup.h"
#include "library.h"

namespace kestro::cli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kConsoleNotify = 0x7EA;  // WM_CONSOLE_NOTIFY

struct ConsoleArgs {
    bool download = true;
    std::string path;
    long operation = 1;
    long param = 0;
    std::string device;
};

std::string parseArgs(const std::vector<std::string>& args, ConsoleArgs& a) {
    if (args.empty()) return "download or upload?";
    if (args[0] != "download" && args[0] != "upload") return "unknown '" + args[0] + "' (download or upload)";
    a.download = args[0] == "download";
    bool sawStruct = false, sawData = false, sawOp = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& w = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        std::string v;
        if (w == "--op" && a.download) {
            if (!value(v) || !parseInteger(v, a.operation) || a.operation < 1 || a.operation > 13 ||
                a.operation == 12 || a.operation == 13)
                return "--op takes an operation 1..11 (12 and 13 are the uploads)";
            sawOp = true;
        } else if (w == "--param" && a.download) {
            if (!value(v) || !parseInteger(v, a.param) || a.param < 0 || a.param > 255)
                return "--param takes a byte 0..255";
        } else if (w == "--console-device") {
            if (!value(a.device) || a.device.empty()) return "--console-device needs a path";
        } else if (w == "--struct" && !a.download) {
            sawStruct = true;
            a.operation = 12;
        } else if (w == "--data" && !a.download) {
            sawData = true;
            a.operation = 13;
        } else if (w.rfind("--", 0) == 0) {
            return "unknown option " + w;
        } else if (a.path.empty()) {
            a.path = w;
        } else {
            return "unexpected '" + w + "'";
        }
    }
    (void)sawOp;
    if (a.path.empty()) return a.download ? "missing FILE" : "missing DIR";
    if (!a.download && sawStruct == sawData) return "upload takes one of --struct and --data";
    return "";
}

std::string checkConsole(const std::vector<std::string>& args) {
    ConsoleArgs a;
    return parseArgs(args, a);
}

// kestro-sim with its console personality, as a child; it ends when its input closes.
class ConsoleSim {
public:
    ~ConsoleSim() { stop(); }

    bool start(const std::string& program, std::string* error) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            if (error) *error = std::strerror(errno);
            return false;
        }
        pid_ = ::fork();
        if (pid_ < 0) {
            if (error) *error = std::strerror(errno);
            return false;
        }
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execlp(program.c_str(), program.c_str(), "--console", "--quiet", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        toChild_ = in[1];
        fromChild_ = out[0];
        // "PTY <generator>", then "CONSOLE <console>".
        std::string text;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (text.find("CONSOLE ") == std::string::npos || text.find('\n', text.find("CONSOLE ")) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            pollfd p{fromChild_, POLLIN, 0};
            char c;
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
                ::read(fromChild_, &c, 1) != 1) {
                if (error) *error = "no console announced by " + program;
                stop();
                return false;
            }
            text.push_back(c);
        }
        const std::size_t at = text.find("CONSOLE ") + 8;
        pty_ = text.substr(at, text.find('\n', at) - at);
        return true;
    }
    const std::string& pty() const { return pty_; }

    void stop() {
        if (toChild_ >= 0) ::close(toChild_);
        toChild_ = -1;
        if (pid_ > 0) {
            int status = 0;
            const auto deadline = Clock::now() + std::chrono::seconds(3);
            while (::waitpid(pid_, &status, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    ::kill(pid_, SIGTERM);
                    ::waitpid(pid_, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        pid_ = -1;
        if (fromChild_ >= 0) ::close(fromChild_);
        fromChild_ = -1;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string pty_;
};

// What a console notification means (those that are not progress).
std::string consoleMeaning(uintptr_t w, intptr_t l) {
    if (w == 1 && l == 1) return "the console signalled 0x05 during the upload request";
    if (w == 1 && l == 2) return "the console signalled 0x01";
    if (w == 1 && l == 3) return "download given up: the console did not answer five retries (2 s apart)";
    if (w == 2 && l == 1) return "receiving AprStruct.bin";
    if (w == 2 && l == 2) return "receiving AprData.bin";
    if (w == 2 && l == 3) return "AprData.bin received";
    if (w == 2 && l == 4) return "AprStruct.bin received";
    if (w == 2 && l == 5) return "upload aborted";
    return "";
}

void progressBar(Output& out, long long done, long long total) {
    if (out.json()) return;
    const int width = 30;
    const int filled = total > 0 ? static_cast<int>(done * width / total) : width;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(width, ' ');
    std::fprintf(stderr, "\r[%s] %lld/%lld bytes", bar.c_str(), done, total);
    std::fflush(stderr);
}

class ConsoleRun {
public:
    ConsoleRun(Context& c, ConsoleArgs a) : c_(c), a_(std::move(a)) {}
    ~ConsoleRun() { close(); }

    int open() {
        const Options& o = c_.options;
        if (o.mode == Mode::Demo) return c_.out.fail(kExitUsage, "console: demonstration mode has no console port");
        std::string error, device = a_.device;
        int com = o.line.com;
        std::string hostDir;
        if (o.hostDirGiven) {
            // The user's settings, used as they are: the console's port is their "com",
            // reached through KESTRO_COM<n> (or the system's port) unless --console-device
            // names the device.
            hostDir = o.hostDir;
            if (!hasPathIndex(hostDir))
                return c_.out.fail(kExitNoConnection, hostDir + " has no Gen/INI/Path.ini (kestro init " + hostDir +
                                                          " writes an example to edit)");
            long n = 0;
            if (!parseInteger(readSetting(hostDir, "LocalConfigPath", "Serial comm", "com", "0"), n) || n < 1) n = 1;
            com = static_cast<int>(n);
        } else {
            hostDir = ownHostDirectory(device.empty() ? "sim" : "device");
            HostSetup setup;
            setup.demo = false;
            setup.line = o.line;
            if (!prepareHostDirectory(hostDir, setup, &error)) return c_.out.fail(kExitNoConnection, error);
            if (device.empty()) {
                if (!sim_.start(o.simPath, &error))
                    return c_.out.fail(kExitNoConnection, "cannot start the console simulator: " + error);
                device = sim_.pty();
            }
        }
        const std::string variable = "KESTRO_COM" + std::to_string(com);
        if (!device.empty()) ::setenv(variable.c_str(), device.c_str(), 1);
        else if (const char* configured = std::getenv(variable.c_str())) device = configured;
        else device = "/dev/ttyS" + std::to_string(com - 1);
        ::setenv("KESTRO_HOST_DIR", hostDir.c_str(), 1);
        if (!loadApi(api_, o.library, &error)) return c_.out.fail(kExitNoConnection, error);
        loaded_ = true;
        init_ = reinterpret_cast<int (*)(HWND)>(api_.symbol("GSIInitConsole"));
        close_ = reinterpret_cast<int (*)()>(api_.symbol("GSICloseConsoleCommunication"));
        request_ = reinterpret_cast<void (*)(const char*, unsigned char, int)>(api_.symbol("GSIConsoleUpDownload"));
        if (!init_ || !close_ || !request_) return c_.out.fail(kExitRefused, "this library has no console exports");
        window_ = api_.createWindow();
        c_.out.field("console_port", "console port", Json::string(device),
                     device + " (COM" + std::to_string(com) + ")");
        if (init_(window_) != 1)
            return c_.out.fail(kExitNoConnection, "GSIInitConsole failed: cannot open " + device);
        opened_ = true;
        return kExitDone;
    }

    int download() {
        std::error_code ec;
        const fs::path file = fs::absolute(a_.path, ec);
        const bool frame = a_.operation == 9 || a_.operation == 10;
        long long size = 0;
        if (!frame) {
            if (!fs::is_regular_file(file, ec)) return c_.out.fail(kExitUsage, "console: cannot read " + a_.path);
            size = static_cast<long long>(fs::file_size(file, ec));
            if (size == 0) return c_.out.fail(kExitUsage, "console: " + a_.path + " is empty");
        }
        c_.out.field("file", "file", Json::string(file.string()), file.string());
        c_.out.field("operation", "operation", Json::integer(a_.operation), std::to_string(a_.operation));
        request_(file.string().c_str(), static_cast<unsigned char>(a_.param), static_cast<int>(a_.operation));
        if (frame) {
            // One frame, no transfer: an answer is reported when the console gives one.
            MessageView m{};
            bool answered = false;
            const auto deadline = Clock::now() + std::chrono::seconds(6);
            while (!answered && Clock::now() < deadline)
                answered = next(m, 100) && m.wParam == 512;
            c_.out.field("answered", "console answered", Json::boolean(answered), answered ? "yes" : "no");
            return kExitDone;
        }
        // The header and every block are acknowledged; the console ends with 0x04 after
        // the block with the end marker.
        const long long blocks = (size + 511) / 512;
        long long acks = 0;
        bool confirmed = false;
        MessageView m{};
        auto last = Clock::now();
        while (acks < blocks + 1 || !confirmed) {
            const int wait = acks >= blocks + 1 ? 1500 : 250;
            if (!next(m, wait)) {
                if (acks >= blocks + 1) break;  // all acknowledged; no end byte (no marker)
                if (Clock::now() - last > std::chrono::seconds(20)) {
                    endProgress();
                    return c_.out.fail(kExitRefused, "console: no answer for 20 s");
                }
                continue;
            }
            last = Clock::now();
            if (m.wParam == 1 && m.lParam == 3) {
                endProgress();
                return c_.out.fail(kExitRefused, "console: " + consoleMeaning(1, 3));
            }
            if (static_cast<long long>(m.wParam) == size && m.lParam == static_cast<intptr_t>(size) &&
                acks >= blocks) {
                confirmed = true;
                continue;
            }
            if (static_cast<long long>(m.wParam) == size) {
                // The first acknowledgement is the header's; each further one a block's.
                ++acks;
                progressBar(c_.out, std::min<long long>((acks - 1) * 512, size), size);
                progressShown_ = true;
                continue;
            }
            say(m);
        }
        endProgress();
        c_.out.field("size", "size", Json::integer(size), std::to_string(size) + " bytes");
        c_.out.field("blocks", "blocks acknowledged", Json::integer(acks > 0 ? acks - 1 : 0),
                     std::to_string(acks > 0 ? acks - 1 : 0));
        c_.out.field("finished", "console finished", Json::boolean(confirmed), confirmed ? "yes (0x04)" : "no end byte");
        return kExitDone;
    }

    int upload() {
        std::error_code ec;
        const fs::path dir = fs::absolute(a_.path, ec);
        if (!fs::is_directory(dir, ec)) return c_.out.fail(kExitUsage, "console: no directory " + a_.path);
        const bool isStruct = a_.operation == 12;
        const std::string name = isStruct ? "AprStruct.bin" : "AprData.bin";
        const intptr_t startCode = isStruct ? 1 : 2, endCode = isStruct ? 4 : 3;
        std::string target = dir.string();
        if (target.empty() || target.back() != '/') target += '/';
        request_(target.c_str(), 0, static_cast<int>(a_.operation));
        bool started = false;
        MessageView m{};
        auto last = Clock::now();
        for (;;) {
            if (!next(m, 250)) {
                if (Clock::now() - last > std::chrono::seconds(20))
                    return c_.out.fail(kExitRefused, "console: no answer for 20 s");
                continue;
            }
            last = Clock::now();
            if (m.wParam == 2 && m.lParam == startCode) {
                started = true;
                c_.out.say(consoleMeaning(2, startCode));
            } else if (m.wParam == 2 && m.lParam == endCode) {
                break;
            } else if (m.wParam == 2 && m.lParam == 5) {
                return c_.out.fail(kExitRefused,
                                   started ? "console: the upload of " + name +
                                                 " stopped: the console fell silent for 4 s (the file is incomplete)"
                                           : "console: the console did not start the upload within 2 s");
            } else {
                say(m);
            }
        }
        const fs::path file = dir / name;
        const auto size = static_cast<long long>(fs::file_size(file, ec));
        Json j = Json::object();
        j.set("name", Json::string(file.string()));
        j.set("size", Json::integer(size));
        c_.out.field("received", "received", std::move(j), file.string() + "  " + std::to_string(size) + " bytes");
        return kExitDone;
    }

private:
    bool next(MessageView& m, int timeoutMs) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (api_.getMessage(window_, &m, left > 0 ? static_cast<int>(left) : 0) != 1) return false;
            if (m.message == kConsoleNotify) return true;
        }
    }
    void say(const MessageView& m) {
        const std::string meaning = consoleMeaning(m.wParam, m.lParam);
        c_.out.say("console notification (" + std::to_string(m.wParam) + ", " + std::to_string(m.lParam) +
                   ")" + (meaning.empty() ? "" : ": " + meaning));
    }
    void endProgress() {
        if (progressShown_ && !c_.out.json()) std::fprintf(stderr, "\n");
        progressShown_ = false;
    }
    void close() {
        if (loaded_) {
            if (opened_) close_();
            api_.deleteRes();
            if (window_) api_.destroyWindow(window_);
            window_ = nullptr;
            loaded_ = opened_ = false;
        }
        sim_.stop();
    }

    Context& c_;
    ConsoleArgs a_;
    ConsoleSim sim_;
    Api api_;
    HWND window_ = nullptr;
    bool loaded_ = false;
    bool opened_ = false;
    bool progressShown_ = false;
    int (*init_)(HWND) = nullptr;
    int (*close_)() = nullptr;
    void (*request_)(const char*, unsigned char, int) = nullptr;
};

int runConsole(Context& c) {
    ConsoleArgs a;
    const std::string why = parseArgs(c.args, a);
    if (!why.empty()) return c.out.fail(kExitUsage, "console: " + why);
    // Bad paths are refused before anything is opened.
    std::error_code ec;
    const bool frame = a.download && (a.operation == 9 || a.operation == 10);
    if (a.download && !frame && !fs::is_regular_file(a.path, ec))
        return c.out.fail(kExitUsage, "console: cannot read " + a.path);
    if (!a.download && !fs::is_directory(a.path, ec)) return c.out.fail(kExitUsage, "console: no directory " + a.path);
    ConsoleRun run(c, a);
    const int r = run.open();
    if (r != kExitDone) return r;
    return a.download ? run.download() : run.upload();
}

}  // namespace

KESTRO_CLI_COMMAND(console) = {
    "console",
    "download a file to the service console, or upload its APR files",
    "download FILE [--op N] [--param P] | upload DIR --struct|--data",
    "  download FILE   send FILE in checksummed blocks (operation 1 unless --op N, 1..11;\n"
    "                  9 and 10 send one frame with the byte --param P)\n"
    "  upload DIR      receive AprStruct.bin (--struct) or AprData.bin (--data) into DIR\n"
    "  --console-device PATH  the console's serial device (default: kestro-sim's console,\n"
    "                  started for the command); the port number is --com, or with\n"
    "                  --host-dir the \"com\" of that directory's settings, used as they are\n",
    Needs::Itself,
    checkConsole,
    runConsole};

}  // namespace kestro::cli
