#pragma once
// APR (anatomically programmed radiography) technique records passed by the host.

#include <cstdint>

namespace kestro {

// Ten values in generator units.
struct APRDataInfo {
    std::int32_t kV;
    std::int32_t mA;           // tenths of mA
    std::int32_t ms;           // tenths of ms
    std::int32_t mAs;          // tenths of mAs
    std::int32_t workstation;  // digit as sent, 0..9
    std::int32_t focus;        // 0 small, 1 large
    std::int32_t technique;    // 0..3
    std::int32_t field;        // AEC field combination 1..7
    std::int32_t film;         // 0, 1 or 2
    std::int32_t density;      // -8..+8
};

// The same in physical units.
struct APRSourceData {
    std::int32_t kV;
    float mA;
    float ms;
    float mAs;
    std::int32_t workstation;  // 0-based
    std::int32_t focus;
    std::int32_t technique;
    std::int32_t field;
    std::int32_t film;
    std::int32_t density;
};

}  // namespace kestro
