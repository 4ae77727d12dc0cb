// The command table and what every command shares: argument checks, opening the
// generator, usage texts.

#include <cerrno>
#include <cstdlib>

#include "command.h"
#include "session.h"

namespace kestro::cli {

#define KESTRO_CLI_ENTRY(id) extern const Command id##Command;
#include "commands.inc"
#undef KESTRO_CLI_ENTRY

const std::vector<const Command*>& commands() {
#define KESTRO_CLI_ENTRY(id) &id##Command,
    static const std::vector<const Command*> table = {
#include "commands.inc"
    };
#undef KESTRO_CLI_ENTRY
    return table;
}

const Command* findCommand(const std::string& name) {
    for (const Command* c : commands())
        if (name == c->name) return c;
    return nullptr;
}

std::string expectArgs(const std::vector<std::string>& args, std::size_t min, std::size_t max) {
    if (args.size() < min) return "missing arguments";
    if (args.size() > max) return "unexpected '" + args[max] + "'";
    return "";
}

bool parseInteger(const std::string& text, long& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return false;
    value = v;
    return true;
}

bool parseDecimal(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0') return false;
    value = v;
    return true;
}

void printUsage(std::FILE* out, const Command* c) {
    if (c) {
        std::fprintf(out, "usage: kestro [OPTIONS] %s%s%s\n  %s\n", c->name, *c->usage ? " " : "", c->usage,
                     c->summary);
        if (c->help && *c->help) std::fprintf(out, "%s", c->help);
        return;
    }
    std::fprintf(out,
                 "usage: kestro [OPTIONS] COMMAND [ARGUMENTS]\n"
                 "\n"
                 "commands:\n");
    for (const Command* cmd : commands()) {
        std::string head = std::string(cmd->name) + (*cmd->usage ? " " : "") + cmd->usage;
        if (head.size() < 26) head.resize(26, ' ');
        else head += "  ";
        std::fprintf(out, "  %s%s\n", head.c_str(), cmd->summary);
    }
    std::fprintf(out,
                 "\n"
                 "options (before or after the command):\n"
                 "  --sim-generator      talk to kestro-sim started for the command (the default)\n"
                 "  --demo               demonstration mode: no generator, no port\n"
                 "  --device PATH        talk to the generator on the serial device PATH\n"
                 "  --can [BUS]          over CAN: the simulator's CAN face, or the bus BUS\n"
                 "                       (socketcand:HOST:PORT:BUS or socketcan:IFACE)\n"
                 "  --host-dir DIR       use the settings files in DIR as they are (never written)\n"
                 "  --com N --baud 4800|9600|19200 --parity none|odd|even --data-bits 4..8\n"
                 "  --stop-bits 1|1.5|2  line settings of the host directory the tool sets up\n"
                 "  --json               one JSON document per command\n"
                 "  --library PATH       the library to load (default: the installed libkestro.so.0)\n"
                 "  --sim PATH           the simulator program (default: kestro-sim beside kestro)\n"
                 "  -h, --help           help (kestro help COMMAND for one command)\n"
                 "\n"
                 "exit codes: 0 done, 1 the generator refused or did not answer, 2 bad usage,\n"
                 "3 could not connect\n");
}

int runCommand(const Options& options, Output& out, const Command& command, const std::vector<std::string>& args,
               Session* openSession, bool inShell) {
    if (command.check) {
        std::string why = command.check(args);
        if (!why.empty()) {
            int code = out.fail(kExitUsage, std::string(command.name) + ": " + why);
            if (!out.json()) std::fprintf(stderr, "usage: kestro %s %s\n", command.name, command.usage);
            return code;
        }
    } else if (!args.empty()) {
        return out.fail(kExitUsage, std::string(command.name) + ": unexpected '" + args[0] + "'");
    }
    Context context{options, out, args, openSession, inShell};
    if (command.needs == Needs::Generator && !openSession) {
        Session session;
        int r = session.open(options, out);
        if (r != kExitDone) return r;
        context.session = &session;
        return command.run(context);
    }
    return command.run(context);
}

}  // namespace kestro::cli
