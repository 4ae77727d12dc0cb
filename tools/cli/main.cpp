// kestro: the command-line tool. It loads the library the way a host program does
// (dlopen, then the exported C functions) and drives it. The commands are in the table
// of commands.inc; this file parses the shared options and dispatches.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "command.h"
#include "options.h"

int main(int argc, char** argv) {
    using namespace kestro::cli;
    ::signal(SIGPIPE, SIG_IGN);  // a simulator that went away must not end the tool
    Options options;
    std::string error = parseOptions(argc, argv, options);
    Output out(options.json);
    if (!error.empty()) {
        int code = out.fail(kExitUsage, error);
        out.finish(code);
        return code;
    }
    if (options.command.empty()) {
        if (options.help) {
            printUsage(stdout, nullptr);
            return kExitDone;
        }
        printUsage(stderr, nullptr);
        return kExitUsage;
    }
    if (options.command == "--version") options.command = "version";
    const Command* command = findCommand(options.command);
    if (!command) {
        int code = out.fail(kExitUsage, "unknown command '" + options.command + "' (kestro help lists them)");
        out.finish(code);
        return code;
    }
    if (options.help) {
        printUsage(stdout, command);
        return kExitDone;
    }
    if (options.hostDir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        options.hostDir = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestro-demo-host";
    }
    int code = runCommand(options, out, *command, options.args, nullptr, false);
    out.finish(code);
    return code;
}
