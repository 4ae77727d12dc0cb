// The simulator's own framing and its parser of the library's byte stream, checked
// against bytes worked out by hand.
#include <gtest/gtest.h>

#include "kestro_sim/frames.h"
#include "library_side.h"

namespace kestro::sim::test {
namespace {

TEST(SimFrames, TextAndDataBagFramesCarryTheRightChecksums) {
  EXPECT_EQ(hex(frameText("KV?")), "4B 56 3F 03 E3");
  EXPECT_EQ(hex(frameText("KV080")), "4B 56 30 38 30 03 3C");
  EXPECT_EQ(hex(frameText("ST")), "53 54 03 AA");
  // A sum past 0xFF keeps its low byte only.
  EXPECT_EQ(hex(frameText("ZZZZ")), "5A 5A 5A 5A 03 6B");
  const Bytes data{0xAA, 0xBB};
  EXPECT_EQ(hex(frameDataBag(5, data)), "01 05 00 02 AA BB 6D");
  // A length above 255 uses both length bytes.
  Bytes big(300, 0);
  Bytes frame = frameDataBag(15, big);
  ASSERT_EQ(frame.size(), 305u);
  EXPECT_EQ(frame[2], 0x01);
  EXPECT_EQ(frame[3], 0x2C);
  EXPECT_EQ(frame.back(), static_cast<std::uint8_t>(0x01 + 15 + 0x01 + 0x2C));
}

std::vector<WireUnit> parseAll(const Bytes& stream, std::size_t chunk, std::size_t* discarded = nullptr) {
  LibraryStreamParser parser;
  std::vector<WireUnit> units;
  for (std::size_t at = 0; at < stream.size(); at += chunk) {
    std::size_t n = std::min(chunk, stream.size() - at);
    parser.feed(std::span<const std::uint8_t>(stream.data() + at, n), units);
  }
  if (discarded != nullptr) *discarded = parser.discardedBytes();
  return units;
}

TEST(SimFrames, ParserSplitsTheLibraryStreamWhateverTheChunking) {
  Bytes stream{0x00, 0x02};  // noise before the first unit
  for (std::uint8_t b : Bytes{'K', 'V', '?', 0x03, 0xE3}) stream.push_back(b);
  for (std::uint8_t b : Bytes{0x01, 0x06, 0x00, 0x02, 0x01, 0x03, 0x0D}) stream.push_back(b);
  for (std::uint8_t b : Bytes{'M', 'A', '?', 0x03, 0x00}) stream.push_back(b);  // wrong checksum
  for (std::uint8_t b : Bytes{'M', 'C', '?', ' ', 'F', 'C', '?', 0x03}) stream.push_back(b);
  stream.push_back(static_cast<std::uint8_t>('M' + 'C' + '?' + ' ' + 'F' + 'C' + '?' + 3));

  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, stream.size()}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    std::size_t discarded = 0;
    std::vector<WireUnit> units = parseAll(stream, chunk, &discarded);
    ASSERT_EQ(units.size(), 4u);
    EXPECT_EQ(discarded, 2u);
    EXPECT_EQ(units[0].kind, UnitKind::Command);
    EXPECT_EQ(units[0].text, "KV?");
    EXPECT_TRUE(units[0].checksumOk);
    EXPECT_EQ(hex(units[0].raw), "4B 56 3F 03 E3");
    EXPECT_EQ(units[1].kind, UnitKind::DataBag);
    EXPECT_EQ(units[1].bagIndex, 6);
    EXPECT_EQ(hex(units[1].bagData), "01 03");
    EXPECT_TRUE(units[1].checksumOk);
    EXPECT_EQ(units[2].text, "MA?");
    EXPECT_FALSE(units[2].checksumOk);
    EXPECT_EQ(units[3].text, "MC? FC?");
    EXPECT_TRUE(units[3].checksumOk);
  }
}

TEST(SimFrames, ParserDropsOverlongUnitsAndResynchronises) {
  LibraryStreamParser parser(8, 16);
  std::vector<WireUnit> units;
  Bytes stream(18, 'A');  // text with no ETX in time: dropped in two pieces of 9
  Bytes frame{0x01, 0x02, 0x00, 0x40};  // a data bag longer than allowed
  stream.insert(stream.end(), frame.begin(), frame.end());
  for (std::uint8_t b : Bytes{'S', 'T', 0x03, 0xAA}) stream.push_back(b);
  parser.feed(stream, units);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].text, "ST");
  EXPECT_TRUE(units[0].checksumOk);
  EXPECT_EQ(parser.discardedBytes(), 18u + 4u);

  // A unit cut off half-way is dropped by reset().
  parser.feed(Bytes{'K', 'V'}, units);
  EXPECT_TRUE(parser.midUnit());
  parser.reset();
  parser.feed(Bytes{'S', 'T', 0x03, 0xAA}, units);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[1].text, "ST");
}

TEST(SimFrames, HexParsingAcceptsTheUsualSpellings) {
  Bytes out;
  EXPECT_TRUE(parseHex("4B 56 3f", out));
  EXPECT_EQ(hex(out), "4B 56 3F");
  EXPECT_TRUE(parseHex("0x01,0x02", out));
  EXPECT_EQ(hex(out), "01 02");
  EXPECT_TRUE(parseHex("0A0B", out));
  EXPECT_EQ(hex(out), "0A 0B");
  EXPECT_FALSE(parseHex("4", out));
  EXPECT_FALSE(parseHex("zz", out));
  EXPECT_FALSE(parseHex("", out));
}

}  // namespace
}  // namespace kestro::sim::test
