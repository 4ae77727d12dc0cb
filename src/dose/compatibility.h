#pragma once
// The generator compatibility record: which optional features the connected
// generator has. Eight 0/1 fields followed by 632 feature flags, all 32-bit.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

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

class CCommProtocol;

// The record as the host receives it: the eight fields, then the 632 flags.
inline constexpr int kCompRecordInts = 8 + GenCompInfo::kFlagCount;

// At most ten request entries fit the 632 flags.
inline constexpr int kCompMaxEntries = 10;

// The request bytes of one entry's settings string: up to eight decimal numbers
// separated by "," or line breaks (blanks around a number are allowed; further numbers
// are not sent). Nothing when the string holds no number, when a piece is not a
// decimal number, or when a number lies outside 0..255.
std::optional<std::vector<std::uint8_t>> parseCompEntry(std::string_view text);

// Sets the flags (and, for entry 0, the eight fields) whose bits are 1 in answer
// bytes 2..9 of data packet 22 for the entry.
void decodeCompAnswer(GenCompInfo& info, int entry, const std::uint8_t* packet22);

// The compatibility query: clears the record, sends every configured request entry as
// packet 22, reads the answer back and decodes it. 1 on success, -1 (record all zero)
// on a refused configuration, a failed send or a failed read-back.
int getGeneratorCompatibility(CCommProtocol& link);

// Copies the record into 640 ints (fields, then flags).
void copyCompRecord(const GenCompInfo& info, std::int32_t* record);

// The pause after each request is sent; tests replace it.
using CompSleep = void (*)(int milliseconds);
void setCompSleepForTesting(CompSleep sleep);

}  // namespace kestro
