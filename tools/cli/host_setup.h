#pragma once
// Prepares a host directory with the settings files the library reads.

#include <string>

namespace kestro::cli {

struct HostSetup {
    bool demo = true;
    int communicationType = 1;  // serial
    int comPort = 1;
};

// Writes Gen/INI/Path.ini and the three settings files below dir (created when missing)
// unless a path index is already there. Returns false with a message when it could not.
bool prepareHostDirectory(const std::string& dir, const HostSetup& setup, std::string* error);

}  // namespace kestro::cli
