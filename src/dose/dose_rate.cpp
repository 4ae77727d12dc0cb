// Dose-rate table and the dose-area product after an exposure.

#include "dose/dose_rate.h"

#include <mutex>
#include <string>
#include <vector>

#include "data/model_data.h"
#include "link/comm_protocol.h"

namespace kestro {

int loadDoseRateData(CCommProtocol& link) {
    const std::uint8_t* curve = link.m_pData->packet(12);
    if (!curve || !refreshModelData(link, 12, 1)) return 0;
    std::vector<std::uint32_t> values;
    values.reserve(kDoseRatePoints);
    for (int i = 0; i < kDoseRatePoints; ++i)
        values.push_back(static_cast<std::uint32_t>(curve[2 * i + 1]) * 256u + curve[2 * i + 2]);
    std::lock_guard<std::mutex> lock(link.m_TablesLock);
    link.m_doseRateData = std::move(values);
    return 1;
}

void CCommProtocol::LoadDoseRateData() { loadDoseRateData(*this); }

std::optional<std::int64_t> interpolateDoseRate(std::span<const std::uint32_t> table, int kV) {
    if (kV < kDoseRateFirstKV || kV > kDoseRateLastKV) return std::nullopt;
    if (table.size() != kDoseRatePoints) return std::nullopt;
    const int offset = kV - kDoseRateFirstKV;
    const std::size_t i = static_cast<std::size_t>(offset / 10);
    const std::int64_t lower = table[i];
    if (offset % 10 == 0) return lower;
    const std::int64_t upper = table[i + 1];
    return lower + (upper - lower) / 10 * (offset % 10);
}

// The refusals are traced as the host's own log lines are: not in demonstration mode.
double CCommProtocol::CalculatekVDoseRate(int kV) {
    const bool trace = m_pData->bDemo == 0;
    if (kV < kDoseRateFirstKV || kV > kDoseRateLastKV) {
        if (trace)
            WriteTraceLine("IO_GetDAPValueAfterExposure Failed in : CalculatekVDoseRate kV = ", -1,
                           std::to_string(kV));
        return -1.0;
    }
    std::optional<std::int64_t> rate;
    {
        std::lock_guard<std::mutex> lock(m_TablesLock);
        rate = interpolateDoseRate(m_doseRateData, kV);
    }
    if (!rate) {
        if (trace)
            WriteTraceLine("IO_GetDAPValueAfterExposure Failed in : CalculatekVDoseRate :", -1,
                           "m_doseRateData.GetSize() != 12");
        return -1.0;
    }
    return static_cast<double>(*rate);
}

}  // namespace kestro
