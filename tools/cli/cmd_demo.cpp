// Commands that show the library at work: demo (demonstration mode) and session (one
// serial session with an exposure against the simulator).

#include <chrono>
#include <ctime>
#include <filesystem>

#include "command.h"
#include "notifications.h"
#include "session.h"

namespace kestro::cli {

namespace {

std::string text(const unsigned char* bytes, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.');
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

Quantity q(const char* key, double value, int decimals, const char* unit) { return {key, value, decimals, unit}; }

void radiography(Output& out, Api& api) {
    if (!api.radKV) return;
    out.group("radiography", "radiography",
              {q("kv", api.radKV(1, 0), 0, "kV"), q("ma", api.radMA(1, 0) / 10.0, 1, "mA"),
               q("ms", api.radMS(1, 0) / 10.0, 1, "ms"), q("mas", api.radMX(1, 0) / 10.0, 1, "mAs")});
}

std::string todaysTrace(const std::string& hostDir) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char name[32];
    std::snprintf(name, sizeof name, "%4d%02d%02d.txt", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return (std::filesystem::path(hostDir) / "Trace" / name).string();
}

void startup(Output& out, Session& s) {
    const int r = s.startupResult();
    Json j = Json::object();
    j.set("value", Json::integer(r));
    j.set("meaning", Json::string(startupMeaning(r)));
    out.field("startup", "IO_InitGenerator", std::move(j), std::to_string(r) + " (" + startupMeaning(r) + ")");
}

int runDemo(Context& c) {
    Options o = c.options;
    o.mode = Mode::Demo;
    Session s;
    int r = s.open(o, c.out);
    if (r != kExitDone) return r;
    Api& api = s.api();
    c.out.field("mode", "mode", Json::string("demo"), "demo (no generator, no port)");
    c.out.field("library", "library", Json::string(api.path), api.path);
    startup(c.out, s);
    const int demo = api.setDemoMode(1, 0);
    c.out.field("demo_flag", "demo flag", Json::integer(demo), std::to_string(demo));
    const bool comm = api.commState() != 0;
    c.out.field("communication", "communication", Json::boolean(comm), comm ? "ok" : "down");
    radiography(c.out, api);
    const unsigned char* tube = api.modelPointer(4);
    const unsigned char* version = api.modelPointer(17);
    const unsigned char* time = api.modelPointer(1);
    const unsigned char* limits = api.modelPointer(5);
    Json t = Json::object();
    t.set("number", Json::integer(tube[0]));
    t.set("name", Json::string(text(tube + 21, 16)));
    c.out.field("tube", "tube", std::move(t), std::to_string(tube[0]) + " \"" + text(tube + 21, 16) + "\"");
    c.out.field("generator_version", "generator version", Json::string(text(version, 55)),
                "\"" + text(version, 55) + "\"");
    char when[64];
    std::snprintf(when, sizeof when, "20%02d-%02d-%02d %02d:%02d:%02d", time[0], time[1], time[2], time[3], time[4],
                  time[5]);
    c.out.field("generator_time", "generator time", Json::string(when), when);
    c.out.group("limits", "generator limits", {q("kv_max", limits[0], 0, "kV"), q("kv_min", limits[1], 0, "kV")});
    const std::string e200 = s.errorText(200);
    c.out.field("error_200", "error 200 reads", Json::string(e200), "\"" + e200 + "\"");
    s.pollNotifications(c.out);
    c.out.field("host_dir", "host directory", Json::string(s.hostDir()), s.hostDir());
    c.out.field("trace", "trace file", Json::string(todaysTrace(s.hostDir())), todaysTrace(s.hostDir()));
    return kExitDone;
}

int runSession(Context& c) {
    Options o = c.options;
    o.mode = Mode::Simulator;
    Session s;
    int r = s.open(o, c.out);
    if (r != kExitDone) return r;
    if (!s.simulator())
        return c.out.fail(kExitUsage, "session runs against the simulator, but " + s.hostDir() +
                                          " enables demonstration mode (\"Demo Enable\")");
    Api& api = s.api();
    c.out.field("mode", "mode", Json::string(s.modeText()), s.modeText());
    startup(c.out, s);
    if (api.radKV) {
        api.radKV(0, 80);
        api.radMA(0, 200);
        api.radMS(0, 1000);
        radiography(c.out, api);
    }
    c.out.say("exposure requested at the generator");
    s.simulator()->control("expose 100");
    MessageView m{};
    bool ended = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        if (!s.nextNotification(m, 100)) continue;
        c.out.notification(m.wParam, m.lParam,
                           notificationCarriesError(m.wParam) ? s.errorText(static_cast<int>(m.lParam)) : "");
        ended = (m.wParam == 2 && m.lParam == 1);
    }
    s.pollNotifications(c.out, 200);
    c.out.field("exposure", "exposure", Json::string(ended ? "completed" : "did not complete"),
                ended ? "completed" : "did not complete");
    if (api.postMAS && api.postTime)
        c.out.group("last_exposure", "last exposure",
                    {q("mas", api.postMAS() / 10.0, 1, "mAs"), q("ms", api.postTime() / 10.0, 1, "ms")});
    c.out.field("trace", "trace file", Json::string(todaysTrace(s.hostDir())), todaysTrace(s.hostDir()));
    return ended ? kExitDone : c.out.fail(kExitRefused, "the exposure did not complete");
}

}  // namespace

KESTRO_CLI_COMMAND(demo) = {
    "demo", "start the library in demonstration mode and show the demo picture", "", "", Needs::Itself, nullptr,
    runDemo};

KESTRO_CLI_COMMAND(session) = {
    "session", "start kestro-sim and run a session with one exposure (serial; over CAN with --can)", "", "", Needs::Itself, nullptr,
    runSession};

}  // namespace kestro::cli
