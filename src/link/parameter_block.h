#pragma once
// The 61-character radiography parameter block ("SA WS1 FO0 ET1 FI000 FS001 FN 0 KV000
// MA00000 MS01000 MX00000") that sets workstation, focus, technique, AEC field, film,
// density, kV, mA, ms and mAs in one command, built from the three record kinds that
// carry a technique.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "link/apr_types.h"

namespace kestro {

inline constexpr int kParameterBlockLength = 61;
inline constexpr int kParameterBlockKind = 57;
using ParameterBlock = std::array<char, kParameterBlockLength>;

inline std::string_view blockText(const ParameterBlock& block) { return {block.data(), block.size()}; }

// From an APR record in generator units. Nothing when a value cannot be written in its
// field (kV outside 0..999, mA, ms or mAs outside 0..99999).
std::optional<ParameterBlock> aprBlock(const APRDataInfo& info);

// From an APR record in physical units: mA, ms and mAs times 10, truncated toward zero.
// An ms of exactly 1.25 is first replaced by 1.2 in the record. Nothing when a value
// cannot be written in its field.
std::optional<ParameterBlock> aprBlock(APRSourceData& data);

// From the technique record (20 bytes, image positions 4..23) for technique selector t,
// with the active mA text table. Nothing when an mA index (record bytes 3, 11, 12) is
// 21 or more, the chosen ms index is 36..99 or above 102, or the chosen mAs index is
// beyond the mAs table.
std::optional<ParameterBlock> techniqueBlock(const std::uint8_t* record, int t);

// The reply flags of the ten confirmed items: WS ET FO FI FS FN KV MA MS MX.
inline constexpr int kParameterBlockItems[] = {9, 13, 12, 16, 17, 18, 0, 1, 2, 3};
// The generator's refusal: the EL item (reply flag 5) with this warning code.
inline constexpr int kWarningReplyFlag = 5;
inline constexpr int kTechniqueRefused = 64;

}  // namespace kestro
