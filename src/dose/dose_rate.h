#pragma once
// The dose-rate table (twelve values, one per 10 kV from 40 to 150 kV, from data
// packet 12) and the dose-area product of the last exposure.

#include <cstdint>
#include <optional>
#include <span>

namespace kestro {

class CCommProtocol;

inline constexpr int kDoseRatePoints = 12;
inline constexpr int kDoseRateFirstKV = 40;
inline constexpr int kDoseRateLastKV = 150;

// Refreshes packet 12 (record 1) and, on success, replaces the link's table with its
// twelve big-endian words. 1 on success, 0 when the refresh failed (table unchanged).
int loadDoseRateData(CCommProtocol& link);

// The rate at kV from a twelve-entry table: an entry at a table point, else the lower
// point's entry plus (difference / 10) times the distance from it, in integers with
// the division truncated toward zero. The difference is signed, so a falling segment
// interpolates downward as a rising one does upward. Nothing for a kV outside 40..150
// or a table that does not hold twelve entries.
std::optional<std::int64_t> interpolateDoseRate(std::span<const std::uint32_t> table, int kV);

}  // namespace kestro
