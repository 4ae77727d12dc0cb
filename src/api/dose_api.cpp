// Dose and compatibility exports: the dose-rate table, the dose-area product after an
// exposure, and the generator compatibility record.

#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>

#include "api/export.h"
#include "dose/compatibility.h"
#include "dose/dose_rate.h"

using namespace kestro;

namespace {

std::string sevenTwo(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%7.2f", value);
    return text;
}

}  // namespace

KESTRO_EXPORT(int) IO_GetDoseRateValues(uint32_t* values) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link || !link->m_pData || !values) return 0;
        if (!loadDoseRateData(*link)) return 0;
        std::lock_guard<std::mutex> lock(link->m_TablesLock);
        if (link->m_doseRateData.size() != kDoseRatePoints) return 0;
        for (int i = 0; i < kDoseRatePoints; ++i) values[i] = link->m_doseRateData[static_cast<std::size_t>(i)];
        return 1;
    });
}

// Area and height that are not finite positive numbers are refused like a
// non-positive one.
KESTRO_EXPORT(int) IO_GetDAPValueAfterExposure(double area, double height, double* dap) {
    return guarded(0, [&] {
        CCommProtocol* link = activeLink();
        if (!link || !link->m_pData || !dap) return 0;
        if (!(area > 0) || !std::isfinite(area)) {
            IO_WriteLog("IO_GetDAPValueAfterExposure Failed in : Area = ", -1, sevenTwo(area).c_str());
            return 0;
        }
        if (!(height > 0) || !std::isfinite(height)) {
            IO_WriteLog("IO_GetDAPValueAfterExposure Failed in : dHeight = ", -1, sevenTwo(height).c_str());
            return 0;
        }
        const int kV = IO_RadKVValue(1, 3);  // the stored value, nothing sent
        const double rate = link->CalculatekVDoseRate(kV);
        if (rate == -1.0) return 0;
        const double mAs = IO_GetPostMASValue() * 0.1;
        double d = rate / 100.0 * mAs;
        if (d == 0) {
            IO_WriteLog("IO_GetDAPValueAfterExposure Failed in IO_GetPostMASValue = 0 ", -1, "");
            return 0;
        }
        const double scale = 100.0 / height;
        d = d * (scale * scale);
        *dap = d * area;
        return 1;
    });
}

KESTRO_EXPORT(int) IO_GetGeneratorCompatibility(void) {
    return guarded(-1, [] {
        CCommProtocol* link = activeLink();
        if (!link || !link->m_pData) return -1;
        return getGeneratorCompatibility(*link);
    });
}

KESTRO_EXPORT(void) IO_GeneratorCompatibility(int* record) {
    guardedVoid([&] {
        CCommProtocol* link = activeLink();
        if (!link || !record) return;
        copyCompRecord(link->gen_CompInfo, reinterpret_cast<std::int32_t*>(record));
    });
}
