#pragma once
// The options every command shares.

#include <string>

#include "command.h"

namespace kestro::cli {

// Parses argv into options (the command word and its arguments included). Options may
// stand before or after the command; words after "--" are arguments. Returns an empty
// string, or the usage error.
std::string parseOptions(int argc, char** argv, Options& options);

// Parses a command line typed in the shell the same way (global options that change the
// session are refused there).
std::string parseShellLine(const std::string& line, Options& options);

// Splits a line into words: blanks separate, quotes ("..." or '...') group.
bool splitWords(const std::string& line, std::vector<std::string>& words, std::string* error);

}  // namespace kestro::cli
