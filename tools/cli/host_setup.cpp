#include "host_setup.h"

#include <filesystem>
#include <fstream>

namespace kestro::cli {

namespace fs = std::filesystem;

static bool writeFile(const fs::path& path, const std::string& text, std::string* error) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        if (error) *error = "cannot write " + path.string();
        return false;
    }
    return true;
}

bool prepareHostDirectory(const std::string& dir, const HostSetup& setup, std::string* error) {
    const fs::path root(dir);
    const std::string crlf = "\r\n";
    if (!writeFile(root / "Gen/INI/Path.ini",
                   "[INI Path]" + crlf + "FunctionConfigPath=\\Gen\\INI\\FunctionConfig.ini" + crlf +
                       "LocalConfigPath=\\Gen\\INI\\LocalConfig.ini" + crlf +
                       "PathIniPath=\\Gen\\INI\\PathConfig.ini" + crlf,
                   error))
        return false;
    if (!writeFile(root / "Gen/INI/FunctionConfig.ini",
                   "[Function]" + crlf + "Demo Enable=" + (setup.demo ? "1" : "0") + crlf + "Comp Transfer=0" + crlf +
                       "Total Trace=10" + crlf + "TraceSTHECommandFlag=0" + crlf,
                   error))
        return false;
    if (!writeFile(root / "Gen/INI/LocalConfig.ini",
                   "[Communication]" + crlf + "Communication Type=" + std::to_string(setup.communicationType) + crlf +
                       "[Serial comm]" + crlf + "com=" + std::to_string(setup.comPort) + crlf + "baud=19200" + crlf +
                       "databit=8" + crlf + "stopbit=1" + crlf + "parity=none" + crlf,
                   error))
        return false;
    if (!writeFile(root / "Gen/INI/PathConfig.ini",
                   "[LocalPath]" + crlf + "TracePath=\\Trace\\" + crlf + "[ErrorCodePath]" + crlf +
                       "PCInfoPath=\\Gen\\INI\\ErrorMessages.ini" + crlf,
                   error))
        return false;
    if (!fs::exists(root / "Gen/INI/ErrorMessages.ini")) {
        if (!writeFile(root / "Gen/INI/ErrorMessages.ini",
                       "[Error Messages]" + crlf + "0=100" + crlf + "80=1:Generator error 200" + crlf +
                           "99=2:Thermal warning: wait for the tube to cool" + crlf,
                       error))
            return false;
    }
    return true;
}

}  // namespace kestro::cli
