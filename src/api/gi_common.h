#pragma once
// Shared by the GI facade's files: its result conventions and unit conversions.

#include <cmath>
#include <cstdio>
#include <string>

#include "api/export.h"

namespace kestro::gi {

// Convention A: 1 with the out-parameter written, 0 when the wrapped call failed.
inline constexpr int kOk = 1;
inline constexpr int kFailed = 0;
// Convention B: 0 written, 1 the wrapped call failed, 2 refused before sending.
inline constexpr int kSetOk = 0;
inline constexpr int kSetFailed = 1;
inline constexpr int kSetRefused = 2;

// Wire tenths as the facade shows them.
inline float fromTenths(int tenths) { return static_cast<float>(tenths / 10.0); }
// ms: the wire value 12 is 1.25 ms.
inline float msFromWire(int tenths) { return tenths == 12 ? 1.25f : fromTenths(tenths); }

// A value times ten truncated toward zero (the caller has checked it against a table).
inline int toTenths(float value) { return static_cast<int>(static_cast<double>(value) * 10.0); }

inline std::string formatted(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The refusal of a validated setter: one host trace line, result 2.
inline int refuse(const std::string& text) {
    IO_WriteLog(text.c_str(), -1, "");
    return kSetRefused;
}

}  // namespace kestro::gi
