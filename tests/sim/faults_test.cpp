// Each fault seen from the library's end of the line.
#include <gtest/gtest.h>
#include <unistd.h>

#include "sim_fixture.h"

namespace kestro::sim::test {
namespace {

using Clock = std::chrono::steady_clock;

class SimFaults : public SimFixture {};

TEST_F(SimFaults, SilenceAnswersNothingUntilSwitchedOff) {
  ASSERT_TRUE(sim->setFault("silence", true));
  lib->sendCommand("KV?");
  lib->sendBag(6, {0x01, 0x00});
  EXPECT_TRUE(lib->staysQuiet());
  EXPECT_TRUE(sim->waitForCommand("KV?", kArrival));  // heard, just not answered
  EXPECT_EQ(sim->counters().framesDropped, 2u);

  ASSERT_TRUE(sim->setFault("silence", false));
  EXPECT_EQ(ask("KV?"), "KV075");
}

TEST_F(SimFaults, BadChecksumCorruptsOnlyTheChecksumByte) {
  ASSERT_TRUE(sim->setFault("bad-checksum", true));
  lib->sendCommand("KV?");
  auto u = lib->nextReal();
  ASSERT_TRUE(u);
  EXPECT_EQ(u->text, "KV075");
  EXPECT_FALSE(u->checksumOk);
  EXPECT_EQ(hex(u->raw), "4B 56 30 37 35 03 41");  // the right sum is 0x40

  lib->sendBag(6, {0x01, 0x00});
  u = lib->nextReal();
  ASSERT_TRUE(u);
  EXPECT_EQ(u->kind, GenUnit::Kind::Bag);
  EXPECT_EQ(u->data.size(), 26u);
  EXPECT_FALSE(u->checksumOk);
}

TEST_F(SimFaults, GarbageComesBeforeTheReplyAndCannotStartAUnit) {
  ASSERT_TRUE(sim->setFault("garbage", true));
  for (int round = 0; round < 5; ++round) {
    lib->sendCommand("KV?");
    int junk = 0;
    std::optional<GenUnit> u;
    while ((u = lib->next()) && u->kind == GenUnit::Kind::Junk) {
      ++junk;
      const std::uint8_t b = u->raw[0];
      EXPECT_FALSE(b >= 'A' && b <= 'Z') << int(b);
      EXPECT_NE(b, 0x03);
    }
    ASSERT_TRUE(u);
    EXPECT_GE(junk, 1);
    EXPECT_LE(junk, 4);
    EXPECT_EQ(u->text, "KV075");
    EXPECT_TRUE(u->checksumOk);
  }
}

TEST_F(SimFaults, SlowDelaysEveryReply) {
  sim->setSlow(milliseconds(150));
  const Clock::time_point sentAt = Clock::now();
  lib->sendCommand("KV?");
  auto u = lib->nextReal();
  ASSERT_TRUE(u);
  EXPECT_EQ(u->text, "KV075");
  EXPECT_GE(u->time - sentAt, milliseconds(150));
  ASSERT_TRUE(sim->setFault("slow", false));
  EXPECT_EQ(sim->faults().slow, milliseconds(0));
}

TEST_F(SimFaults, SplitWritesAReplyInPiecesWithGaps) {
  sim->setSplit(true, milliseconds(15));
  const std::uint64_t chunksBefore = sim->counters().chunksWritten;
  const std::size_t readsBefore = lib->readSizes().size();
  lib->sendCommand("MC? FC? KV? MS?");
  EXPECT_EQ(lib->nextMessage(), "MC00000 FC00000 KV075 MS01000");
  // 32 bytes in pieces of at most 3: at least 11 writes, and the test read more than once.
  EXPECT_GE(sim->counters().chunksWritten - chunksBefore, 11u);
  EXPECT_GT(lib->readSizes().size() - readsBefore, 1u);
}

TEST_F(SimFaults, DropOnceLosesOneReplyDropAllLosesEvery) {
  sim->setDrop(DropMode::Once);
  lib->sendCommand("KV?");
  EXPECT_EQ(ask("MA?"), "MA01000");  // the KV answer was the one dropped
  EXPECT_EQ(sim->faults().drop, DropMode::Off);

  ASSERT_TRUE(sim->setFault("drop", true));
  lib->sendCommand("KV?");
  lib->sendCommand("MA?");
  EXPECT_TRUE(lib->staysQuiet());
  EXPECT_EQ(sim->counters().framesDropped, 3u);
  sim->clearFaults();
  EXPECT_EQ(ask("KV?"), "KV075");
}

TEST_F(SimFaults, DisconnectHangsUpAndReconnectServesANewLine) {
  ASSERT_TRUE(sim->disconnect());
  EXPECT_TRUE(sim->faults().disconnected);
  EXPECT_TRUE(lib->waitHangUp());
  sim->reportError(220);  // nowhere to go
  EXPECT_GE(sim->counters().framesDropped, 1u);

  std::string error;
  ASSERT_TRUE(sim->reconnect(&error)) << error;
  EXPECT_FALSE(sim->faults().disconnected);
  lib = std::make_unique<LibrarySide>(sim->portPath());
  ASSERT_TRUE(lib->isOpen());
  EXPECT_EQ(ask("KV?"), "KV075");
}

class SimFaultsWithLink : public SimFixture {
 protected:
  SimulatorOptions simOptions() override {
    SimulatorOptions o;
    o.linkPath = ::testing::TempDir() + "kestro-sim-link-" + std::to_string(::getpid());
    return o;
  }
};

TEST_F(SimFaultsWithLink, LinkFollowsTheLineAcrossAReconnect) {
  const std::string link = sim->portPath();
  EXPECT_EQ(ask("KV?"), "KV075");
  ASSERT_TRUE(sim->setFault("disconnect", true));
  EXPECT_TRUE(lib->waitHangUp());
  ASSERT_TRUE(sim->setFault("disconnect", false));
  EXPECT_EQ(sim->portPath(), link);
  lib = std::make_unique<LibrarySide>(link);
  ASSERT_TRUE(lib->isOpen());
  EXPECT_EQ(ask("MA?"), "MA01000");
}

TEST_F(SimFaults, UnknownFaultNameIsRefused) {
  EXPECT_FALSE(sim->setFault("gremlins", true));
  EXPECT_FALSE(sim->setFault("slow", true));  // needs a delay: setSlow
}

}  // namespace
}  // namespace kestro::sim::test
