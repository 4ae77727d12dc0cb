// Commands of the library answered over the pty: queries, sets, steps, multi-commands.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "sim_fixture.h"

namespace kestro::sim::test {
namespace {

struct Exchange {
  const char* command;
  const char* answer;  // "" when the generator must not answer
};

// Run in order on a fresh generator: each row starts from the values the rows before left.
const Exchange kExchanges[] = {
    {"KV?", "KV075"},     {"KV080", "KV080"},   {"KV+", "KV081"},     {"KV++", "KV086"},    {"KV-", "KV085"},
    {"KV--", "KV080"},    {"KV234", "KV150"},   {"KV+", "KV150"},     {"KV040", "KV040"},   {"KV-", "KV040"},
    {"MA?", "MA01000"},   {"MA+", "MA01250"},   {"MA++", "MA02500"},  {"MA-", "MA02000"},   {"MA--", "MA01000"},
    {"MA03000", "MA03000"}, {"MA+", "MA03200"}, {"MA03000", "MA03000"}, {"MA-", "MA02500"}, {"MA99999", "MA10000"},
    {"MS?", "MS01000"},   {"MS00016", "MS00016"}, {"MS-", "MS00012"}, {"MS--", "MS00010"}, {"MS++", "MS00020"},
    {"MX?", "MX00100"},   {"MX++", "MX00200"},  {"MX10000", "MX10000"}, {"MX+", "MX10000"},
    {"FN?", "FN 0"},      {"FN-3", "FN-3"},     {"FN+2", "FN+2"},     {"FN 0", "FN 0"},     {"FN+9", "FN 0"},
    {"FI?", "FI001"},     {"FI101", "FI101"},   {"FI120", ""},        {"FS?", "FS001"},     {"FS010", "FS010"},
    {"FS011", ""},        {"ET?", "ET0"},       {"ET2", "ET2"},       {"ET7", "ET2"},       {"FO1", "FO1"},
    {"WS?", "WS1"},       {"WS3", "WS3"},       {"TO?", "TO0"},       {"TO1", "TO1"},       {"TU?", "TU0"},
    {"LCC?", "LCC00000"}, {"LCC01234", "LCC01234"}, {"RPS?", "RPS008"}, {"RPS015", "RPS015"}, {"RPT?", "RPT0060"},
    {"RPT0120", "RPT0120"}, {"PWP042", "PWP042"}, {"DDC0042", "DDC0042"}, {"SPABS081", "SPABS081"},
    {"FLK?", "FLK070"},   {"FLK++", "FLK075"},  {"FLK080", "FLK080"}, {"FLK--", "FLK075"}, {"FLM?", "FLM020"},
    {"FLM+", "FLM021"},   {"FLS?", "FLS075"},   {"FLS+", "FLS150"},   {"FLS-", "FLS075"},   {"FLS300", "FLS300"},
    {"FLZ?", "FLZ0"},     {"FLZ2", "FLZ2"},     {"FLZ\xFE", "FLZ2"},  {"FLF?", "FLF1"},     {"FLD2", "FLD2"},
    {"FDR1", "FDR1"},     {"FLA3", "FLA3"},     {"FPP?", "FPP001"},   {"FPP005", "FPP005"}, {"FLI?", "FLI00000"},
    {"FLT?", "FLT00000"}, {"FLR0", "FLR0"},     {"FLR1", "FLR1"},     {"ST", "ST002"},      {"HE?", "HE000"},
    {"HH?", "HH000"},     {"HO?", "HO0"},       {"HO1", "HO1"},       {"KW", "KW050"},      {"GC", "GC006"},
    {"SEC?", "SEC00000"}, {"AET?", "AET00000"}, {"VE?", "VE3"},       {"VE<", "VE<"},       {"GM?", "GM0"},
    {"GM1", "GM1"},       {"TB?", "TB0"},       {"TB1", "TB1"},       {"CA?", "CA0"},       {"CA1", "CA1"},
    {"CA0", "CA0"},
    {"MC? FC? KV? MS?", "MC00000 FC00000 KV040 MS00020"},
    {"RR", "KV040 MA10000 MS00020 MX10000"},
    {"RS", "TU0 WS3 FO1 ET2 FI101 FS010 FN 0 HE000"},
    {"RF", "FLK075 FLM021 FLI00000 FLT00000 FLS300 FLF1 FLA3 FLZ2 FLD2 FDR1"},
    // Unknown or malformed: no answer at all.
    {"ZZ?", ""},          {"KV", ""},           {"KV08", ""},         {"MA1000", ""},       {"HE050", ""},
    {"ST005", ""},        {"FN+", ""},
};

class SimCommands : public SimFixture {};

TEST_F(SimCommands, AnswersQueriesSetsAndStepsInTheWidthOfTheirField) {
  for (const Exchange& e : kExchanges) {
    SCOPED_TRACE(printable(e.command));
    lib->sendCommand(e.command);
    if (*e.answer != '\0') {
      EXPECT_EQ(lib->nextMessage(), e.answer);
    } else {
      // Nothing for it: the next message is the answer to the status query after it.
      lib->sendCommand("ST");
      EXPECT_EQ(lib->nextMessage().substr(0, 2), "ST");
    }
  }
  EXPECT_EQ(sim->value("KV"), 40);
  EXPECT_EQ(sim->counters().unknownCommands, 9u);
}

TEST_F(SimCommands, ParameterBlockSetsAllTenValuesAndConfirmsThemInOneMessage) {
  EXPECT_EQ(ask("SA WS1 FO1 ET2 FI101 FS010 FN-3 KV081 MA00100 MS00016 MX00100"),
            "WS1 ET2 FO1 FI101 FS010 FN-3 KV081 MA00100 MS00016 MX00100");
  EXPECT_EQ(sim->value("density"), -3);
  EXPECT_EQ(ask("SA WS2 FO0 ET1 FI000 FS001 FN 0 KV070 MA00125 MS00012 MX00020"),
            "WS2 ET1 FO0 FI000 FS001 FN 0 KV070 MA00125 MS00012 MX00020");

  sim->setRefuseTechnique(true);
  EXPECT_EQ(ask("SA WS1 FO1 ET2 FI101 FS010 FN-3 KV099 MA00100 MS00016 MX00100"), "EL064");
  EXPECT_EQ(sim->value("KV"), 70);
}

TEST_F(SimCommands, CommandWithWrongChecksumIsCountedAndNotAnswered) {
  lib->sendBytes(Bytes{'K', 'V', '?', 0x03, 0xE4});
  lib->sendCommand("ST");
  EXPECT_EQ(lib->nextMessage(), "ST002");
  EXPECT_EQ(sim->counters().badChecksums, 1u);
  std::vector<ReceivedUnit> log = sim->received();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_FALSE(log[0].unit.checksumOk);
  EXPECT_EQ(log[0].note, "bad checksum");
  EXPECT_EQ(hex(log[0].unit.raw), "4B 56 3F 03 E4");
}

TEST_F(SimCommands, CommandArrivingByteByByteIsAnswered) {
  const Bytes frame{'K', 'V', '0', '9', '9', 0x03, static_cast<std::uint8_t>('K' + 'V' + '0' + '9' + '9' + 3)};
  for (std::uint8_t b : frame) lib->sendBytes(Bytes{b});
  EXPECT_EQ(lib->nextMessage(), "KV099");
}

TEST_F(SimCommands, UnfinishedUnitIsDroppedAfterAPauseSoTheNextCommandIsRead) {
  // A data-bag header announcing 256 bytes, then nothing.
  lib->sendBytes(Bytes{0x01, 0x05, 0x01, 0x00, 0xAA});
  EXPECT_TRUE(sim->waitForCounters([](const SimCounters& c) { return c.discardedBytes == 5; }, kArrival));
  EXPECT_EQ(ask("ST"), "ST002");
}

TEST_F(SimCommands, LogRecordsEveryUnitAndWaitersSeeThem) {
  const std::uint64_t mark = sim->logMark();
  lib->sendCommand("KV080");
  lib->sendCommand("PR1");  // an echo outside a handshake: logged, never answered
  EXPECT_TRUE(sim->waitForCommand("PR1", kArrival, mark));
  EXPECT_TRUE(sim->waitForCommand("KV080", kArrival, mark));
  EXPECT_FALSE(sim->waitForCommand("KV081", milliseconds(50), mark));
  EXPECT_EQ(lib->nextMessage(), "KV080");
  EXPECT_TRUE(lib->staysQuiet());

  std::vector<ReceivedUnit> log = sim->received();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].unit.text, "KV080");
  EXPECT_EQ(hex(log[0].unit.raw), "4B 56 30 38 30 03 3C");
  EXPECT_EQ(log[0].note, "answered");
  EXPECT_EQ(log[1].note, "echo");
  EXPECT_LT(log[0].seq, log[1].seq);
  EXPECT_LE(log[0].time, log[1].time);
  EXPECT_EQ(sim->countCommand("KV080"), 1u);

