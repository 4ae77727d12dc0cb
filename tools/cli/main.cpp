// kestro: the command-line tool. It loads the library the way a host program does
// (dlopen, then the exported C functions) and drives it. The commands are in the table
// of commands.inc; this file parses the shared options and dispatches.

#include <signal.h>

#include <cstdio>

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
            int code = runCommand(options, out, *findCommand("help"), {}, nullptr, false);
            out.finish(code);
            return code;
        }
        printUsage(stderr, nullptr);
        if (options.json) {
            out.fail(kExitUsage, "no command given");
            out.finish(kExitUsage);
        }
        return kExitUsage;
    }
    const Command* command = findCommand(options.command);
    if (!command) {
        int code = out.fail(kExitUsage, "unknown command '" + options.command + "' (kestro help lists them)");
        out.finish(code);
        return code;
    }
    if (options.help) {
        // The same as `kestro help COMMAND` (one JSON document with --json).
        const Command* help = findCommand("help");
        int code = runCommand(options, out, *help, {command->name}, nullptr, false);
        out.finish(code);
        return code;
    }
    if (options.hostDirGiven && (options.line.given || options.mode == Mode::Demo)) {
        int code = out.fail(kExitUsage, std::string(options.line.given ? "line settings apply" : "--demo applies") +
                                            " to the host directory the tool sets up; with --host-dir the "
                                            "settings files there decide");
        out.finish(code);
        return code;
    }
    int code = runCommand(options, out, *command, options.args, nullptr, false);
    out.finish(code);
    return code;
}
