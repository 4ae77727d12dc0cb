#include "kestro_sim/generator_model.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

namespace kestro::sim {

namespace {

constexpr std::array<int, 21> kMa{100,  125,  160,  200,  250,  320,  400,  500,  630,  800, 1000,
                                  1250, 1600, 2000, 2500, 3200, 4000, 5000, 6300, 8000, 10000};
constexpr std::array<int, 39> kMs{10,   12,   16,   20,    25,    32,    40,    50,    63,    80,
                                  100,  125,  160,  200,   250,   320,   400,   500,   630,   800,
                                  1000, 1250, 1600, 2000,  2500,  3200,  4000,  5000,  6300,  8000,
                                  10000, 12500, 16000, 20000, 25000, 32000, 40000, 50000, 63000};
constexpr std::array<int, 34> kMas{5,    6,    8,    10,   12,   16,   20,   25,   32,   40,   50,   63,
                                   80,   100,  125,  160,  200,  250,  320,  400,  500,  630,  800,  1000,
                                   1250, 1600, 2000, 2500, 3200, 4000, 5000, 6300, 8000, 10000};
constexpr std::array<int, 4> kPps{30, 75, 150, 300};

using VF = ValueFormat;
using SK = StepKind;

// clang-format off
const ParameterInfo kParameters[] = {
  // mnemonic alias          format          w  min    max    init  steps       ladder  ?      set    rad
  {"KV",    "kv",           VF::Digits,      3, 40,    150,   75,   SK::Linear, {},     true,  true,  true},
  {"MA",    "ma",           VF::Digits,      5, 100,   10000, 1000, SK::Ladder, kMa,    true,  true,  true},
  {"MS",    "ms",           VF::Digits,      5, 10,    63000, 1000, SK::Ladder, kMs,    true,  true,  true},
  {"MX",    "mas",          VF::Digits,      5, 5,     10000, 100,  SK::Ladder, kMas,   true,  true,  true},
  {"FN",    "density",      VF::SignedDigit, 0, -8,    8,     0,    SK::None,   {},     true,  true,  true},
  {"FI",    "field",        VF::FieldBits,   0, 0,     7,     1,    SK::None,   {},     true,  true,  true},
  {"FS",    "film",         VF::FilmCode,    0, 1,     4,     1,    SK::None,   {},     true,  true,  true},
  {"ET",    "technique",    VF::Digit,       0, 0,     3,     0,    SK::None,   {},     true,  true,  true},
  {"FO",    "focus",        VF::Digit,       0, 0,     1,     0,    SK::None,   {},     true,  true,  true},
  {"WS",    "receptor",     VF::Digit,       0, 0,     6,     1,    SK::None,   {},     true,  true,  true},
  {"TO",    "tomo",         VF::Digit,       0, 0,     1,     0,    SK::None,   {},     true,  true,  true},
  {"TU",    "tube",         VF::Digit,       0, 0,     2,     0,    SK::None,   {},     true,  false, false},
  {"LCC",   "lcc",          VF::Digits,      5, 0,     99999, 0,    SK::None,   {},     true,  true,  false},
  {"RPS",   "pps",          VF::Digits,      3, 0,     999,   8,    SK::None,   {},     true,  true,  false},
  {"RPT",   "pulse-time",   VF::Digits,      4, 0,     9999,  60,   SK::None,   {},     true,  true,  false},
  {"PWP",   "pwp",          VF::Digits,      3, 0,     100,   50,   SK::None,   {},     true,  true,  false},
  {"DDC",   "ddc",          VF::Digits,      4, 0,     9999,  0,    SK::None,   {},     true,  true,  false},
  {"SPABS", "abs-kv",       VF::Digits,      3, 40,    150,   70,   SK::None,   {},     true,  true,  false},
  {"FLK",   "fluoro-kv",    VF::Digits,      3, 40,    125,   70,   SK::Linear, {},     true,  true,  false},
  {"FLM",   "fluoro-ma",    VF::Digits,      3, 5,     200,   20,   SK::Linear, {},     true,  true,  false},
  {"FLS",   "fluoro-pps",   VF::Digits,      3, 30,    300,   75,   SK::Ladder, kPps,   true,  true,  false},
  {"FLZ",   "mag",          VF::Digit,       0, 0,     3,     0,    SK::None,   {},     true,  true,  false},
  {"FLF",   "fluoro-mode",  VF::Digit,       0, 0,     3,     1,    SK::None,   {},     true,  true,  false},
  {"FLD",   "dose",         VF::Digit,       0, 0,     2,     0,    SK::None,   {},     true,  true,  false},
  {"FDR",   "dose-rate",    VF::Digit,       0, 0,     2,     0,    SK::None,   {},     true,  true,  false},
  {"FLA",   "abs",          VF::Digit,       0, 0,     3,     0,    SK::None,   {},     true,  true,  false},
  {"FPP",   "fpp",          VF::Digits,      3, 0,     999,   1,    SK::None,   {},     true,  true,  false},
  {"FLI",   "fluoro-int",   VF::Digits,      5, 0,     99999, 0,    SK::None,   {},     true,  false, false},
  {"FLT",   "fluoro-acc",   VF::Digits,      5, 0,     99999, 0,    SK::None,   {},     true,  false, false},
  {"FLR",   nullptr,        VF::Digit,       0, 0,     1,     0,    SK::None,   {},     true,  true,  false},
  {"ST",    "state",        VF::Digits,      3, 0,     999,   2,    SK::None,   {},     false, false, false},
  {"HE",    "heat",         VF::Digits,      3, 0,     999,   0,    SK::None,   {},     true,  false, false},
  {"HH",    "housing-heat", VF::Digits,      3, 0,     999,   0,    SK::None,   {},     true,  false, false},
  {"HO",    "heat-over",    VF::Digit,       0, 0,     1,     0,    SK::None,   {},     true,  true,  false},
  {"KW",    "kw",           VF::Digits,      3, 0,     999,   50,   SK::None,   {},     false, false, false},
  {"GC",    "config",       VF::Digits,      3, 0,     999,   6,    SK::None,   {},     false, false, false},
  {"SEC",   "exposure-count", VF::Digits,    5, 0,     99999, 0,    SK::None,   {},     true,  false, false},
  {"AET",   "aec-time",     VF::Digits,      5, 0,     99999, 0,    SK::None,   {},     true,  false, false},
  {"VE",    "version",      VF::RawChar,     0, 0,     100,   3,    SK::None,   {},     true,  true,  false},
  {"GM",    "program-mode", VF::Digit,       0, 0,     2,     0,    SK::None,   {},     true,  true,  false},
  {"CA",    "calib-mode",   VF::Digit,       0, 0,     4,     0,    SK::None,   {},     true,  true,  false},
  {"TB",    "calib-tube",   VF::Digit,       0, 0,     2,     0,    SK::None,   {},     true,  true,  false},
  {"MC",    "calib-ma",     VF::Digits,      5, 0,     99999, 0,    SK::None,   {},     true,  false, false},
  {"FC",    "calib-filament", VF::Digits,    5, 0,     99999, 0,    SK::None,   {},     true,  false, false},
  {"AP",    "post-mas",     VF::Digits,      5, 0,     99999, 0,    SK::None,   {},     true,  false, false},
  {"AT",    "post-time",    VF::Digits,      5, 0,     99999, 0,    SK::None,   {},     true,  false, false},
  {"BU",    nullptr,        VF::Digit,       0, 0,     1,     0,    SK::None,   {},     true,  false, false},
  {"TR",    nullptr,        VF::Digit,       0, 0,     1,     0,    SK::None,   {},     true,  false, false},
};
// clang-format on

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool allDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int powerOfTen(int n) {
  int p = 1;
  while (n-- > 0) p *= 10;
  return p;
}

// The longest mnemonic that begins the token.
const ParameterInfo* matchMnemonic(std::string_view token) {
  const ParameterInfo* best = nullptr;
  std::size_t bestLength = 0;
  for (const ParameterInfo& param : kParameters) {
    std::string_view m = param.mnemonic;
    if (m.size() > bestLength && token.substr(0, m.size()) == m) {
      best = &param;
      bestLength = m.size();
    }
  }
  return best;
}

// Splits at single spaces; "FN" followed by a lone digit is one token ("FN 0").
std::vector<std::string_view> tokens(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i <= text.size()) {
    std::size_t j = text.find(' ', i);
    if (j == std::string_view::npos) j = text.size();
    std::string_view token = text.substr(i, j - i);
    if (token == "FN" && j + 1 < text.size()) {
      std::size_t k = text.find(' ', j + 1);
      if (k == std::string_view::npos) k = text.size();
      if (k == j + 2) {
        token = text.substr(i, k - i);
        j = k;
      }
    }
    if (!token.empty()) out.push_back(token);
    i = j + 1;
  }
  return out;
}

}  // namespace