  // Units before the mark do not count for a wait from a later mark.
  EXPECT_FALSE(sim->waitForCommand("KV080", milliseconds(50), sim->logMark()));
  sim->clearLog();
  EXPECT_TRUE(sim->received().empty());
  EXPECT_EQ(sim->counters().commands, 2u);
}

TEST_F(SimCommands, InjectedMessagesAndRawBytesReachTheLibraryUnchanged) {
  sim->sendMessage("KV080");
  auto u = lib->next();
  ASSERT_TRUE(u);
  EXPECT_EQ(hex(u->raw), "4B 56 30 38 30 03 3C");

  sim->sendRaw(Bytes{0x06, 0x15, 0x41});
  for (const char* expected : {"06", "15"}) {
    u = lib->next();
    ASSERT_TRUE(u);
    EXPECT_EQ(hex(u->raw), expected);
  }
  // The lone letter is the start of an unfinished message: nothing more to decode.
  EXPECT_FALSE(lib->next(milliseconds(100)));
}

TEST(SimDevice, ServesADeviceItIsGiven) {
  // The test owns a pty and hands its slave to the simulator as a device.
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  char name[128];
  ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);
  termios tio{};
  ASSERT_EQ(::tcgetattr(master, &tio), 0);
  ::cfmakeraw(&tio);
  ::tcsetattr(master, TCSANOW, &tio);

  SimulatorOptions options;
  options.devicePath = name;
  Simulator sim(options);
  std::string error;
  ASSERT_TRUE(sim.start(&error)) << error;
  EXPECT_EQ(sim.portPath(), name);

  const std::uint8_t frame[] = {'K', 'V', '?', 0x03, 0xE3};
  ASSERT_EQ(::write(master, frame, sizeof frame), static_cast<ssize_t>(sizeof frame));
  Bytes got;
  const auto deadline = std::chrono::steady_clock::now() + kArrival;
  while (got.size() < 7 && std::chrono::steady_clock::now() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    std::uint8_t buf[64];
    ssize_t n = ::read(master, buf, sizeof buf);
    if (n > 0) got.insert(got.end(), buf, buf + n);
  }
  EXPECT_EQ(hex(got), "4B 56 30 37 35 03 40");
  sim.stop();
  ::close(master);
}

}  // namespace
}  // namespace kestro::sim::test
