#include "values.h"

#include <cmath>
#include <cctype>
#include <cstdio>

#include "command.h"

namespace kestro::cli {

namespace {

// Ranges: kV as the generator's kV field and the library's own rules take it; mA, ms and
// mAs span the library's step tables; density and the fluoroscopy values as the setters
// accept them.
const ValueSpec kValues[] = {
    {"kv", "radiography kV", "kV", 1, 40, 150, &Api::radKV},
    {"ma", "radiography mA", "mA", 10, 10.0, 1000.0, &Api::radMA},
    {"ms", "exposure time", "ms", 10, 1.0, 6300.0, &Api::radMS},
    {"mas", "radiography mAs", "mAs", 10, 0.5, 1000.0, &Api::radMX},
    {"density", "AEC density", "", 1, -8, 8, &Api::aecDensity},
    {"fluo-kv", "fluoroscopy kV", "kV", 1, 40, 125, &Api::fluoKV},
    {"fluo-ma", "fluoroscopy mA", "mA", 10, 0.5, 20.0, &Api::fluoMA},
    {"fluo-pps", "fluoroscopy pulse rate", "pps", 10, 3.0, 30.0, &Api::fluoPPS},
};

}  // namespace

const ValueSpec* findValue(const std::string& name) {
    for (const ValueSpec& v : kValues)
        if (name == v.name) return &v;
    return nullptr;
}

std::string valueNames() {
    std::string s;
    for (const ValueSpec& v : kValues) s += std::string(s.empty() ? "" : ", ") + v.name;
    return s;
}

int decimalsOf(const ValueSpec& spec) { return spec.scale == 10 ? 1 : 0; }

double displayValue(const ValueSpec& spec, int v) { return static_cast<double>(v) / spec.scale; }

std::string showValue(const ValueSpec& spec, int v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f%s%s", decimalsOf(spec), displayValue(spec, v), *spec.unit ? " " : "",
                  spec.unit);
    return buf;
}

std::string rangeText(const ValueSpec& spec) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%.*f to %.*f%s%s", decimalsOf(spec), spec.min, decimalsOf(spec), spec.max,
                  *spec.unit ? " " : "", spec.unit);
    return buf;
}

std::string parseValue(const ValueSpec& spec, const std::string& text, int& out) {
    double v = 0;
    std::string t = text;
    // A unit typed with the value ("80kV", "12.5mA") is accepted when it is the right one.
    if (*spec.unit && t.size() > std::string(spec.unit).size()) {
        const std::string u = spec.unit;
        std::string tail = t.substr(t.size() - u.size());
        bool same = tail.size() == u.size();
        for (std::size_t i = 0; same && i < u.size(); ++i) same = std::tolower(tail[i]) == std::tolower(u[i]);
        if (same) t = t.substr(0, t.size() - u.size());
    }
    if (!parseDecimal(t, v)) return "'" + text + "' is not a number";
    const double scaled = v * spec.scale;
    if (std::fabs(scaled - std::round(scaled)) > 1e-6)
        return "'" + text + "': " + spec.name + " takes " + (spec.scale == 10 ? "one decimal" : "whole numbers");
    if (v < spec.min - 1e-9 || v > spec.max + 1e-9) return spec.name + std::string(" accepts ") + rangeText(spec);
    out = static_cast<int>(std::lround(scaled));
    return "";
}

}  // namespace kestro::cli
