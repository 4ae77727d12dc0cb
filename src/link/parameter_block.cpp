// Building the radiography parameter block.

#include "link/parameter_block.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "data/step_tables.h"

namespace kestro {
namespace {

constexpr char kTemplate[] = "SA WS1 FO0 ET1 FI000 FS001 FN 0 KV000 MA00000 MS01000 MX00000";
static_assert(sizeof kTemplate - 1 == kParameterBlockLength);

// Positions of the fields' first value character.
constexpr std::size_t kWs = 5;
constexpr std::size_t kFo = 9;
constexpr std::size_t kEt = 13;
constexpr std::size_t kFi = 17;
constexpr std::size_t kFs = 23;
constexpr std::size_t kFnSign = 29;
constexpr std::size_t kFnDigit = 30;
constexpr std::size_t kKv = 34;
constexpr std::size_t kMa = 40;
constexpr std::size_t kMs = 48;
constexpr std::size_t kMx = 56;

ParameterBlock blankBlock() {
    ParameterBlock block{};
    std::memcpy(block.data(), kTemplate, block.size());
    return block;
}

void put(ParameterBlock& block, std::size_t at, std::string_view text) {
    std::memcpy(block.data() + at, text.data(), text.size());
}

// kV as three digits; false when it has more (or is negative).
bool putKv(ParameterBlock& block, int kv) {
    if (kv < 0 || kv > 999) return false;
    block[kKv] = static_cast<char>('0' + kv / 100);
    block[kKv + 1] = static_cast<char>('0' + kv / 10 % 10);
    block[kKv + 2] = static_cast<char>('0' + kv % 10);
    return true;
}

// A value as five zero-padded digits; false when it does not fit.
bool putFive(ParameterBlock& block, std::size_t at, long long value) {
    if (value < 0 || value > 99999) return false;
    for (std::size_t i = 5; i-- > 0;) {
        block[at + i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return true;
}

// Field code 1..7 as three base-2 digits; anything else "010".
const char* aprFieldBits(int field) {
    static const char* const kBits[] = {"001", "010", "011", "100", "101", "110", "111"};
    return field >= 1 && field <= 7 ? kBits[field - 1] : "010";
}

const char* aprFilmBits(int film) {
    if (film == 0) return "001";
    if (film == 2) return "100";
    return "010";
}

void putAprDensity(ParameterBlock& block, int density) {
    block[kFnSign] = density >= 0 ? '+' : '-';
    const long long magnitude = std::llabs(static_cast<long long>(density));
    block[kFnDigit] = std::to_string(magnitude)[0];
}

std::optional<ParameterBlock> aprCommon(int workstationDigit, const APRDataInfo& v) {
    ParameterBlock block = blankBlock();
    block[kWs] = static_cast<char>(workstationDigit);
    block[kFo] = static_cast<char>('0' + v.focus);
    block[kEt] = static_cast<char>('0' + v.technique);
    put(block, kFi, aprFieldBits(v.field));
    put(block, kFs, aprFilmBits(v.film));
    putAprDensity(block, v.density);
    if (!putKv(block, v.kV)) return std::nullopt;
    if (!putFive(block, kMa, v.mA) || !putFive(block, kMs, v.ms) || !putFive(block, kMx, v.mAs)) return std::nullopt;
    return block;
}

// A float in physical units as tenths, truncated toward zero; -1 when it is not a
// number or too large to be one.
long long tenths(float value) {
    const double scaled = static_cast<double>(value) * 10.0;
    if (!std::isfinite(scaled) || scaled >= 1e9 || scaled <= -1e9) return -1;
    return static_cast<long long>(scaled);
}

}  // namespace

std::optional<ParameterBlock> aprBlock(const APRDataInfo& info) {
    return aprCommon('0' + info.workstation, info);
}

std::optional<ParameterBlock> aprBlock(APRSourceData& data) {
    if (data.ms == 1.25f) data.ms = 1.2f;
    const long long ma = tenths(data.mA);
    const long long ms = tenths(data.ms);
    const long long mas = tenths(data.mAs);
    for (long long v : {ma, ms, mas})
        if (v < 0 || v > 99999) return std::nullopt;
    APRDataInfo v{data.kV,       static_cast<std::int32_t>(ma), static_cast<std::int32_t>(ms),
                  static_cast<std::int32_t>(mas), data.workstation, data.focus, data.technique,
                  data.field,    data.film, data.density};
    return aprCommon('1' + data.workstation, v);
}

std::optional<ParameterBlock> techniqueBlock(const std::uint8_t* record, int t) {
    if (!record) return std::nullopt;
    // Per-technique bytes: kV, mA index, ms index, mAs index, density.
    struct Choice {
        int kv, ma, ms, mas, density;
    };
    const Choice choice = (t == 0 || t == 1) ? Choice{10, 12, 14, 17, 19}
                          : t == 3           ? Choice{9, 11, 13, 16, 18}
                                             : Choice{2, 3, 4, 15, 8};

    ParameterBlock block = blankBlock();
    block[kWs] = static_cast<char>(record[1] + '1');
    block[kFo] = static_cast<char>(record[5] + '0');
    block[kEt] = static_cast<char>(record[0] + '0');
    if (record[6] <= 7) {
        for (int bit = 0; bit < 3; ++bit) block[kFi + 2 - static_cast<std::size_t>(bit)] = (record[6] >> bit) & 1 ? '1' : '0';
    }
    switch (record[7]) {
        case 1: put(block, kFs, "001"); break;
        case 2: put(block, kFs, "010"); break;
        case 4: put(block, kFs, "100"); break;
        default: break;
    }
    const std::uint8_t density = record[choice.density];
    block[kFnSign] = (density & 0x0F) == 0 ? ' ' : (density >> 4) == 0x0F ? '-' : '+';
    block[kFnDigit] = static_cast<char>('0' + (density & 0x0F));
    putKv(block, record[choice.kv]);

    if (record[3] >= 21 || record[11] >= 21 || record[12] >= 21) return std::nullopt;
    put(block, kMa, steps::maTextTable()[record[choice.ma]]);

    const int ms = record[choice.ms];
    const std::span<const int> msTable = steps::msTable();
    int msEntry;
    if (ms <= 35) msEntry = ms + 3;          // 20 .. 63000
    else if (ms >= 100 && ms <= 102) msEntry = 102 - ms;  // 16, 12, 10
    else return std::nullopt;
    putFive(block, kMs, msTable[static_cast<std::size_t>(msEntry)]);

    const std::span<const int> masTable = steps::masTable();
    const std::size_t mas = record[choice.mas];
    if (mas >= masTable.size()) return std::nullopt;
    putFive(block, kMx, masTable[mas]);
    return block;
}

}  // namespace kestro
