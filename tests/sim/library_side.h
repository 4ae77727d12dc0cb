// The library's end of the line, played by hand in the tests: opens the simulator's pty
// slave in raw mode, frames commands with its own code and decodes what the generator
// sends with its own code (nothing here comes from the simulator's framing).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestro_sim/simulator.h"

namespace kestro::sim::test {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

// The time a test waits for something that should come; generous so sanitizer builds pass.
inline constexpr milliseconds kArrival{3000};
// The window in which something that must not come is watched for.
inline constexpr milliseconds kQuietWindow{300};

struct GenUnit {
  enum class Kind { Message, Bag, Ack, Nak, Junk };
  Kind kind = Kind::Junk;
  std::string text;        // Message: the text before ETX
  std::uint8_t index = 0;  // Bag
  Bytes data;              // Bag: the data bytes
  Bytes raw;
  bool checksumOk = false;
  std::chrono::steady_clock::time_point time;
};

class LibrarySide {
 public:
  explicit LibrarySide(const std::string& path);
  ~LibrarySide();
  LibrarySide(const LibrarySide&) = delete;
  LibrarySide& operator=(const LibrarySide&) = delete;

  bool isOpen() const { return fd >= 0; }

  void sendBytes(const Bytes& bytes);
  // text, 0x03, low byte of the sum of text and 0x03
  void sendCommand(std::string_view text);
  // 0x01, index, length (big-endian), data, low byte of the sum
  void sendBag(std::uint8_t index, const Bytes& data);

  // The next decoded unit (junk bytes included, one unit per byte), or nullopt at the deadline.
  std::optional<GenUnit> next(milliseconds timeout = kArrival);
  // The next unit that is not junk.
  std::optional<GenUnit> nextReal(milliseconds timeout = kArrival);
  // The text of the next message (checksum must be right), or "<none>" / "<bad:...>" / "<other>".
  std::string nextMessage(milliseconds timeout = kArrival);
  // True when nothing at all arrives within the window.
  bool staysQuiet(milliseconds window = kQuietWindow);
  // Waits for the peer to hang up (POLLHUP).
  bool waitHangUp(milliseconds timeout = kArrival);

  // Sizes of the read() results so far (to see a reply arrive in pieces).
  const std::vector<std::size_t>& readSizes() const { return reads; }

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);
  std::optional<GenUnit> decode();

  int fd = -1;
  Bytes buffer;
  std::vector<std::size_t> reads;
  std::chrono::steady_clock::time_point lastArrival;
};

std::string hex(const Bytes& bytes);

}  // namespace kestro::sim::test
