// init: an example host directory for a user to edit.

#include <filesystem>

#include "command.h"
#include "host_setup.h"

namespace kestro::cli {

namespace {

std::string checkInit(const std::vector<std::string>& args) { return expectArgs(args, 1, 1); }

int runInit(Context& c) {
    const std::string dir = std::filesystem::absolute(c.args[0]).lexically_normal().string();
    std::vector<std::string> written;
    std::string error;
    if (!writeExampleHostDirectory(dir, written, &error)) return c.out.fail(kExitUsage, error);
    Json files = Json::array();
    for (const std::string& f : written) {
        files.push(Json::string(f));
        if (!c.out.json()) c.out.say("wrote " + f);
    }
    if (c.out.json()) c.out.doc().set("written", std::move(files));
    c.out.field("host_dir", "host directory", Json::string(dir), dir);
    c.out.say("edit the files, then: kestro --host-dir " + dir + " --device /dev/ttyUSB0 status");
    return kExitDone;
}

}  // namespace

KESTRO_CLI_COMMAND(init) = {
    "init", "write a commented example host directory (settings, error texts, trace directory)", "DIR",
    "  Writes Gen/INI/Path.ini, FunctionConfig.ini, LocalConfig.ini, PathConfig.ini,\n"
    "  ErrorMessages.ini and Trace/ below DIR; refuses when any of them exists.\n",
    Needs::Nothing, checkInit, runInit};

}  // namespace kestro::cli
