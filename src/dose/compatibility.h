#pragma once
// The generator compatibility record: which optional features the connected
// generator has. Eight 0/1 fields followed by 632 feature flags, all 32-bit.

#include <atomic>
#include <cstdint>

namespace kestro {

struct GenCompInfo {
    static constexpr int kFlagCount = 632;
    std::atomic<std::int32_t> OneMsEnable{0};
    std::atomic<std::int32_t> secondTubeEnable{0};
    std::atomic<std::int32_t> ABSDoseRate{0};
    std::atomic<std::int32_t> FluoRadCurves{0};
    std::atomic<std::int32_t> AECDataChannelRelated{0};
    std::atomic<std::int32_t> DAPCalibrationUpdate{0};
    std::atomic<std::int32_t> bFunctionConfigDetect{0};
    std::atomic<std::int32_t> bDynamicFilCalib{0};
    std::atomic<std::int32_t> bFunctionEnable[kFlagCount] = {};

    void clear() {
        OneMsEnable = 0;
        secondTubeEnable = 0;
        ABSDoseRate = 0;
        FluoRadCurves = 0;
        AECDataChannelRelated = 0;
        DAPCalibrationUpdate = 0;
        bFunctionConfigDetect = 0;
        bDynamicFilCalib = 0;
        for (auto& flag : bFunctionEnable) flag = 0;
    }
};

}  // namespace kestro
