// Configured answers: the dose-rate curve, the compatibility bag per entry, the heat
// limits and the working-tube byte, set through the control language and seen on the
// wire or in the store.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace kestro::sim::test {
namespace {

class SimConfig : public SimFixture {
 protected:
  std::string run(std::string_view line, bool expectOk = true) {
    std::string reply;
    EXPECT_EQ(sim->control(line, &reply), expectOk) << line << " -> " << reply;
    return reply;
  }
  // A bag 22 request for an entry: the command byte, the two selector bytes, the data.
  Bytes compat(std::uint8_t command, int entry, const Bytes& requestBytes = {}) {
    Bytes data{command, static_cast<std::uint8_t>(entry / 15), static_cast<std::uint8_t>(entry % 15)};
    data.insert(data.end(), requestBytes.begin(), requestBytes.end());
    return data;
  }
};

TEST_F(SimConfig, MalformedWordsAreRefused) {
  const char* bad[] = {"dose-rate 1 2 3",
                       "dose-rate 1 2 3 4 5 6 7 8 9 10 11 70000",
                       "dose-rate 1 2 3 4 5 6 7 8 9 10 11 x",
                       "compat x echo",
                       "compat -1 echo",
                       "compat 0 maybe",
                       "compat 0 bits",
                       "compat 0 bits zz",
                       "compat 0 bits 1 2 3 4 5 6 7 8 9",
                       "compat 0 echo now",
                       "heat-limits 1",
                       "heat-limits 256 1",
                       "heat-limits 1 2 3",
                       "tube-byte 7 2",
                       "tube-byte 1 300",
                       "tube-byte 1"};
  for (const char* line : bad) EXPECT_EQ(run(line, false).substr(0, 10), "ERR usage:") << line;
  EXPECT_TRUE(lib->staysQuiet());
}

TEST_F(SimConfig, DoseRateCurveHeatLimitsAndTubeByteLandInTheirRecords) {
  run("dose-rate 100 150 300 200 250 260 270 280 290 300 310 65535");
  const Bytes curve = *sim->bagRecord(13, {0});
  EXPECT_EQ(curve[0], 0);
  EXPECT_EQ((Bytes(curve.begin() + 1, curve.begin() + 9)), (Bytes{0, 100, 0, 150, 1, 44, 0, 200}));
  EXPECT_EQ(curve[23], 0xFF);
  EXPECT_EQ(curve[24], 0xFF);

  run("heat-limits 80 95");
  run("heat-limits 60 70 2");
  EXPECT_EQ((*sim->bagRecord(4, {0}))[435], 80);
  EXPECT_EQ((*sim->bagRecord(4, {0}))[436], 95);
  EXPECT_EQ((*sim->bagRecord(4, {1}))[435], 60);

  run("tube-byte 3 2");
  const Bytes aux = *sim->bagRecord(6, {2});
  EXPECT_EQ(aux[0], 2);
  EXPECT_EQ(aux[1], 2);
  // What the library reads is what was configured.
  lib->sendBag(13, {0x01, 0x00});
  std::optional<GenUnit> reply = lib->nextReal();
  ASSERT_TRUE(reply && reply->kind == GenUnit::Kind::Bag);
  EXPECT_EQ(reply->data, curve);
}

TEST_F(SimConfig, CompatibilityAnswersPerEntry) {
  const Bytes request{3, 1, 0, 0, 0, 0, 0, 255};
  run("compat 1 bits 01 80");
  run("compat 2 refuse");
  for (int entry : {0, 1, 2}) {
    SCOPED_TRACE(entry);
    lib->sendBag(22, compat(0x00, entry, request));
    std::optional<GenUnit> ack = lib->nextReal();
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->kind, entry == 2 ? GenUnit::Kind::Nak : GenUnit::Kind::Ack);
    lib->sendBag(22, compat(0x01, entry));
    std::optional<GenUnit> answer = lib->nextReal();
    ASSERT_TRUE(answer && answer->kind == GenUnit::Kind::Bag);
    ASSERT_EQ(answer->data.size(), 10u);
    const Bytes bytes(answer->data.begin() + 2, answer->data.end());
    const Bytes fixed{0x01, 0x80, 0, 0, 0, 0, 0, 0};
    if (entry == 0) {
      EXPECT_EQ(bytes, request);  // echoed
    } else if (entry == 1) {
      EXPECT_EQ(bytes, fixed);
    } else {
      EXPECT_NE(bytes, request);  // the refused write was not stored
    }
  }
  // Back to echo.
  run("compat 1 echo");
  lib->sendBag(22, compat(0x01, 1));
  std::optional<GenUnit> answer = lib->nextReal();
  ASSERT_TRUE(answer && answer->kind == GenUnit::Kind::Bag);
  EXPECT_EQ(Bytes(answer->data.begin() + 2, answer->data.end()), request);
}

}  // namespace
}  // namespace kestro::sim::test
