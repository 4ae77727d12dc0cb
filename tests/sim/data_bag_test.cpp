// Data-bag reads and writes as the library's start-up and packet exchange make them.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace kestro::sim::test {
namespace {

class SimDataBags : public SimFixture {
 protected:
  // Sends a request and returns the reply, checking its frame.
  Bytes read(std::uint8_t index, const Bytes& request) {
    lib->sendBag(index, request);
    auto u = lib->nextReal();
    if (!u) {
      ADD_FAILURE() << "no reply to bag " << int(index);
      return {};
    }
    EXPECT_EQ(u->kind, GenUnit::Kind::Bag) << hex(u->raw);
    EXPECT_EQ(u->index, index);
    EXPECT_TRUE(u->checksumOk) << hex(u->raw);
    return u->data;
  }

  GenUnit::Kind write(std::uint8_t index, const Bytes& data) {
    lib->sendBag(index, data);
    auto u = lib->nextReal();
    return u ? u->kind : GenUnit::Kind::Junk;
  }

  static unsigned word(const Bytes& b, std::size_t at) { return b[at] * 256u + b[at + 1]; }
};

TEST_F(SimDataBags, StartUpReadsGetRepliesOfTheRightLengthPerSelector) {
  // Auxiliary setup, receptors 1..5: byte 0 the receptor index, 1 enabled, 5 AEC channel.
  for (std::uint8_t r = 0; r < 5; ++r) {
    SCOPED_TRACE("receptor " + std::to_string(r));
    Bytes reply = read(6, {0x01, r});
    ASSERT_EQ(reply.size(), 26u);
    EXPECT_EQ(reply[0], r);
    EXPECT_EQ(reply[1], r < 4 ? 1 : 0);
  }
  EXPECT_EQ(read(6, {0x01, 1})[5], 2);

  // AEC setup, channels 1..4: byte 0 the channel, 1 film speed, 2 field.
  for (std::uint8_t c = 0; c < 4; ++c) {
    Bytes reply = read(8, {0x01, c});
    ASSERT_EQ(reply.size(), 10u);
    EXPECT_EQ(reply[0], c);
  }
  EXPECT_EQ(read(8, {0x01, 2})[1], 4);

  // Dose-rate curve (index 13, record 1): selector byte, twelve big-endian words, spare.
  Bytes curve = read(13, {0x01, 0x00});
  ASSERT_EQ(curve.size(), 27u);
  EXPECT_EQ(curve[0], 0);
  EXPECT_EQ(word(curve, 1), 120u);
  EXPECT_EQ(word(curve, 23), 1330u);
  for (std::size_t i = 1; i < 12; ++i) EXPECT_GT(word(curve, 1 + 2 * i), word(curve, 2 * i - 1)) << i;

  // Version (index 12): the first five bytes make the CPU version.
  Bytes version = read(12, {0x01});
  ASSERT_EQ(version.size(), 55u);
  EXPECT_EQ(hex(Bytes(version.begin(), version.begin() + 5)), "04 02 09 07 01");
  EXPECT_EQ(sim->counters().dataBags, 13u);
}

TEST_F(SimDataBags, EveryIndexAnswersAReadWithItsReplyLength) {
  for (const BagLayout& layout : bagLayouts()) {
    SCOPED_TRACE(layout.name);
    Bytes request{0x01};
    if (layout.index == 2 || layout.index == 3) request = {0x00};
    for (std::size_t i = 0; i < layout.selectorBytes && layout.index != 2; ++i) request.push_back(0);
    EXPECT_EQ(read(layout.index, request).size(), layout.replyLength);
  }
}

TEST_F(SimDataBags, WriteIsAcknowledgedAndReadBack) {
  // Generator time: 00 and six bytes; the seventh reply byte keeps its value.
  const Bytes before = read(1, {0x01});
  ASSERT_EQ(before.size(), 7u);
  EXPECT_EQ(write(1, {0x00, 24, 12, 31, 23, 59, 58}), GenUnit::Kind::Ack);
  Bytes after = read(1, {0x01});
  EXPECT_EQ(hex(after), hex(Bytes{24, 12, 31, 23, 59, 58, before[6]}));

  // AEC setup channel 3: 00, channel, nine bytes; only that channel changes.
  const Bytes other = read(8, {0x01, 1});
  Bytes data{0x00, 0x02, 9, 8, 7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(write(8, data), GenUnit::Kind::Ack);
  EXPECT_EQ(hex(read(8, {0x01, 2})), hex(Bytes(data.begin() + 1, data.end())));
  EXPECT_EQ(hex(read(8, {0x01, 1})), hex(other));

  // KW_MS table: the selector follows the command byte but is not part of the reply.
  Bytes table(74, 0x00);
  table[1] = 2;
  for (std::size_t i = 2; i < table.size(); ++i) table[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(write(21, table), GenUnit::Kind::Ack);
  Bytes kwms = read(21, {0x01, 2});
  ASSERT_EQ(kwms.size(), 72u);
  EXPECT_EQ(kwms[0], 2);
  EXPECT_EQ(kwms[71], 73);

  // The store seen from the API agrees.
  EXPECT_EQ(hex(*sim->bagRecord(8, {2})), hex(Bytes(data.begin() + 1, data.end())));
}

TEST_F(SimDataBags, RefusedWritesGetANakAndChangeNothing) {
  const Bytes original = read(10, {0x01, 0x01});
  Bytes write16(17, 0x55);
  write16[0] = 0x00;

  sim->setNak(NakMode::Once);
  EXPECT_EQ(write(10, write16), GenUnit::Kind::Nak);
  EXPECT_EQ(hex(read(10, {0x01, 0x01})), hex(original));
  EXPECT_EQ(write(10, write16), GenUnit::Kind::Ack);  // once only
  EXPECT_EQ(read(10, {0x01, 0x01}), Bytes(16, 0x55));

  EXPECT_EQ(write(3, {0x00, 1, 2, 3}), GenUnit::Kind::Bag);  // statistics: parameter 0 is a read
  EXPECT_EQ(write(10, Bytes(40, 0x00)), GenUnit::Kind::Nak);  // longer than the bag
  EXPECT_EQ(write(30, {0x01}), GenUnit::Kind::Nak);           // no such bag
  EXPECT_EQ(write(6, {0x07, 0x00}), GenUnit::Kind::Nak);      // no such command byte
  EXPECT_EQ(sim->counters().naks, 4u);
}

TEST_F(SimDataBags, ErrorLogEntriesAndItsClearing) {
  Bytes entry = read(2, {0x01});
  ASSERT_EQ(entry.size(), 22u);
  EXPECT_EQ(entry[2], 205);  // error code of entry 1
  EXPECT_EQ(write(2, {0x03}), GenUnit::Kind::Ack);
  // Statistics with a non-zero parameter only prepare; the 00 request that follows is answered.
  lib->sendBag(3, {0x02});
  EXPECT_EQ(read(3, {0x00}).size(), 24u);
}

TEST_F(SimDataBags, BagWithWrongChecksumIsIgnored) {
  lib->sendBytes(Bytes{0x01, 0x06, 0x00, 0x02, 0x01, 0x00, 0x00});
  lib->sendCommand("ST");
  EXPECT_EQ(lib->nextMessage(), "ST002");
  EXPECT_EQ(sim->counters().badChecksums, 1u);
}

}  // namespace
}  // namespace kestro::sim::test
