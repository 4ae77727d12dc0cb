// The GI facade's numeric values: kV, mA, ms and mAs with their steps and validated
// setters, AEC density, and the status values it passes on in its own convention.

#include "api/gi_common.h"

using namespace kestro;
using namespace kestro::gi;

namespace {

// Convention A over an int-valued wrapped call.
int intResult(int value, int failure, int* out) {
    if (value == failure) return kFailed;
    *out = value;
    return kOk;
}

template <typename Convert>
int floatResult(int value, float* out, Convert convert) {
    if (value == -1) return kFailed;
    *out = convert(value);
    return kOk;
}

int kvStep(int step, int* kv) {
    if (!kv) return kFailed;
    return intResult(IO_RadKVValue(1, step), -1, kv);
}
int maStep(int step, float* mA) {
    if (!mA) return kFailed;
    return floatResult(IO_RadMAValue(1, step), mA, fromTenths);
}
int msStep(int step, float* ms) {
    if (!ms) return kFailed;
    return floatResult(IO_RadMSValue(1, step), ms, msFromWire);
}
int masStep(int step, float* mAs) {
    if (!mAs) return kFailed;
    return floatResult(IO_RadMXValue(1, step), mAs, fromTenths);
}

// Convention B: the wrapped call's answer, converted, or 1 when it failed.
template <typename Convert>
int setResult(int answer, float* out, Convert convert) {
    if (answer == -1) return kSetFailed;
    *out = convert(answer);
    return kSetOk;
}

}  // namespace

KESTRO_EXPORT(int) GIGetKV(int* kv) { return guarded(kFailed, [&] { return kvStep(0, kv); }); }
KESTRO_EXPORT(int) GIIncreaseKVOneStep(int* kv) { return guarded(kFailed, [&] { return kvStep(1, kv); }); }
KESTRO_EXPORT(int) GIDecreaseKVOneStep(int* kv) { return guarded(kFailed, [&] { return kvStep(-1, kv); }); }
KESTRO_EXPORT(int) GIIncreaseKVFiveSteps(int* kv) { return guarded(kFailed, [&] { return kvStep(2, kv); }); }
KESTRO_EXPORT(int) GIDecreaseKVFiveSteps(int* kv) { return guarded(kFailed, [&] { return kvStep(-2, kv); }); }

KESTRO_EXPORT(int) GIGetMA(float* mA) { return guarded(kFailed, [&] { return maStep(0, mA); }); }
KESTRO_EXPORT(int) GIIncreaseMAOneStep(float* mA) { return guarded(kFailed, [&] { return maStep(1, mA); }); }
KESTRO_EXPORT(int) GIDecreaseMAOneStep(float* mA) { return guarded(kFailed, [&] { return maStep(-1, mA); }); }
KESTRO_EXPORT(int) GIIncreaseMAFiveSteps(float* mA) { return guarded(kFailed, [&] { return maStep(2, mA); }); }
KESTRO_EXPORT(int) GIDecreaseMAFiveSteps(float* mA) { return guarded(kFailed, [&] { return maStep(-2, mA); }); }

KESTRO_EXPORT(int) GIGetMS(float* ms) { return guarded(kFailed, [&] { return msStep(0, ms); }); }
KESTRO_EXPORT(int) GIIncreaseMSOneStep(float* ms) { return guarded(kFailed, [&] { return msStep(1, ms); }); }
KESTRO_EXPORT(int) GIDecreaseMSOneStep(float* ms) { return guarded(kFailed, [&] { return msStep(-1, ms); }); }
KESTRO_EXPORT(int) GIIncreaseMSFiveSteps(float* ms) { return guarded(kFailed, [&] { return msStep(2, ms); }); }
KESTRO_EXPORT(int) GIDecreaseMSFiveSteps(float* ms) { return guarded(kFailed, [&] { return msStep(-2, ms); }); }

