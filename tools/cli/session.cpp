#include "session.h"

#include <cstdlib>

#include "host_setup.h"
#include "notifications.h"

namespace kestro::cli {

Session::~Session() { close(); }

int Session::open(const Options& options, Output& out) {
    std::string error;
    mode_ = options.mode;
    hostDir_ = options.hostDir;
    device_ = options.device;
    if (mode_ == Mode::Simulator) {
        if (!sim_.start(options.simPath, &error))
            return out.fail(kExitNoConnection, "cannot start the simulator: " + error);
        device_ = sim_.ptyPath();
    }
    HostSetup setup;
    setup.demo = (mode_ == Mode::Demo);
    setup.comPort = options.line.com;
    if (!prepareHostDirectory(hostDir_, setup, &error)) return out.fail(kExitNoConnection, error);
    ::setenv("KESTRO_HOST_DIR", hostDir_.c_str(), 1);
    if (mode_ != Mode::Demo) ::setenv(("KESTRO_COM" + std::to_string(options.line.com)).c_str(), device_.c_str(), 1);

    if (!loadApi(api_, options.library, &error)) return out.fail(kExitNoConnection, error);
    loaded_ = true;
    window_ = api_.createWindow();
    startup_ = api_.initGenerator(window_);
    open_ = true;
    if (startup_ != 1)
        return out.fail(kExitNoConnection, "start-up failed with " + std::to_string(startup_) + " (" +
                                               startupMeaning(startup_) + ")");
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
        case Mode::Device: return "device " + device_;
    }
    return "";
}

bool Session::nextNotification(MessageView& m, int timeoutMs) {
    return window_ && api_.getMessage(window_, &m, timeoutMs) == 1;
}

std::string Session::errorText(int code) {
    const char* t = api_.errorMessage ? api_.errorMessage(code).text : nullptr;
    return t ? t : "";
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
