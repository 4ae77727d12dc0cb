// Wire framing on the generator side of the serial link.
//
// Text units (both directions): the text bytes, ETX (0x03), then one checksum byte,
// the low 8 bits of the sum of the text bytes and the ETX.
// Data-bag blocks (both directions): 0x01, index, length high, length low, data, then
// one checksum byte, the low 8 bits of the sum of everything before it.
// ACK (0x06) and NAK (0x15) are single bytes sent by the generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestro::sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kSoh = 0x01;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;

// Low 8 bits of the sum of the bytes.
std::uint8_t checksum8(std::span<const std::uint8_t> bytes);

// text, ETX, checksum.
Bytes frameText(std::string_view text);

// 0x01, index, 16-bit big-endian length, data, checksum.
Bytes frameDataBag(std::uint8_t index, std::span<const std::uint8_t> data);

// "4B 56 03" style rendering; printable() shows text with non-printables as <xx>.
std::string toHex(std::span<const std::uint8_t> bytes);
std::string printable(std::string_view text);

// Parses "4B 56 3F", "4B563F", "0x4B,0x56" into bytes; false on anything else.
bool parseHex(std::string_view text, Bytes& out);

enum class UnitKind { Command, DataBag };

// One complete unit received from the library.
struct WireUnit {
  UnitKind kind = UnitKind::Command;
  Bytes raw;                  // every byte of the unit, checksum included
  std::string text;           // command text (Command only), without ETX
  bool checksumOk = false;
  std::uint8_t bagIndex = 0;  // DataBag only
  Bytes bagData;              // DataBag only: the data bytes between length and checksum
};

// Splits the byte stream coming from the library into units. Works on any chunking of
// the stream; keeps no I/O of its own. Bytes that cannot start a unit are discarded and
// counted, as are units longer than the limits.
class LibraryStreamParser {
 public:
  explicit LibraryStreamParser(std::size_t maxTextLength = 256, std::size_t maxBagLength = 2048);

  void feed(std::span<const std::uint8_t> bytes, std::vector<WireUnit>& out);

  // Drops a partly received unit (the I/O thread calls this after a long gap).
  void reset();
  bool midUnit() const { return state != State::Idle; }
  std::size_t discardedBytes() const { return discarded; }

 private:
  enum class State { Idle, Text, TextChecksum, BagIndex, BagLengthHigh, BagLengthLow, BagData, BagChecksum };

  void discardCurrent();

  std::size_t maxText;
  std::size_t maxBag;
  State state = State::Idle;
  Bytes current;
  std::size_t bagLength = 0;
  std::size_t discarded = 0;
};

}  // namespace kestro::sim