std::span<const ParameterInfo> parameterTable() { return kParameters; }
std::span<const int> maLadder() { return kMa; }
std::span<const int> msLadder() { return kMs; }
std::span<const int> masLadder() { return kMas; }
std::span<const int> ppsLadder() { return kPps; }

const ParameterInfo* findParameter(std::string_view name) {
  for (const ParameterInfo& param : kParameters) {
    if (equalsNoCase(name, param.mnemonic)) return &param;
    if (param.alias != nullptr && equalsNoCase(name, param.alias)) return &param;
  }
  return nullptr;
}

GeneratorModel::GeneratorModel() {
  for (const ParameterInfo& param : kParameters) values[param.mnemonic] = param.initial;
}

std::optional<int> GeneratorModel::value(std::string_view name) const {
  const ParameterInfo* param = findParameter(name);
  if (param == nullptr) return std::nullopt;
  return values.find(param->mnemonic)->second;
}

bool GeneratorModel::setValue(std::string_view name, int value) {
  const ParameterInfo* param = findParameter(name);
  if (param == nullptr) return false;
  values[param->mnemonic] = value;
  return true;
}

int GeneratorModel::state() const { return values.find("ST")->second; }
void GeneratorModel::setState(int state) { values["ST"] = state; }

bool GeneratorModel::preparingOrExposing() const {
  int s = state();
  return s == GenState::Prep || s == GenState::Exposing || s == GenState::ReadyToExpose;
}

