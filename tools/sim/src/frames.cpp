#include "kestro_sim/frames.h"

#include <cctype>
#include <cstdio>

namespace kestro::sim {

std::uint8_t checksum8(std::span<const std::uint8_t> bytes) {
  unsigned sum = 0;
  for (std::uint8_t b : bytes) sum += b;
  return static_cast<std::uint8_t>(sum & 0xFFu);
}

Bytes frameText(std::string_view text) {
  Bytes frame(text.begin(), text.end());
  frame.push_back(kEtx);
  frame.push_back(checksum8(frame));
  return frame;
}

Bytes frameDataBag(std::uint8_t index, std::span<const std::uint8_t> data) {
  Bytes frame;
  frame.reserve(data.size() + 5);
  frame.push_back(kSoh);
  frame.push_back(index);
  frame.push_back(static_cast<std::uint8_t>((data.size() >> 8) & 0xFFu));
  frame.push_back(static_cast<std::uint8_t>(data.size() & 0xFFu));
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(checksum8(frame));
  return frame;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  char buf[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
    if (i != 0) out.push_back(' ');
    out += buf;
  }
  return out;
}

std::string printable(std::string_view text) {
  std::string out;
  char buf[8];
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) {
      out.push_back(c);
    } else {
      std::snprintf(buf, sizeof buf, "<%02X>", u);
      out += buf;
    }
  }
  return out;
}

namespace {
int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool parseHex(std::string_view text, Bytes& out) {
  out.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == ',' || c == '\t') {
      ++i;
      continue;
    }
    if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      i += 2;
      continue;
    }
    if (i + 1 >= text.size()) return false;
    int hi = hexDigit(text[i]);
    int lo = hexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    i += 2;
  }
  return !out.empty();
}

LibraryStreamParser::LibraryStreamParser(std::size_t maxTextLength, std::size_t maxBagLength)
    : maxText(maxTextLength), maxBag(maxBagLength) {}

void LibraryStreamParser::reset() {
  if (state != State::Idle) discardCurrent();
}

void LibraryStreamParser::discardCurrent() {
  discarded += current.size();
  current.clear();
  bagLength = 0;
  state = State::Idle;
}

void LibraryStreamParser::feed(std::span<const std::uint8_t> bytes, std::vector<WireUnit>& out) {
  for (std::uint8_t b : bytes) {
    switch (state) {
      case State::Idle:
        if (b == kSoh) {
          current.assign(1, b);
          state = State::BagIndex;
        } else if (b >= 0x20) {
          // Commands are printable text (a few carry one raw value byte after the
          // mnemonic, which is never the first byte).
          current.assign(1, b);
          state = State::Text;
        } else {
          ++discarded;
        }
        break;
      case State::Text:
        current.push_back(b);
        if (b == kEtx) {
          state = State::TextChecksum;
        } else if (current.size() > maxText) {
          discardCurrent();
        }
        break;
      case State::TextChecksum: {
        WireUnit unit;
        unit.kind = UnitKind::Command;
        unit.checksumOk = checksum8(current) == b;
        unit.text.assign(current.begin(), current.end() - 1);
        current.push_back(b);
        unit.raw = std::move(current);
        current.clear();
        state = State::Idle;
        out.push_back(std::move(unit));
        break;
      }
      case State::BagIndex:
        current.push_back(b);
        state = State::BagLengthHigh;
        break;
      case State::BagLengthHigh:
        current.push_back(b);
        bagLength = static_cast<std::size_t>(b) << 8;
        state = State::BagLengthLow;
        break;
      case State::BagLengthLow:
        current.push_back(b);
        bagLength |= b;
        if (bagLength > maxBag) {
          discardCurrent();
        } else {
          state = bagLength == 0 ? State::BagChecksum : State::BagData;
        }
        break;
      case State::BagData:
        current.push_back(b);
        if (current.size() == bagLength + 4) state = State::BagChecksum;
        break;
      case State::BagChecksum: {
        WireUnit unit;
        unit.kind = UnitKind::DataBag;
        unit.checksumOk = checksum8(current) == b;
        unit.bagIndex = current[1];
        unit.bagData.assign(current.begin() + 4, current.end());
        current.push_back(b);
        unit.raw = std::move(current);
        current.clear();
        bagLength = 0;
        state = State::Idle;
        out.push_back(std::move(unit));
        break;
      }
    }
  }
}

}  // namespace kestro::sim