KESTRO_EXPORT(int) GIGetMAS(float* mAs) { return guarded(kFailed, [&] { return masStep(0, mAs); }); }
KESTRO_EXPORT(int) GIIncreaseMASOneStep(float* mAs) { return guarded(kFailed, [&] { return masStep(1, mAs); }); }
KESTRO_EXPORT(int) GIDecreaseMASOneStep(float* mAs) { return guarded(kFailed, [&] { return masStep(-1, mAs); }); }
KESTRO_EXPORT(int) GIIncreaseMASFiveSteps(float* mAs) { return guarded(kFailed, [&] { return masStep(2, mAs); }); }
KESTRO_EXPORT(int) GIDecreaseMASFiveSteps(float* mAs) { return guarded(kFailed, [&] { return masStep(-2, mAs); }); }

KESTRO_EXPORT(int) GISetKV(int kv, int* result) {
    return guarded(kSetFailed, [&] {
        if (!result) return kSetFailed;
        if (kv < 40 || kv > 150) return refuse("kv(" + std::to_string(kv) + ")is invalid, call GISetKV() failed");
        const int answer = IO_RadKVValue(0, kv);
        if (answer == -1) return kSetFailed;
        *result = answer;
        return kSetOk;
    });
}

// The mA check is against the standard table whichever table is active.
KESTRO_EXPORT(int) GISetMA(float mA, float* result) {
    return guarded(kSetFailed, [&] {
        if (!result) return kSetFailed;
        if (GSICheckMAIsValid(mA) < 0)
            return refuse("mA(" + formatted("%.2f", mA) + ")is invalid, call GISetMA() failed");
        return setResult(IO_RadMAValue(0, toTenths(mA)), result, fromTenths);
    });
}

KESTRO_EXPORT(int) GISetMS(float ms, float* result) {
    return guarded(kSetFailed, [&] {
        if (!result) return kSetFailed;
        if (GSICheckMSIsValid(ms) < 0)
            return refuse("ms(" + formatted("%.2f", ms) + ")is invalid, call GISetMS() failed");
        const int wire = ms == 1.25f ? 12 : toTenths(ms);
        return setResult(IO_RadMSValue(0, wire), result, msFromWire);
    });
}

KESTRO_EXPORT(int) GISetMAS(float mAs, float* result) {
    return guarded(kSetFailed, [&] {
        if (!result) return kSetFailed;
        if (GSICheckMASIsValid(mAs) < 0)
            return refuse("mAs(" + formatted("%.2f", mAs) + ")is invalid, call GISetMAS() failed");
        return setResult(IO_RadMXValue(0, toTenths(mAs)), result, fromTenths);
    });
}

KESTRO_EXPORT(int) GIGetAECDensity(int* density) {
    return guarded(kFailed, [&] { return density ? intResult(IO_RadAECDens(1, 0), -10, density) : kFailed; });
}

KESTRO_EXPORT(int) GISetAECDensity(int density, int* result) {
    return guarded(kSetFailed, [&] {
        if (!result) return kSetFailed;
        if (density < -8 || density > 8)
            return refuse("AECDensity(" + std::to_string(density) + ")is invalid, call GISetAECDensity() failed");
        const int answer = IO_RadAECDens(0, density);
        if (answer == -10) return kSetFailed;
        *result = answer;
        return kSetOk;
    });
}

KESTRO_EXPORT(int) GIGetAECExpectedExposureTime(int* time) {
    return guarded(kFailed, [&] { return time ? intResult(IO_GetAECExposureTime(), -1, time) : kFailed; });
}

KESTRO_EXPORT(int) GIGetTubeHeatPercent(int* heat) {
    return guarded(kFailed, [&] { return heat ? intResult(IO_GetAnodeTubeHeat(0), -1, heat) : kFailed; });
}

KESTRO_EXPORT(int) GIGetGenMaxKW(int* kw) {
    return guarded(kFailed, [&] { return kw ? intResult(IO_GetGenKW(), -1, kw) : kFailed; });
}

KESTRO_EXPORT(float) GIGetPostMAS(void) {
    return guarded(-0.1f, [] { return fromTenths(IO_GetPostMASValue()); });
}

KESTRO_EXPORT(float) GIGetPostMS(void) {
    return guarded(-0.1f, [] { return fromTenths(IO_GetPostTIMEValue()); });
}
