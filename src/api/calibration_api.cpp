// Program-mode and tube-calibration exports, and the service functions built on them.

#include <limits>

#include "api/operator_common.h"

using namespace kestro;
using op::Command;

namespace {

constexpr int kFail = -1;

}  // namespace

KESTRO_EXPORT(int) IO_SetProgramMode(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return d.programMode;
        if (!bQuery && (value < 0 || value > 3)) return kFail;
        Command command = bQuery ? Command("GM?") : Command("GM").digits(link, value, 1);
        return op::sendThenRead(link, command, 31, d.programMode, kFail);
    });
}

KESTRO_EXPORT(int) IO_CalibSetTube(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return d.calibTube + 1;
        if (!bQuery && value != 1 && value != 2) return kFail;
        Command command(bQuery ? "TB?" : value == 1 ? "TB0" : "TB1");
        return op::send(link, command, 24) ? d.calibTube + 1 : kFail;
    });
}

KESTRO_EXPORT(int) IO_CalibSetMode(BYTE bQuery, int value) {
    return op::withLink(kFail, [&](CCommProtocol& link, GeneratorData& d) -> int {
        if (d.bDemo) return d.calibMode;
        if (bQuery) return op::sendThenRead(link, Command("CA?"), 23, d.calibMode, kFail);
        if (value != 0 && value != 1 && value != 3 && value != 4) return kFail;
        if (!op::send(link, Command("CA").digits(link, value, 1), 23)) return kFail;
        if (value == 0) link.m_nGenState = 2;  // calibration left: ready again
        return d.calibMode;
    });
}

KESTRO_EXPORT(int) IO_CalibGetMA(void) {
    return op::withLink(kFail, [](CCommProtocol&, GeneratorData& d) -> int { return d.calibMA; });
}

KESTRO_EXPORT(int) IO_CalibGetFilament(void) {
    return op::withLink(kFail, [](CCommProtocol&, GeneratorData& d) -> int { return d.calibFilament; });
}

KESTRO_EXPORT(int) IO_CalibGetKV(void) {
    return op::withLink(kFail, [](CCommProtocol&, GeneratorData& d) -> int { return d.radKV; });
}

// The calibration read-back: calibration mA, filament current, kV and time in one
// command, answered in one message.
KESTRO_EXPORT(int) IO_CalibGetParameters(void) {
    return op::withLink(kFail, [](CCommProtocol& link, GeneratorData&) -> int {
        Command command("MC? FC? KV? MS?");
        return link.GetCpuCommandData_B(command.text(), command.length(), 0) ? 0 : kFail;
    });
}

// ---- Service functions ------------------------------------------------------------------

KESTRO_EXPORT(int) GSISetProgramMode(void) { return IO_SetProgramMode(0, 1) == kFail ? 0 : 1; }

KESTRO_EXPORT(int) GSISetOperationMode(void) { return IO_SetProgramMode(0, 0) == kFail ? 0 : 1; }

KESTRO_EXPORT(int) GSISetTubeCalibrationMode(int mode, int* result) {
    return guarded(0, [&] {
        if (!result || (mode != 0 && mode != 1 && mode != 3 && mode != 4)) return 0;
        if (IO_CalibSetMode(0, mode) == kFail) return 0;
        *result = mode;
        return 1;
    });
}

KESTRO_EXPORT(int) GSISetTubeCalibratiobTube(int tube, int* result) {
    return guarded(0, [&] {
        if (!result || tube == std::numeric_limits<int>::max()) return 0;  // tube + 1 would overflow
        const int answer = IO_CalibSetTube(0, tube + 1);
        if (answer != 1 && answer != 2) return 0;
        *result = answer - 1;
        return 1;
    });
}

KESTRO_EXPORT(int) GSIGetTubeCalibKV(void) { return IO_CalibGetKV(); }

KESTRO_EXPORT(float) GSIGetTubeCalibMA(void) { return static_cast<float>(IO_CalibGetMA() * 0.1); }

KESTRO_EXPORT(float) GSIGetTubeCalibFilamentCurrent(void) { return static_cast<float>(IO_CalibGetFilament() * 0.001); }

KESTRO_EXPORT(int) GSIEnableExposure(int enable) { return IO_SetDllMode(enable ? 0 : 1) ? 1 : 0; }

KESTRO_EXPORT(int) GSIEnableTubeCalibrationExposure(void) { return IO_SetDllMode(2) ? 1 : 0; }
