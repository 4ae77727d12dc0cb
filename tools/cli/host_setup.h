#pragma once
// Host directories: the settings files the library reads below the directory it takes as
// the host's (KESTRO_HOST_DIR), as the tool writes them for the sessions it sets up
// itself, as `kestro init` writes them for a user to edit, and read back without writing.

#include <string>
#include <utility>
#include <vector>

#include "command.h"

namespace kestro::cli {

struct HostSetup {
    bool demo = true;
    int communicationType = 1;  // 1 serial, 0 CAN
    LineSettings line;
};

// The files of a complete host directory (relative path, content), commented.
std::vector<std::pair<std::string, std::string>> hostDirectoryFiles(const HostSetup& setup);

// The directory the tool uses for its own sessions of a kind ("sim", "demo", "device").
std::string ownHostDirectory(const std::string& kind);

// Writes every file of hostDirectoryFiles below dir (the tool's own directories only).
bool prepareHostDirectory(const std::string& dir, const HostSetup& setup, std::string* error);

// Writes an example host directory for a user; refuses (writing nothing) when any of
// its files exists already. `written` receives the paths written.
bool writeExampleHostDirectory(const std::string& dir, std::vector<std::string>& written, std::string* error);

// Reads a key of a settings file named in the path index ("FunctionConfigPath",
// "LocalConfigPath" or "PathIniPath") the way the library does; `fallback` when missing.
std::string readSetting(const std::string& hostDir, const std::string& fileKey, const std::string& section,
                        const std::string& key, const std::string& fallback);
// The path below hostDir that a configured path ("\Trace\") names.
std::string configuredPath(const std::string& hostDir, const std::string& value);
bool hasPathIndex(const std::string& hostDir);

}  // namespace kestro::cli
