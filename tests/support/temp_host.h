#pragma once
// A throw-away host directory for tests: KESTRO_HOST_DIR points at it while the object
// lives, and it can hold the path index and the settings files.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <chrono>
#include <functional>

namespace kestro::test {

class TempHost {
public:
    TempHost() {
        std::random_device rd;
        dir_ = std::filesystem::temp_directory_path() / ("kestro-test-" + std::to_string(rd()) + std::to_string(rd()));
        std::filesystem::create_directories(dir_);
        if (const char* old = std::getenv("KESTRO_HOST_DIR")) previous_ = old, hadPrevious_ = true;
        ::setenv("KESTRO_HOST_DIR", dir_.c_str(), 1);
    }
    ~TempHost() {
        if (hadPrevious_) ::setenv("KESTRO_HOST_DIR", previous_.c_str(), 1);
        else ::unsetenv("KESTRO_HOST_DIR");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempHost(const TempHost&) = delete;
    TempHost& operator=(const TempHost&) = delete;

    const std::filesystem::path& dir() const { return dir_; }

    // Writes a file below the host directory (relative path with '/').
    void write(const std::string& relative, const std::string& text) const {
        auto path = dir_ / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    std::string read(const std::string& relative) const { return readFile(dir_ / relative); }

    static std::string readFile(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // The usual layout: the path index names Gen/INI/Function.ini, Gen/INI/Local.ini and
    // Gen/INI/PathCfg.ini; the trace goes to Trace/ and error texts come from
    // Gen/INI/Errors.ini.
    void standardLayout(const std::string& functionIni = "", const std::string& localIni = "",
                        const std::string& errorsIni = "") const {
        write("Gen/INI/Path.ini",
              "[INI Path]\r\nFunctionConfigPath=\\Gen\\INI\\Function.ini\r\n"
              "LocalConfigPath=\\Gen\\INI\\Local.ini\r\nPathIniPath=\\Gen\\INI\\PathCfg.ini\r\n");
        write("Gen/INI/PathCfg.ini",
              "[LocalPath]\r\nTracePath=\\Trace\\\r\n[ErrorCodePath]\r\nPCInfoPath=\\Gen\\INI\\Errors.ini\r\n");
        write("Gen/INI/Function.ini", functionIni);
        write("Gen/INI/Local.ini", localIni);
        write("Gen/INI/Errors.ini", errorsIni);
    }

private:
    std::filesystem::path dir_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// Waits until pred() holds or the deadline passes; returns pred()'s last value.
inline bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

}  // namespace kestro::test
