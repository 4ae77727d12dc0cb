// Commands that read and set operator values: status, set, step, timers, calibration.

#include "command.h"
#include "notifications.h"
#include "session.h"
#include "status_view.h"
#include "values.h"

namespace kestro::cli {

namespace {

Quantity q(const char* key, double value, int decimals, const char* unit) { return {key, value, decimals, unit}; }

int missing(Output& out, const char* what) {
    return out.fail(kExitRefused, std::string("this library has no ") + what);
}

void modeLine(Context& c) {
    Session& s = *c.session;
    Json mode = Json::object();
    mode.set("mode", Json::string(s.mode() == Mode::Demo ? "demo" : s.mode() == Mode::Simulator ? "simulator" : "device"));
    if (s.mode() != Mode::Demo) mode.set("port", Json::string(s.device()));
    c.out.field("mode", "mode", std::move(mode), s.modeText());
}

}  // namespace

int showStatus(Context& c, bool withNotifications) {
    Api& api = c.session->api();
    if (!api.stValue || !api.radKV) return missing(c.out, "status functions");
    modeLine(c);
    const int state = api.stValue();
    Json st = Json::object();
    st.set("value", Json::integer(state));
    st.set("meaning", Json::string(generatorStateMeaning(state)));
    c.out.field("state", "generator state", std::move(st),
                std::to_string(state) + " (" + generatorStateMeaning(state) + ")");
    const bool comm = api.commState() != 0;
    c.out.field("communication", "communication", Json::boolean(comm), comm ? "ok" : "down");
    if (api.anodeHeat) c.out.quantity("anode heat", q("anode_heat", api.anodeHeat(1), 0, "%"));
    if (api.housingHeat) c.out.quantity("housing heat", q("housing_heat", api.housingHeat(), 0, "%"));
    if (api.genKW) c.out.quantity("generator power", q("power", api.genKW(), 0, "kW"));
    c.out.group("radiography", "radiography",
                {q("kv", api.radKV(1, 0), 0, "kV"), q("ma", api.radMA(1, 0) / 10.0, 1, "mA"),
                 q("ms", api.radMS(1, 0) / 10.0, 1, "ms"), q("mas", api.radMX(1, 0) / 10.0, 1, "mAs")});
    if (api.fluoKV && api.fluoMA && api.fluoPPS)
        c.out.group("fluoroscopy", "fluoroscopy",
                    {q("kv", api.fluoKV(1, 0), 0, "kV"), q("ma", api.fluoMA(1, 0) / 10.0, 1, "mA"),
                     q("pps", api.fluoPPS(1, 0) / 10.0, 1, "pps")});
    if (api.postMAS && api.postTime)
        c.out.group("last_exposure", "last exposure",
                    {q("mas", api.postMAS() / 10.0, 1, "mAs"), q("ms", api.postTime() / 10.0, 1, "ms")});
    if (withNotifications) c.session->pollNotifications(c.out);
    return kExitDone;
}

namespace {

int runStatus(Context& c) { return showStatus(c, true); }

std::string checkSetOrStep(const std::vector<std::string>& args, bool step) {
    if (args.size() != 2) return expectArgs(args, 2, 2) + " (NAME VALUE)";
    const ValueSpec* spec = findValue(args[0]);
    if (!spec) return "unknown value '" + args[0] + "' (" + valueNames() + ")";
    if (step) {
        long n = 0;
        if (!parseInteger(args[1], n) || n < -2 || n > 2 || n == 0)
            return "bad step '" + args[1] + "' (use -2, -1, +1 or +2)";
        if (spec->fn == &Api::fluoPPS && (n == 2 || n == -2)) return "fluo-pps steps by -1 or +1 only";
        return "";
    }
    int v = 0;
    return parseValue(*spec, args[1], v);
}

std::string checkSet(const std::vector<std::string>& args) { return checkSetOrStep(args, false); }
std::string checkStep(const std::vector<std::string>& args) { return checkSetOrStep(args, true); }

int report(Context& c, const ValueSpec& spec, int result, const std::string& asked) {
    Json value = Json::object();
    value.set("value", Json::number(displayValue(spec, result), decimalsOf(spec)));
    value.set("unit", Json::string(spec.unit));
    c.out.field(spec.name, spec.name, std::move(value), showValue(spec, result));
    c.session->pollNotifications(c.out, 50);
    if (!asked.empty()) c.out.say(asked);
    return kExitDone;
}

int runSetOrStep(Context& c, bool step) {
    const ValueSpec& spec = *findValue(c.args[0]);
    int (*fn)(unsigned char, int) = c.session->api().*spec.fn;
    if (!fn) return missing(c.out, spec.label);
    int wanted = 0;
    long stepBy = 0;
    if (step) parseInteger(c.args[1], stepBy);
    else parseValue(spec, c.args[1], wanted);
    const int before = step ? fn(1, 0) : 0;
    const int result = fn(step ? 1 : 0, step ? static_cast<int>(stepBy) : wanted);
    const bool failed = (spec.fn == &Api::aecDensity) ? result == -10 : result == -1;
    if (failed) {
        c.session->pollNotifications(c.out, 50);
        return c.out.fail(kExitRefused, std::string(spec.name) + ": the generator did not answer");
    }
    if (!step && result != wanted) {
        // The library keeps its value when a request is refused (demonstration mode
        // applies its own rules): say so instead of printing the old value as if set.
        report(c, spec, result, "");
        return c.out.fail(kExitRefused, std::string(spec.name) + ": " + showValue(spec, wanted) +
                                            " was not accepted; the value stays " + showValue(spec, result));
    }
    if (step && result == before) {
        report(c, spec, result, "");
        return c.out.fail(kExitRefused, std::string(spec.name) + ": the step was not applied; the value stays " +
                                            showValue(spec, result));
    }
    return report(c, spec, result, "");
}

int runSet(Context& c) { return runSetOrStep(c, false); }
int runStep(Context& c) { return runSetOrStep(c, true); }

int runTimers(Context& c) {
    Api& api = c.session->api();
    if (!api.accTimer || !api.intTimer) return missing(c.out, "fluoroscopy timers");
    const int acc = api.accTimer(1);
    const int integral = api.intTimer(1);
    c.out.field("accumulated", "accumulated timer", Json::integer(acc), std::to_string(acc));
    c.out.field("integral", "integral timer", Json::integer(integral), std::to_string(integral));
    return kExitDone;
}

int runCalibration(Context& c) {
    Api& api = c.session->api();
    if (!api.calibParameters) return missing(c.out, "calibration read-back");
    const int r = api.calibParameters();  // 0 answered, -1 not
    c.out.field("answered", "calibration read-back", Json::boolean(r == 0), r == 0 ? "answered" : "no answer");
    c.out.quantity("kV", q("kv", api.calibKV(), 0, "kV"));
    c.out.quantity("mA", q("ma", api.calibMA() / 10.0, 1, "mA"));
    const int filament = api.calibFilament();
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", filament / 1000.0);
    c.out.field("filament", "filament", Json::number(filament / 1000.0, 3), text);
    return r == 0 ? kExitDone : c.out.fail(kExitRefused, "calibration: the generator did not answer");
}

}  // namespace

KESTRO_CLI_COMMAND(status) = {
    "status", "mode, state, heat, radiography and fluoroscopy values, notifications", "", "", Needs::Generator,
    nullptr, runStatus};

KESTRO_CLI_COMMAND(set) = {
    "set", "set a value: kv, ma, ms, mas, density, fluo-kv, fluo-ma, fluo-pps", "NAME VALUE",
    "  VALUE in the value's unit: kV, mA, ms, mAs, pps (ma 12.5 is 12.5 mA); a value outside\n"
    "  the accepted range is refused before anything starts.\n"
    "  kv 40..150 kV, ma 10.0..1000.0 mA, ms 1.0..6300.0 ms, mas 0.5..1000.0 mAs,\n"
    "  density -8..8, fluo-kv 40..125 kV, fluo-ma 0.5..20.0 mA, fluo-pps 3.0..30.0 pps\n",
    Needs::Generator, checkSet, runSet};

KESTRO_CLI_COMMAND(step) = {
    "step", "step one of those values", "NAME -2|-1|+1|+2", "", Needs::Generator, checkStep, runStep};

KESTRO_CLI_COMMAND(timers) = {"timers", "query the fluoroscopy timers", "", "", Needs::Generator, nullptr, runTimers};

KESTRO_CLI_COMMAND(calibration) = {
    "calibration", "the calibration read-back (kV, mA, filament)", "", "", Needs::Generator, nullptr, runCalibration};

}  // namespace kestro::cli
