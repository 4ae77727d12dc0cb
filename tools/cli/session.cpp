#include "session.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host_setup.h"
#include "notifications.h"

namespace kestro::cli {

Session::~Session() { close(); }

namespace {

// Opens the device as the library will, to report what the system says when it cannot.
std::string deviceProblem(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return "";
    }
    const int e = errno;
    std::string why = "cannot open " + path + ": " + std::strerror(e);
    if (e == EACCES || e == EPERM) {
        struct stat st {};
        std::string group = "dialout";
        if (::stat(path.c_str(), &st) == 0)
            if (const struct group* g = ::getgrgid(st.st_gid)) group = g->gr_name;
        why += " (the user must be in the group owning the device, here " + group +
               ": sudo usermod -aG " + group + " $USER, then log in again)";
    }
    return why;
}

}  // namespace

int Session::open(const Options& options, Output& out) {
    std::string error;
    mode_ = options.mode;
    overCan_ = options.overCan;
    device_ = options.overCan ? options.canBus : options.device;
    int com = options.line.com;
    if (options.hostDirGiven) {
        // The user's own settings: used as they are, never written.
        hostDir_ = options.hostDir;
        if (!hasPathIndex(hostDir_))
            return out.fail(kExitNoConnection, hostDir_ + " has no Gen/INI/Path.ini, so the library would find no "
                                               "settings (kestro init " + hostDir_ + " writes an example to edit)");
        long n = 0;
        if (!parseInteger(readSetting(hostDir_, "LocalConfigPath", "Serial comm", "com", "0"), n) || n < 1) n = 1;
        com = static_cast<int>(n);
        long demo = 0;
        parseInteger(readSetting(hostDir_, "FunctionConfigPath", "Function", "Demo Enable", "0"), demo);
        if (demo != 0) {
            mode_ = Mode::Demo;
        } else if (mode_ == Mode::Demo) {
            return out.fail(kExitUsage, hostDir_ + " does not enable demonstration mode (\"Demo Enable\" of its "
                                        "function settings is 0), and the tool never changes a user's settings");
        }
    } else {
        hostDir_ = ownHostDirectory(mode_ == Mode::Demo ? "demo" : mode_ == Mode::Simulator ? "sim" : "device");
        HostSetup setup;
        setup.demo = (mode_ == Mode::Demo);
        setup.line = options.line;
        if (options.overCan) setup.communicationType = 0;  // the CAN link
        if (!prepareHostDirectory(hostDir_, setup, &error)) return out.fail(kExitNoConnection, error);
    }
    if (mode_ == Mode::Simulator) {
        if (!sim_.start(options.simPath, &error, options.overCan))
            return out.fail(kExitNoConnection, "cannot start the simulator " + options.simPath + ": " + error);
        device_ = options.overCan ? sim_.canBus() : sim_.ptyPath();
    } else if (mode_ == Mode::Device && !options.overCan) {
        std::string problem = deviceProblem(device_);
        if (!problem.empty()) return out.fail(kExitNoConnection, problem);
    }
    ::setenv("KESTRO_HOST_DIR", hostDir_.c_str(), 1);
    if (mode_ != Mode::Demo && options.overCan)
        ::setenv("KESTRO_CAN", device_.c_str(), 1);
    else if (mode_ != Mode::Demo)
        ::setenv(("KESTRO_COM" + std::to_string(com)).c_str(), device_.c_str(), 1);

    if (!loadApi(api_, options.library, &error)) return out.fail(kExitNoConnection, error);
    loaded_ = true;
    window_ = api_.createWindow();
    startup_ = api_.initGenerator(window_);
    open_ = true;
    if (startup_ == -2 && mode_ != Mode::Demo) {
        // The generator has two tries of 100 ms to answer; on a loaded machine (or a
        // generator still waking up) one more start-up is worth it before giving up.
        std::fprintf(stderr, "kestro: no answer at start-up on %s; trying once more\n", device_.c_str());
        startup_ = api_.initGenerator(window_);
    }
    if (startup_ != 1) {
        std::string why = "start-up failed with " + std::to_string(startup_) + " (" + startupMeaning(startup_) + ")";
        if (mode_ != Mode::Demo) why += " on " + device_;
        long type = 0;
        if (options.hostDirGiven && !options.overCan &&
            parseInteger(readSetting(hostDir_, "LocalConfigPath", "Communication", "Communication Type", "0"), type) &&
            type == 0)
            why += "; the settings select the CAN link (\"Communication Type\" 0), not the serial port";
        why += "; the trace in " + hostDir_ + " tells more";
        return out.fail(kExitNoConnection, why);
    }
    return kExitDone;
}

void Session::close() {
    if (loaded_) {
        if (open_) api_.closeComm(1);
        api_.deleteRes();
        if (window_) api_.destroyWindow(window_);
        window_ = nullptr;
        open_ = false;
        loaded_ = false;
    }
    sim_.stop();
}

std::string Session::modeText() const {
    switch (mode_) {
        case Mode::Demo: return "demo";
        case Mode::Simulator: return "simulator on " + device_;
        case Mode::Device: return (overCan_ ? "CAN bus " : "device ") + device_;
    }
    return "";
}

bool Session::nextNotification(MessageView& m, int timeoutMs) {
    return window_ && api_.getMessage(window_, &m, timeoutMs) == 1;
}

std::string Session::errorText(int code) {
    const char* t = api_.errorMessage ? api_.errorMessage(code).text : nullptr;
    std::string text = t ? t : "";
    // "12:text": the number before the colon is the host's category, not part of the text.
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits > 0 && digits <= 3 && digits < text.size() && text[digits] == ':') text.erase(0, digits + 1);
    return text;
}

int Session::pollNotifications(Output& out, int timeoutMs) {
    int n = 0;
    MessageView m{};
    while (nextNotification(m, n == 0 ? timeoutMs : 0)) {
        ++n;
        out.notification(m.wParam, m.lParam,
                         notificationCarriesError(m.wParam) ? errorText(static_cast<int>(m.lParam)) : "");
    }
    return n;
}

}  // namespace kestro::cli
