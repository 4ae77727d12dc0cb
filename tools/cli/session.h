#pragma once
// One open generator: the library loaded, a message window, start-up done, against the
// simulator, demonstration mode or a device.

#include <string>

#include "command.h"
#include "library.h"
#include "sim_process.h"

namespace kestro::cli {

class Session {
public:
    Session() = default;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Prepares the host directory, starts the simulator when asked, loads the library and
    // runs the start-up. Returns kExitDone, or the exit code after reporting the failure.
    int open(const Options& options, Output& out);
    // Closes the port, releases the library's objects and stops the simulator.
    void close();
    bool isOpen() const { return open_; }

    Api& api() { return api_; }
    HWND window() const { return window_; }
    // The simulator of this session (null unless it runs against one).
    SimProcess* simulator() { return sim_.running() ? &sim_ : nullptr; }
    const std::string& hostDir() const { return hostDir_; }
    int startupResult() const { return startup_; }
    // "simulator on /dev/pts/4", "demo", "device /dev/ttyUSB0", "CAN bus socketcan:can0".
    std::string modeText() const;
    Mode mode() const { return mode_; }
    const std::string& device() const { return device_; }

    // Reports the notifications that arrive within timeoutMs (0: those queued now).
    // Returns how many there were.
    int pollNotifications(Output& out, int timeoutMs = 0);
    // Waits up to timeoutMs for one notification; true when one came.
    bool nextNotification(MessageView& m, int timeoutMs);
    std::string errorText(int code);

private:
    Api api_;
    HWND window_ = nullptr;
    SimProcess sim_;
    bool loaded_ = false;
    bool open_ = false;
    int startup_ = 0;
    Mode mode_ = Mode::Simulator;
    std::string device_;  // the serial device, or the KESTRO_CAN value over CAN
    bool overCan_ = false;
    std::string hostDir_;
};

}  // namespace kestro::cli