std::string GeneratorModel::item(std::string_view mnemonic) const {
  const ParameterInfo* param = findParameter(mnemonic);
  if (param == nullptr) return {};
  const int v = values.find(param->mnemonic)->second;
  std::string out = param->mnemonic;
  char buf[16];
  switch (param->format) {
    case VF::Digits: {
      int m = v % powerOfTen(param->width);
      if (m < 0) m = -m;
      std::snprintf(buf, sizeof buf, "%0*d", param->width, m);
      out += buf;
      break;
    }
    case VF::Digit:
      out.push_back(static_cast<char>('0' + (v < 0 ? 0 : v % 10)));
      break;
    case VF::SignedDigit:
      out.push_back(v < 0 ? '-' : (v == 0 ? ' ' : '+'));
      out.push_back(static_cast<char>('0' + (v < 0 ? -v : v) % 10));
      break;
    case VF::FieldBits:
      out.push_back((v & 4) ? '1' : '0');
      out.push_back((v & 2) ? '1' : '0');
      out.push_back((v & 1) ? '1' : '0');
      break;
    case VF::FilmCode:
      out += v == 2 ? "010" : (v == 4 ? "100" : "001");
      break;
    case VF::RawChar:
      out.push_back(static_cast<char>('0' + v));
      break;
  }
  return out;
}

bool GeneratorModel::parseSetValue(const ParameterInfo& param, std::string_view rest, int& out) const {
  switch (param.format) {
    case VF::Digits:
      if (rest.size() != static_cast<std::size_t>(param.width) || !allDigits(rest)) return false;
      out = std::stoi(std::string(rest));
      return true;
    case VF::Digit:
      if (rest.size() != 1) return false;
      if (!allDigits(rest)) {
        // Magnification "auto" (0xFE): the generator keeps its current value.
        if (std::string_view(param.mnemonic) == "FLZ" && static_cast<unsigned char>(rest[0]) == 0xFE) {
          out = values.find(param.mnemonic)->second;
          return true;
        }
        return false;
      }
      out = rest[0] - '0';
      return true;
    case VF::SignedDigit:
      if (rest.size() != 2 || (rest[0] != '+' && rest[0] != '-' && rest[0] != ' ') || !allDigits(rest.substr(1)))
        return false;
      out = (rest[1] - '0') * (rest[0] == '-' ? -1 : 1);
      return true;
    case VF::FieldBits:
      if (rest.size() != 3 || rest.find_first_not_of("01") != std::string_view::npos) return false;
      out = (rest[0] - '0') * 4 + (rest[1] - '0') * 2 + (rest[2] - '0');
      return true;
    case VF::FilmCode:
      if (rest == "001") out = 1;
      else if (rest == "010") out = 2;
      else if (rest == "100") out = 4;
      else return false;
      return true;
    case VF::RawChar:
      if (rest.size() != 1) return false;
      out = static_cast<unsigned char>(rest[0]) - '0';
      return true;
  }
  return false;
}

int GeneratorModel::step(const ParameterInfo& param, int current, int delta) const {
  if (param.steps == SK::Linear) return std::clamp(current + delta, param.minimum, param.maximum);
  std::span<const int> ladder = param.ladder;
  // Position of the current value; a value between entries counts as the gap below the next.
  auto it = std::lower_bound(ladder.begin(), ladder.end(), current);
  long pos = it - ladder.begin();
  const bool exact = it != ladder.end() && *it == current;
  long target;
  if (delta > 0) target = exact ? pos + delta : pos + delta - 1;
  else target = pos + delta;
  target = std::clamp<long>(target, 0, static_cast<long>(ladder.size()) - 1);
  return ladder[static_cast<std::size_t>(target)];
}

