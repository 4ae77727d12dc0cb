#pragma once
// Settings files. Every file is found from the host directory through the path index
// "\Gen\INI\Path.ini"; nothing is cached, every read goes to the file.

#include <string>
#include <string_view>

namespace kestro {

class CIniFile {
public:
    static constexpr std::size_t kPathSize = 260;
    static constexpr const char* kPathIndex = "\\Gen\\INI\\Path.ini";

    // The path index itself.
    CIniFile();
    // An explicit file, used unchanged.
    explicit CIniFile(std::string_view path);
    virtual ~CIniFile() = default;

    int GetInt(std::string_view section, std::string_view key, int defaultValue) const;
    std::string GetString(std::string_view section, std::string_view key, std::string_view defaultValue) const;
    // Non-zero when written.
    int WriteInt(std::string_view section, std::string_view key, int value) const;
    int WriteString(std::string_view section, std::string_view key, std::string_view value) const;

    const char* path() const { return m_szPath.c_str(); }
    // The path had to be cut to the platform's limit (the Windows profile calls take
    // at most 259 characters); the file named is then not the one meant.
    bool pathCut() const { return m_bPathCut; }
    // The path as it was meant, before any cut.
    const std::string& fullPath() const { return m_strFullPath; }
    // Directory of the host program, without a trailing separator; worked out once.
    const std::string& hostDirectory();

protected:
    struct FromPathIndex {};
    // A file named by key of section "INI Path" of the path index, relative to the host
    // directory. A missing key leaves the path at the host directory itself, which is
    // not a file: reads give their defaults and writes fail.
    CIniFile(FromPathIndex, std::string_view indexKey);

    void setPath(std::string_view path);

private:
    // No fixed-size buffer: on POSIX a path may be as long as the file system allows.
    std::string m_szPath;
    std::string m_strFullPath;
    bool m_bPathCut = false;
    std::string m_strHostDir;
    bool m_bHostDirKnown = false;
};

// The function settings file.
class CFunctionConfig : public CIniFile {
public:
    CFunctionConfig() : CIniFile(FromPathIndex{}, "FunctionConfigPath") {}

    int demoEnable() const { return GetInt("Function", "Demo Enable", 0); }
    int setDemoEnable(int enable) const { return WriteInt("Function", "Demo Enable", enable); }
    int compTransfer() const { return GetInt("Function", "Comp Transfer", 0); }
    int totalTrace() const { return GetInt("Function", "Total Trace", 0); }
    int traceSTHECommandFlag() const { return GetInt("Function", "TraceSTHECommandFlag", 0); }
    int compTotal() const { return GetInt("CompInformation", "total", 0); }
    std::string compEntry(int index) const;
    std::string kwMsTableRow(int index) const;
};

// The local communication settings file.
class CLocalCommConfig : public CIniFile {
public:
    CLocalCommConfig() : CIniFile(FromPathIndex{}, "LocalConfigPath") {}

    int communicationType() const { return GetInt("Communication", "Communication Type", 0); }
    int setCommunicationType(int type) const { return WriteInt("Communication", "Communication Type", type); }
    int com() const { return GetInt("Serial comm", "com", 0); }
    int setCom(int port) const { return WriteInt("Serial comm", "com", port); }
    std::string baud() const { return GetString("Serial comm", "baud", ""); }
    std::string dataBit() const { return GetString("Serial comm", "databit", ""); }
    std::string stopBit() const { return GetString("Serial comm", "stopbit", ""); }
    std::string parity() const { return GetString("Serial comm", "parity", ""); }
};

// The path configuration file.
class CPathConfig : public CIniFile {
public:
    CPathConfig() : CIniFile(FromPathIndex{}, "PathIniPath") {}

    // Trace directory as configured (relative to the host directory).
    std::string tracePath() const { return GetString("LocalPath", "TracePath", ""); }
    // Error-message file, already joined to the host directory.
    std::string errorMessageFile();
};

// The serial line settings read from the local communication settings file, turned
// into the codes the port takes.
struct SerialSettings {
    unsigned port = 1;      // "com"; values below 1 become 1
    unsigned baud = 19200;  // "4800", "9600", else 19200
    unsigned parity = 0;    // "odd" 1, "even" 2, else 0
    unsigned byteSize = 8;  // "4".."8", else 8
    unsigned stopBits = 1;  // "1" 1, "1.5" 2, "2" 3, else 1
};
SerialSettings readSerialSettings(const CLocalCommConfig& config);

}  // namespace kestro
