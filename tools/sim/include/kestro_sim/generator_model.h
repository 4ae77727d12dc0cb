// The simulated generator's values and how it answers the library's text commands.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::sim {

// Generator states as the "ST" answer reports them.
namespace GenState {
inline constexpr int Idle = 1;
inline constexpr int Ready = 2;
inline constexpr int Prep = 3;
inline constexpr int Exposing = 4;
inline constexpr int ReadyToExpose = 10;
inline constexpr int AfterExposure = 11;
inline constexpr int FluoroPrepared = 12;  // after FLX0
inline constexpr int FluoroPrep = 13;      // after FLP1
inline constexpr int FluoroOn = 14;        // after FLX1
}  // namespace GenState

enum class ValueFormat {
  Digits,       // fixed number of decimal digits
  Digit,        // one decimal digit
  SignedDigit,  // '+', '-' or ' ' and one digit (AEC density)
  FieldBits,    // three '0'/'1' characters, value 0..7 (AEC field)
  FilmCode,     // "001", "010", "100" for 1, 2, 4 (AEC film)
  RawChar,      // one character whose code is '0' + value (version)
};

enum class StepKind { None, Linear, Ladder };

struct ParameterInfo {
  const char* mnemonic;  // on the wire
  const char* alias;     // control-language name besides the mnemonic, or nullptr
  ValueFormat format;
  int width;  // digits (Digits only)
  int minimum;
  int maximum;
  int initial;
  StepKind steps;
  std::span<const int> ladder;  // Ladder only, ascending
  bool queryMark;               // query is the mnemonic and "?"; otherwise the bare mnemonic
  bool settable;                // the library may set it
  bool radiography;             // frozen while preparing or exposing
};

std::span<const ParameterInfo> parameterTable();
// By mnemonic or alias, case-insensitive.
const ParameterInfo* findParameter(std::string_view name);

// Step tables of this generator (tenths of mA, ms, mAs; pulses per second in tenths).
std::span<const int> maLadder();
std::span<const int> msLadder();
std::span<const int> masLadder();
std::span<const int> ppsLadder();

// Not thread-safe; the simulator guards it with its own lock.
class GeneratorModel {
 public:
  GeneratorModel();

  // The message that answers one command text, or nullopt when the generator does not
  // know it. A text with several space-separated commands ("MC? FC? KV? MS?") gets one
  // message with one item per known command.
  std::optional<std::string> answer(std::string_view command);

  std::optional<int> value(std::string_view name) const;
  // Stores a value (control side, no range check beyond the field width); false for an
  // unknown name.
  bool setValue(std::string_view name, int value);
  // The item as the generator sends it, e.g. "KV080", "FN-3", "FI101".
  std::string item(std::string_view mnemonic) const;

  int state() const;
  void setState(int state);
  bool preparingOrExposing() const;

  // After an exposure of the given length: post-exposure time and mAs, counters and heat.
  // Returns the message with the post-exposure items ("AT..... AP.....").
  std::string recordExposure(int milliseconds);
  // Fluoroscopy time passing (timers in tenths of a second).
  void addFluoroTime(int milliseconds);

  // Parameter blocks ("SA ...") are answered with warning 64 instead of the values.
  bool refuseTechnique = false;

 private:
  std::optional<std::string> answerToken(std::string_view token, bool allowLocked);
  std::optional<std::string> answerBlock(std::string_view command);
  bool parseSetValue(const ParameterInfo& param, std::string_view rest, int& out) const;
  int step(const ParameterInfo& param, int current, int delta) const;
  std::string join(std::initializer_list<const char*> mnemonics) const;

  std::map<std::string, int, std::less<>> values;
  int fluoroRemainderMs = 0;
  int fluoroHeatMs = 0;
};

}  // namespace kestro::sim