std::optional<std::string> GeneratorModel::answerToken(std::string_view token, bool allowLocked) {
  const ParameterInfo* param = matchMnemonic(token);
  if (param == nullptr) return std::nullopt;
  std::string_view rest = token.substr(std::string_view(param->mnemonic).size());
  int& current = values[param->mnemonic];
  const bool locked = param->radiography && !allowLocked && preparingOrExposing();

  if ((param->queryMark && rest == "?") || (!param->queryMark && rest.empty())) return item(param->mnemonic);

  if (rest == "+" || rest == "-" || rest == "++" || rest == "--") {
    if (param->steps == SK::None) return std::nullopt;
    const int size = param->steps == SK::Linear ? 5 : 3;
    const int delta = rest == "+" ? 1 : rest == "-" ? -1 : rest == "++" ? size : -size;
    if (!locked) current = step(*param, current, delta);
    return item(param->mnemonic);
  }

  if (!param->settable) return std::nullopt;
  int v = 0;
  if (!parseSetValue(*param, rest, v)) return std::nullopt;
  if (locked) return item(param->mnemonic);

  if (param->format == VF::Digits) {
    current = std::clamp(v, param->minimum, param->maximum);
  } else if (v >= param->minimum && v <= param->maximum) {
    current = v;
  }  // a selection out of range leaves the value as it is; the answer shows it
  if (std::string_view(param->mnemonic) == "FLR") {
    values[v == 0 ? "FLI" : "FLT"] = 0;
  }
  return item(param->mnemonic);
}

std::string GeneratorModel::join(std::initializer_list<const char*> mnemonics) const {
  std::string out;
  for (const char* m : mnemonics) {
    if (!out.empty()) out.push_back(' ');
    out += item(m);
  }
  return out;
}

std::optional<std::string> GeneratorModel::answerBlock(std::string_view command) {
  // "SA WS1 FO0 ET1 FI000 FS001 FN 0 KV000 MA00000 MS01000 MX00000"
  if (refuseTechnique) return std::string("EL064");
  std::vector<std::string_view> parts = tokens(command.substr(3));
  for (std::string_view token : parts) answerToken(token, true);
  return join({"WS", "ET", "FO", "FI", "FS", "FN", "KV", "MA", "MS", "MX"});
}

std::optional<std::string> GeneratorModel::answer(std::string_view command) {
  if (command == "RR") return join({"KV", "MA", "MS", "MX"});
  if (command == "RS") return join({"TU", "WS", "FO", "ET", "FI", "FS", "FN", "HE"});
  if (command == "RF") return join({"FLK", "FLM", "FLI", "FLT", "FLS", "FLF", "FLA", "FLZ", "FLD", "FDR"});
  if (command.substr(0, 3) == "SA ") return answerBlock(command);

  std::string out;
  for (std::string_view token : tokens(command)) {
    std::optional<std::string> one = answerToken(token, false);
    if (!one) continue;
    if (!out.empty()) out.push_back(' ');
    out += *one;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

std::string GeneratorModel::recordExposure(int milliseconds) {
  const int ms = std::max(milliseconds, 0);
  const long long postTime = std::min<long long>(static_cast<long long>(ms) * 10, 99999);
  const long long postMas = std::min<long long>(static_cast<long long>(values["MA"]) * ms / 1000, 99999);
  values["AT"] = static_cast<int>(postTime);
  values["AP"] = static_cast<int>(postMas);
  values["AET"] = static_cast<int>(postTime);
  values["SEC"] = (values["SEC"] + 1) % 100000;
  const long long heat = values["HE"] + 1 + static_cast<long long>(values["KV"]) * postMas / 20000;
  values["HE"] = static_cast<int>(std::min<long long>(heat, 100));
  return join({"AT", "AP"});
}

void GeneratorModel::addFluoroTime(int milliseconds) {
  fluoroRemainderMs += milliseconds;
  const int tenths = fluoroRemainderMs / 100;
  fluoroRemainderMs %= 100;
  values["FLI"] = std::min(values["FLI"] + tenths, 99999);
  values["FLT"] = std::min(values["FLT"] + tenths, 99999);
  fluoroHeatMs += milliseconds;
  while (fluoroHeatMs >= 10000) {
    fluoroHeatMs -= 10000;
    values["HE"] = std::min(values["HE"] + 1, 100);
  }
}

}  // namespace kestro::sim
