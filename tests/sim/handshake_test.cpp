// Exposure, fluoroscopy and error reports, with the test echoing as the library does.
#include <gtest/gtest.h>

#include "sim_fixture.h"

namespace kestro::sim::test {
namespace {

using Clock = std::chrono::steady_clock;

class SimHandshake : public SimFixture {
 protected:
  SimulatorOptions simOptions() override {
    SimulatorOptions o;
    o.echoTimeout = milliseconds(1000);
    o.heatReportPeriod = milliseconds(40);
    return o;
  }

  // Receives the next message, checks it, echoes it back.
  void expectAndEcho(const std::string& message, int stateAfter = -1) {
    SCOPED_TRACE(message);
    EXPECT_EQ(lib->nextMessage(), message);
    if (stateAfter >= 0) {
      EXPECT_EQ(sim->state(), stateAfter);
    }
    lib->sendCommand(message);
  }
};

TEST_F(SimHandshake, RadiographyRunsThroughEveryStepWhenTheLibraryEchoes) {
  ASSERT_TRUE(sim->setValue("MA", 2000));
  ASSERT_TRUE(sim->startExposure(120));
  expectAndEcho("PR1", GenState::Prep);
  expectAndEcho("PR2", GenState::ReadyToExpose);

  auto xr1 = lib->nextReal();
  ASSERT_TRUE(xr1);
  EXPECT_EQ(xr1->text, "XR1");
  EXPECT_EQ(sim->state(), GenState::Exposing);
  lib->sendCommand("XR1");

  auto xr0 = lib->nextReal();
  ASSERT_TRUE(xr0);
  EXPECT_EQ(xr0->text, "XR0");
  EXPECT_GE(xr0->time - xr1->time, milliseconds(110));  // the exposure time, less read jitter
  lib->sendCommand("XR0");

  // 120 ms at 200 mA: 24 mAs (tenths: 240), time in tenths of ms.
  EXPECT_EQ(lib->nextMessage(), "AT01200 AP00240");
  expectAndEcho("PR0");

  ASSERT_TRUE(sim->waitHandshakeDone(kArrival));
  HandshakeResult r = sim->lastHandshake();
  EXPECT_EQ(r.kind, "expose");
  EXPECT_TRUE(r.completed);
  EXPECT_FALSE(r.aborted);
  EXPECT_TRUE(r.allEchoed());
  std::vector<std::string> order;
  for (const HandshakeStep& s : r.steps) order.push_back(s.message);
  EXPECT_EQ(order, (std::vector<std::string>{"PR1", "PR2", "XR1", "XR0", "PR0"}));
  EXPECT_EQ(sim->state(), GenState::Ready);
  EXPECT_EQ(sim->value("SEC"), 1);
  EXPECT_EQ(sim->value("AP"), 240);
  EXPECT_EQ(ask("AT?"), "AT01200");
}

TEST_F(SimHandshake, MissingEchoAbortsTheExposureBeforeXRay) {
  sim->setEchoTimeout(milliseconds(100));
  ASSERT_TRUE(sim->startExposure(50));
  EXPECT_EQ(lib->nextMessage(), "PR1");  // not echoed
  EXPECT_EQ(lib->nextMessage(), "PR0");
  lib->sendCommand("PR0");
  ASSERT_TRUE(sim->waitHandshakeDone(kArrival));
  EXPECT_TRUE(lib->staysQuiet());

  HandshakeResult r = sim->lastHandshake();
  EXPECT_TRUE(r.aborted);
  EXPECT_FALSE(r.completed);
  ASSERT_EQ(r.steps.size(), 2u);
  EXPECT_FALSE(r.steps[0].echoed);
  EXPECT_TRUE(r.steps[1].echoed);
  EXPECT_EQ(r.step("XR1"), nullptr);
  EXPECT_EQ(sim->state(), GenState::Ready);
  EXPECT_EQ(sim->value("SEC"), 0);
}

TEST_F(SimHandshake, MissingEchoDuringExposureEndsItWithXR0) {
  sim->setEchoTimeout(milliseconds(100));
  ASSERT_TRUE(sim->startExposure(50));
  expectAndEcho("PR1");
  expectAndEcho("PR2");
  EXPECT_EQ(lib->nextMessage(), "XR1");  // not echoed
  expectAndEcho("XR0");
  expectAndEcho("PR0");
  ASSERT_TRUE(sim->waitHandshakeDone(kArrival));
  HandshakeResult r = sim->lastHandshake();
  EXPECT_TRUE(r.aborted);
  ASSERT_NE(r.step("XR1"), nullptr);
  EXPECT_FALSE(r.step("XR1")->echoed);
  EXPECT_TRUE(r.step("XR0")->echoed);
  EXPECT_EQ(sim->value("SEC"), 0);  // no post-exposure values for an aborted exposure
}

TEST_F(SimHandshake, WithoutStrictnessEveryStepIsSentAndEachMissingEchoRecorded) {
  sim->setEchoTimeout(milliseconds(60));
  sim->setStrictHandshake(false);
  ASSERT_TRUE(sim->startExposure(20));
  for (const char* m : {"PR1", "PR2", "XR1", "XR0", "AT00200 AP00020", "PR0"}) EXPECT_EQ(lib->nextMessage(), m);
  ASSERT_TRUE(sim->waitHandshakeDone(kArrival));
  HandshakeResult r = sim->lastHandshake();
  EXPECT_TRUE(r.completed);
  EXPECT_FALSE(r.allEchoed());
  EXPECT_EQ(r.steps.size(), 5u);
  for (const HandshakeStep& s : r.steps) EXPECT_FALSE(s.echoed) << s.message;
}

TEST_F(SimHandshake, OnlyOneHandshakeAtATime) {
  ASSERT_TRUE(sim->startExposure(20));
  std::string why;
  EXPECT_FALSE(sim->startExposure(20, &why));
  EXPECT_FALSE(sim->startFluoro(&why));
  EXPECT_EQ(why, "a handshake is running");
  EXPECT_EQ(lib->nextMessage(), "PR1");
}

TEST_F(SimHandshake, FluoroscopyReportsHeatWhileOnAndEndsOnRequest) {
  ASSERT_TRUE(sim->startFluoro());
  expectAndEcho("FLP1", GenState::FluoroPrep);
  expectAndEcho("FLX1");
  ASSERT_TRUE(sim->waitForState(GenState::FluoroOn, kArrival));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(lib->nextMessage(), "HE000");
  lib->sendCommand("ST");
  std::string answer;
  while ((answer = lib->nextMessage()) == "HE000") {
  }
  EXPECT_EQ(answer, "ST014");

  ASSERT_TRUE(sim->stopFluoro());
  std::string m;
  while ((m = lib->nextMessage()) == "HE000") {
  }
  EXPECT_EQ(m, "FLX0");
  lib->sendCommand("FLX0");
  expectAndEcho("FLP0");
  ASSERT_TRUE(sim->waitHandshakeDone(kArrival));
  HandshakeResult r = sim->lastHandshake();
  EXPECT_EQ(r.kind, "fluoro");
  EXPECT_TRUE(r.completed);
  EXPECT_TRUE(r.allEchoed());
  EXPECT_EQ(r.steps.size(), 4u);
  EXPECT_EQ(sim->state(), GenState::Ready);
  EXPECT_GT(sim->value("FLI").value_or(0), 0);  // at least 3 x 40 ms of fluoroscopy
  EXPECT_EQ(sim->value("FLI"), sim->value("FLT"));
  std::string why;
  EXPECT_FALSE(sim->stopFluoro(&why));
}

TEST_F(SimHandshake, FluoroscopyWithoutEchoIsWithdrawn) {
  sim->setEchoTimeout(milliseconds(80));
  ASSERT_TRUE(sim->startFluoro());
  EXPECT_EQ(lib->nextMessage(), "FLP1");
  EXPECT_EQ(lib->nextMessage(), "FLP0");
  ASSERT_TRUE(sim->waitHandshakeDone(kArrival));
  EXPECT_TRUE(sim->lastHandshake().aborted);
  EXPECT_EQ(sim->state(), GenState::Ready);
}

TEST_F(SimHandshake, ErrorsAndWarningsAreReportedAndTheirEchoAcknowledgesThem) {
  sim->reportError(220);
  sim->reportWarning(12);
  EXPECT_EQ(lib->nextMessage(), "ER220");
  EXPECT_EQ(lib->nextMessage(), "EL012");
  lib->sendCommand("EL012");
  EXPECT_TRUE(sim->waitForCommand("EL012", kArrival));
  std::vector<ErrorReport> reports = sim->errorReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_FALSE(reports[0].acknowledged);
  EXPECT_TRUE(reports[1].acknowledged);

  lib->sendCommand("ER220");
  EXPECT_TRUE(sim->waitForCommand("ER220", kArrival));
  EXPECT_TRUE(sim->errorReports()[0].acknowledged);
  EXPECT_TRUE(lib->staysQuiet());  // echoes get no answer
}

}  // namespace
}  // namespace kestro::sim::test
