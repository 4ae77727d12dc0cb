#pragma once
// The operator values the tool sets and steps: their names, units, scales and the ranges
// the tool accepts before anything is sent.

#include <string>

#include "library.h"

namespace kestro::cli {

struct ValueSpec {
    const char* name;      // as typed: kv, ma, ...
    const char* label;     // for people
    const char* unit;      // kV, mA, ms, mAs, pps or empty
    int scale;             // the library's units per displayed unit (10: tenths)
    double min, max;       // accepted range in displayed units
    int (*Api::*fn)(unsigned char, int);
};

// The value named `name`, or null.
const ValueSpec* findValue(const std::string& name);
// "kv, ma, ms, mas, density, fluo-kv, fluo-ma, fluo-pps".
std::string valueNames();
// Parses a value as typed (displayed units) into library units; the reason on failure.
std::string parseValue(const ValueSpec& spec, const std::string& text, int& libraryValue);
// The accepted range as text, e.g. "40 to 150 kV".
std::string rangeText(const ValueSpec& spec);
// Formats a library value in displayed units.
std::string showValue(const ValueSpec& spec, int libraryValue);
double displayValue(const ValueSpec& spec, int libraryValue);
int decimalsOf(const ValueSpec& spec);

}  // namespace kestro::cli
