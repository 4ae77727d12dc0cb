// help (version is with the dose commands, cmd_dose.cpp).

#include "command.h"

namespace kestro::cli {

namespace {

std::string checkHelp(const std::vector<std::string>& args) {
    std::string why = expectArgs(args, 0, 1);
    if (!why.empty()) return why;
    if (args.size() == 1 && !findCommand(args[0])) return "no command '" + args[0] + "' (kestro help lists them)";
    return "";
}

int runHelp(Context& c) {
    printUsage(stdout, c.args.empty() ? nullptr : findCommand(c.args[0]));
    return kExitDone;
}

}  // namespace

KESTRO_CLI_COMMAND(help) = {"help", "this list, or the help of one command", "[COMMAND]", "", Needs::Nothing,
                            checkHelp, runHelp};

}  // namespace kestro::cli
