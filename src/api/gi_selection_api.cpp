// The GI facade's selections in the host's numbering (AEC field and film, focus,
// technique, auxiliary), the generator phase, the working tube, the heat limits, the
// pass-throughs and the library's own version text.

#include <limits>
#include <string>

#include "api/gi_common.h"
#include "platform/platform.h"

using namespace kestro;
using namespace kestro::gi;

namespace {

// Convention A: the wrapped result (-1 is failure) mapped into the host's numbering.
template <typename Map>
int selection(int wrapped, int* out, Map map) {
    if (wrapped == -1) return kFailed;
    *out = map(wrapped);
    return kOk;
}

int fieldToHost(int field) { return field >= 1 && field <= 7 ? field : 2; }
int filmToHost(int film) { return film == 1 ? 0 : film == 4 ? 2 : 1; }
int filmFromHost(int index) { return index == 1 ? 2 : index == 2 ? 4 : 1; }
int focusToHost(int focus) { return focus == 1 ? 1 : 0; }
int techniqueToHost(int technique) { return technique >= 0 && technique <= 3 ? technique : 2; }
int receptorToHost(int receptor) { return receptor >= 1 && receptor <= 6 ? receptor - 1 : 1; }

// The facade's phase number of a link status code.
int phaseOfState(int state) {
    switch (state) {
        case 1: return 1;
        case 2: return 2;
        case 3: return 3;
        case 4: return 5;
        case 5: case 6: case 7: case 14: return 8;
        case 9: return 10;
        case 10: return 4;
        case 11: return 6;
        case 12: return 9;
        case 13: return 7;
        default: return 11;
    }
}

}  // namespace

KESTRO_EXPORT(int) GIGetAECField(int* field) {
    return guarded(kFailed, [&] { return field ? selection(IO_RadAECField(1, 0), field, fieldToHost) : kFailed; });
}
KESTRO_EXPORT(int) GISetAECField(int field, int* result) {
    return guarded(kFailed,
                   [&] { return result ? selection(IO_RadAECField(0, field), result, fieldToHost) : kFailed; });
}

KESTRO_EXPORT(int) GIGetAECFilm(int* film) {
    return guarded(kFailed, [&] { return film ? selection(IO_RadAECFilm(1, 0), film, filmToHost) : kFailed; });
}
KESTRO_EXPORT(int) GISetAECFilm(int film, int* result) {
    return guarded(kFailed, [&] {
        return result ? selection(IO_RadAECFilm(0, filmFromHost(film)), result, filmToHost) : kFailed;
    });
}

KESTRO_EXPORT(int) GIGetFocus(int* focus) {
    return guarded(kFailed, [&] { return focus ? selection(IO_RadSelectFocus(1, 0), focus, focusToHost) : kFailed; });
}
KESTRO_EXPORT(int) GISetFocus(int focus, int* result) {
    return guarded(kFailed,
                   [&] { return result ? selection(IO_RadSelectFocus(0, focus), result, focusToHost) : kFailed; });
}

KESTRO_EXPORT(int) GIGetTechnique(int* technique) {
    return guarded(kFailed, [&] {
        return technique ? selection(IO_RadSelectTech(1, 0), technique, techniqueToHost) : kFailed;
    });
}
KESTRO_EXPORT(int) GISetTechnique(int technique, int* result) {
    return guarded(kFailed, [&] {
        return result ? selection(IO_RadSelectTech(0, technique), result, techniqueToHost) : kFailed;
    });
}

KESTRO_EXPORT(int) GIGetAuxiliary(int* aux) {
    return guarded(kFailed,
                   [&] { return aux ? selection(IO_RFSelectReceptor(1, 0), aux, receptorToHost) : kFailed; });
}
KESTRO_EXPORT(int) GISetAuxiliary(int aux, int* result) {
    return guarded(kFailed, [&] {
        // The host counts auxiliaries from 0, the generator receptors from 1 (the
        // largest int stays out of range instead of overflowing).
        const int receptor = aux == std::numeric_limits<int>::max() ? aux : aux + 1;
        return result ? selection(IO_RFSelectReceptor(0, receptor), result, receptorToHost) : kFailed;
    });
}

KESTRO_EXPORT(int) GIGetGenPhase(int* phase) {
    return guarded(kFailed, [&] {
        CCommProtocol* link = activeLink();
        if (!phase || !link) return kFailed;
        int reported = 0;
        if (IO_GetGenPhase(&reported) == 0) return kFailed;
        *phase = phaseOfState(link->m_nGenState);
        return kOk;
    });
}

// Not while the generator prepares or exposes (phases 3, 4, 5: states 3, 10, 4).
KESTRO_EXPORT(int) GICheckGenAllowOperation(void) {
    return guarded(0, [] {
        int phase = 0;
        if (GIGetGenPhase(&phase) != kOk) return 0;
        return phase == 3 || phase == 4 || phase == 5 ? 0 : 1;
    });
}

KESTRO_EXPORT(int) GIGetCurrentWorkingTube(int* tube) {
    return guarded(kFailed, [&] {
        if (!tube) return kFailed;
        const int receptor = IO_RFSelectReceptor(1, 0);
        if (receptor == -1) return kFailed;
        const unsigned char* packet = IO_GetModelPointerByte(6);
        if (!packet || IO_RefreshModelData(6, receptor) == 0) return kFailed;
        *tube = packet[1] == 2 ? 1 : 0;
        return kOk;
    });
}

KESTRO_EXPORT(int) GIGetTubeHeatLimits(int* first, int* second) {
    return guarded(kFailed, [&] {
        if (!first || !second) return kFailed;
        platform::sleepMs(100);
        const unsigned char* packet = IO_GetModelPointerByte(4);
        const int refreshed = packet ? IO_RefreshModelData(4, 1) : 0;
        platform::sleepMs(100);
        if (!refreshed) return kFailed;
        *first = packet[19];
        *second = packet[20];
        return kOk;
    });
}

KESTRO_EXPORT(int) GIGetAuxiliaryEnabledInformation(int* pairs) { return IO_GetEnabledAuxiliary(pairs); }
KESTRO_EXPORT(int) GIGetAuxiliaryAECEnabledInformation(int aux, int* enabled) {
    return IO_GetAuxiliaryAECEnabledInformation(aux, enabled);
}
KESTRO_EXPORT(int) GIGetAECFieldConfig(int aux, int* field) { return IO_GetAECFieldConfig(aux, field); }
KESTRO_EXPORT(int) GIGetAECFilmSpeedConfig(int aux, int* filmSpeed) {
    return IO_GetAECFilmSpeedConfig(aux, filmSpeed);
}
KESTRO_EXPORT(int) GIGetDoseRateValues(uint32_t* values) { return IO_GetDoseRateValues(values); }
KESTRO_EXPORT(int) GIGetDAPValueAfterExposure(double area, double height, double* dap) {
    return IO_GetDAPValueAfterExposure(area, height, dap);
}

// The text stays valid until the calling thread asks again.
KESTRO_EXPORT(const char*) GIGetKestroDLLVersion(void) {
    thread_local std::string text;
    return guarded<const char*>("", [] {
        text = platform::fileVersion(platform::modulePath());
        return text.c_str();
    });
}
