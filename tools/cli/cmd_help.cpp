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

Json describe(const Command& cmd, bool full) {
    Json j = Json::object();
    j.set("name", Json::string(cmd.name));
    j.set("usage", Json::string(std::string("kestro [OPTIONS] ") + cmd.name + (*cmd.usage ? " " : "") + cmd.usage));
    j.set("summary", Json::string(cmd.summary));
    if (full && cmd.help && *cmd.help) j.set("help", Json::string(cmd.help));
    return j;
}

int runHelp(Context& c) {
    const Command* one = c.args.empty() ? nullptr : findCommand(c.args[0]);
    if (!c.out.json()) {
        printUsage(stdout, one);
        return kExitDone;
    }
    if (one) {
        c.out.doc().set("command", describe(*one, true));
        return kExitDone;
    }
    Json list = Json::array();
    for (const Command* cmd : commands()) list.push(describe(*cmd, false));
    c.out.doc().set("commands", std::move(list));
    Json codes = Json::object();
    codes.set("0", Json::string("done"));
    codes.set("1", Json::string("the generator refused or did not answer"));
    codes.set("2", Json::string("bad usage"));
    codes.set("3", Json::string("could not connect"));
    c.out.doc().set("exit_codes", std::move(codes));
    return kExitDone;
}

}  // namespace

KESTRO_CLI_COMMAND(help) = {"help", "this list, or the help of one command", "[COMMAND]", "", Needs::Nothing,
                            checkHelp, runHelp};

}  // namespace kestro::cli
