#pragma once
// The radiography step tables (mA, ms and mAs in tenths, ascending) and the choice of
// the active mA table. The operator API steps over them in demonstration mode, the
// data-bag transfer reads the active mA table as five-character texts, and the
// service functions check values against them.

#include <span>

namespace kestro::steps {

inline constexpr int kMaCount = 21;
inline constexpr int kMsCount = 39;
inline constexpr int kMasCount = 34;

// mA table of a variant (0 or 1; any other number gives variant 0).
std::span<const int> maTableVariant(int variant);
// The same values as zero-padded five-character texts ("00100" .. "10000").
std::span<const char* const> maTextTableVariant(int variant);

// The active mA table and its text table. Variant 0 is active at load.
std::span<const int> maTable();
std::span<const char* const> maTextTable();
int activeMaVariant();
// 1 makes variant 1 active, any other value variant 0; both tables switch together.
void chooseMaTable(int which);

std::span<const int> msTable();
std::span<const int> masTable();

// Position of value in table, or -1 when it is not an entry.
int indexOf(std::span<const int> table, int value);

}  // namespace kestro::steps
