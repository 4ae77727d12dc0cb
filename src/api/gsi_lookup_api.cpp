// Service look-ups that need no console: values of the step tables by index, the
// console's ms numbering, the stored ms, and the version text of a file.

#include <string>

#include "api/gi_common.h"
#include "data/step_tables.h"
#include "platform/platform.h"

using namespace kestro;

namespace {

// The ms table position of a console ms index: 102, 101, 100 are the first three
// entries, 0..35 the entries from the fourth on.
int msIndexOfConsole(int consoleIndex) {
    if (consoleIndex >= 100 && consoleIndex <= 102) return 102 - consoleIndex;
    if (consoleIndex >= 0 && consoleIndex <= steps::kMsCount - 4) return consoleIndex + 3;
    return -1;
}

int tableValue(std::span<const int> table, int index, float* out, float (*convert)(int)) {
    if (!out || index < 0 || index >= static_cast<int>(table.size())) return 0;
    *out = convert(table[static_cast<std::size_t>(index)]);
    return 1;
}

}  // namespace

KESTRO_EXPORT(int) GSIGetRadMAValueFromTable(int index, float* mA) {
    return guarded(0, [&] { return tableValue(steps::maTableVariant(0), index, mA, gi::fromTenths); });
}

KESTRO_EXPORT(int) GSIGetRadMSValueFromTable(int index, float* ms) {
    return guarded(0, [&] { return tableValue(steps::msTable(), index, ms, gi::msFromWire); });
}

KESTRO_EXPORT(int) GSIGetRadMASValueFromTable(int index, float* mAs) {
    return guarded(0, [&] { return tableValue(steps::masTable(), index, mAs, gi::fromTenths); });
}

KESTRO_EXPORT(int) GSICheckConsoleMSIsValid(float ms) {
    return guarded(-1, [&] {
        const int index = GSICheckMSIsValid(ms);
        if (index < 0) return -1;
        return index >= 3 ? index - 3 : 102 - index;
    });
}

KESTRO_EXPORT(int) GSIGetRadMSValueByConsoleMSIndex(int consoleIndex, float* ms) {
    return guarded(0, [&] { return tableValue(steps::msTable(), msIndexOfConsole(consoleIndex), ms, gi::msFromWire); });
}

// The stored ms in tenths, unconverted (12.5 for the 1.25 ms entry); nothing is sent.
KESTRO_EXPORT(int) GSIGetMSFromDLL(float* ms) {
    return guarded(0, [&] {
        if (!ms) return 0;
        const int stored = IO_RadMSValue(1, 9);
        if (stored == -1) return 0;
        *ms = stored == 12 ? 12.5f : static_cast<float>(stored);
        return 1;
    });
}

// The text stays valid until the calling thread asks again.
KESTRO_EXPORT(const char*) GSIGetFileVersion(const char* fileName) {
    thread_local std::string text;
    return guarded<const char*>("", [&] {
        text = fileName ? platform::fileVersion(fileName) : std::string();
        return text.c_str();
    });
}
