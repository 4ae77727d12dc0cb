// APR exports: applying a technique from either record kind, the validating facade
// form, reading the current technique back, and the step-table checks of the service
// functions.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "api/export.h"
#include "data/step_tables.h"

using namespace kestro;

namespace {

// A value in physical units as tenths, truncated toward zero; -1 for a value that is
// not a finite number in range.
long long tenths(float value) {
    const double scaled = static_cast<double>(value) * 10.0;
    if (!std::isfinite(scaled) || scaled >= 1e9 || scaled <= -1e9) return -1;
    return static_cast<long long>(scaled);
}

int tableIndex(std::span<const int> table, float value) {
    const long long v = tenths(value);
    if (v < 0 || v > 1000000) return -1;
    return steps::indexOf(table, static_cast<int>(v));
}

std::string invalid(const char* what, const std::string& value) {
    return std::string(what) + "(" + value + ")is invalid, call GIApplyAPRData() failed";
}

std::string twoDecimals(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(value));
    return text;
}

void pauseMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

KESTRO_EXPORT(int) GSICheckMAIsValid(float mA) {
    return guarded(-1, [&] { return tableIndex(steps::maTableVariant(0), mA); });
}

KESTRO_EXPORT(int) GSICheckMSIsValid(float ms) {
    return guarded(-1, [&] { return tableIndex(steps::msTable(), ms == 1.25f ? 1.2f : ms); });
}

KESTRO_EXPORT(int) GSICheckMASIsValid(float mAs) {
    return guarded(-1, [&] { return tableIndex(steps::masTable(), mAs); });
}

KESTRO_EXPORT(int) IO_ApplyAPRData(_APRDataInfo* info) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link || !info) return 0;
        GeneratorData& d = *link->m_pData;
        if (d.bDemo) {
            d.radTechnique = info->technique;
            d.receptor = info->workstation;
            d.focus = info->focus;
            d.aecField = info->field;
            d.aecFilm = info->film;
            d.radKV = info->kV;
            d.radMA = info->mA;
            d.radMS = info->ms;
            d.radMAS = info->mAs;
            d.aecDensity = info->density;
            return 1;
        }
        return link->SendApplyAPRCommand(*info);
    });
}

KESTRO_EXPORT(int) IO_ApplyAPRDirectly(_APRSourceData* data) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link || !data) return 0;
        return link->ApplyAPRDirectly(*data);
    });
}

KESTRO_EXPORT(int) GIApplyAPRData(int kv, float mA, float ms, float mAs, int workstation, int focus, int technique,
                                  int field, int film, int density) {
    return guarded(1, [&] {
        std::string refusal;
        if (kv < 40 || kv > 150) refusal = invalid("kV", std::to_string(kv));
        else if (GSICheckMAIsValid(mA) < 0) refusal = invalid("mA", twoDecimals(mA));
        else if (GSICheckMSIsValid(ms) < 0) refusal = invalid("ms", twoDecimals(ms));
        else if (GSICheckMASIsValid(mAs) < 0) refusal = invalid("mAs", twoDecimals(mAs));
        else if (density < -8 || density > 8) refusal = invalid("AECDensity", std::to_string(density));
        if (!refusal.empty()) {
            IO_WriteLog(refusal.c_str(), -1, "");
            return 2;
        }
        _APRSourceData record{kv, mA, ms, mAs, workstation, focus, technique, field, film, density};
        return IO_ApplyAPRDirectly(&record) != 0 ? 0 : 1;
    });
}

KESTRO_EXPORT(int) GIGetGenCurAPRData(_APRSourceData* data) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link || !data) return 0;
        const int system = IO_RefreshSystemData();
        pauseMs(50);
        if (!system) return 0;
        const int rad = IO_RefreshRadData();
        pauseMs(50);
        if (!rad) return 0;

        const GeneratorData& d = *link->m_pData;
        data->kV = d.radKV;
        data->mA = static_cast<float>(d.radMA / 10.0);
        data->mAs = static_cast<float>(d.radMAS / 10.0);
        data->ms = d.radMS == 12 ? 1.25f : static_cast<float>(d.radMS / 10.0);
        if (const int receptor = d.receptor; receptor >= 1 && receptor <= 6) data->workstation = receptor - 1;
        if (const int technique = d.radTechnique; technique >= 0 && technique <= 3) data->technique = technique;
        if (const int focus = d.focus; focus == 0 || focus == 1) data->focus = focus;
        if (const int field = d.aecField; field >= 1 && field <= 7) data->field = field;
        const int film = d.aecFilm;
        data->film = film == 1 ? 0 : film == 4 ? 2 : 1;
        data->density = d.aecDensity;
        return 1;
    });
}
