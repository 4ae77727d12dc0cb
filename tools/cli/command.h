#pragma once
// The commands of the kestro tool. Each command group lives in a file of its own and
// defines its commands with KESTRO_CLI_COMMAND; commands.inc lists them (one line each)
// in the order `kestro help` shows them. See README.md in this folder.

#include <string>
#include <vector>

#include "output.h"

namespace kestro::cli {

class Session;

// Exit codes of the tool.
enum Exit : int {
    kExitDone = 0,          // done
    kExitRefused = 1,       // the generator refused or did not answer
    kExitUsage = 2,         // bad usage: nothing was started
    kExitNoConnection = 3,  // could not connect (library, simulator, port, start-up)
};

enum class Mode { Simulator, Demo, Device };

// Serial line settings for a host directory the tool sets up itself.
struct LineSettings {
    int com = 1;
    std::string baud = "19200";
    std::string parity = "none";
    std::string dataBits = "8";
    std::string stopBits = "1";
    bool given = false;  // any of --com, --baud, ... on the command line
};

// The options every command shares, parsed before the command runs.
struct Options {
    std::string program = "kestro";
    std::string library;
    std::string simPath;
    std::string hostDir;        // absolute; the user's own directory when hostDirGiven
    bool hostDirGiven = false;
    Mode mode = Mode::Simulator;
    std::string device;         // Mode::Device
    // --can: the CAN link instead of the serial one. canBus is the KESTRO_CAN value of a
    // real bus (Mode::Device); empty with the simulator, which then serves its CAN face.
    bool overCan = false;
    std::string canBus;
    bool json = false;
    bool help = false;          // --help / -h: the command's help instead of running it
    LineSettings line;
    std::string command;        // the command word (empty: none given)
    std::vector<std::string> args;  // the words after it
};

struct Context {
    const Options& options;
    Output& out;
    std::vector<std::string> args;
    Session* session = nullptr;  // the open generator, for commands with Needs::Generator
    bool inShell = false;
};

enum class Needs {
    Nothing,    // runs without the library (help, version, init, trace)
    Generator,  // the tool opens the generator (simulator, demo or device) first
    Itself,     // the command opens what it needs itself (demo, session, shell, monitor)
};

struct Command {
    const char* name;
    const char* summary;  // one line for `kestro help`
    const char* usage;    // the words after the command name, e.g. "NAME VALUE"
    const char* help;     // more lines for `kestro help NAME` (may be empty)
    Needs needs;
    // Checks the arguments before anything is started: empty when they are fine, else
    // the reason (the tool then exits 2). May be null: the command takes no arguments.
    std::string (*check)(const std::vector<std::string>& args);
    int (*run)(Context& context);
};

// All commands, in the order of commands.inc.
const std::vector<const Command*>& commands();
const Command* findCommand(const std::string& name);

// Runs one command as typed (checks, opens the generator when it needs one, runs it).
// Used by main and by the shell (which passes its open session).
int runCommand(const Options& options, Output& out, const Command& command, const std::vector<std::string>& args,
               Session* openSession, bool inShell);

// Argument helpers for check functions.
std::string expectArgs(const std::vector<std::string>& args, std::size_t min, std::size_t max);
bool parseInteger(const std::string& text, long& value);
bool parseDecimal(const std::string& text, double& value);

// Prints the usage of one command (or of the tool when command is null) to out.
void printUsage(std::FILE* out, const Command* command);

}  // namespace kestro::cli

// Defines the command object `id` (with external linkage) that commands.inc names.
#define KESTRO_CLI_COMMAND(id) \
    extern const ::kestro::cli::Command id##Command; \
    const ::kestro::cli::Command id##Command
