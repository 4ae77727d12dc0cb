// The operator exports against the generator simulator: the commands they put on the
// line, the values the simulated generator answers with, and what the exports return;
// the calibration entry and read-back, the queued DDC, the configuration learnt at
// start-up and the packet readers, the state gate and a silent generator.

#include "session.h"

#include <functional>
#include <mutex>

namespace kestro::itest {
namespace {

class Operator : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(initGenerator(), 1);
    }

    // Command texts the simulator received since mark, without the worker's polls.
    std::vector<std::string> commandsSince(std::uint64_t mark) const {
        std::vector<std::string> texts;
        for (const auto& entry : m_sim->received())
            if (entry.seq >= mark && entry.unit.kind == sim::UnitKind::Command && entry.unit.text != "HE?")
                texts.push_back(entry.unit.text);
        return texts;
    }
};

struct Case {
    const char* call;
    std::function<int()> run;
    const char* sent;  // the command text on the line
    int result;
    const char* simValue = nullptr;  // the simulator's value afterwards, when given
    int simExpected = 0;
};

TEST_F(Operator, ExportsAgainstTheSimulatedGenerator) {
    ASSERT_TRUE(m_sim->setValue("HH", 12));
    ASSERT_TRUE(m_sim->setValue("SEC", 77));
    ASSERT_TRUE(m_sim->setValue("AET", 210));
    ASSERT_TRUE(m_sim->setValue("FLI", 123));
    const Case cases[] = {
        {"IO_RadKVValue(false, 80)", [] { return IO_RadKVValue(0, 80); }, "KV080", 80, "KV", 80},
        {"IO_RadKVValue(true, 1)", [] { return IO_RadKVValue(1, 1); }, "KV+", 81, "KV", 81},
        {"IO_RadKVValue(true, 2)", [] { return IO_RadKVValue(1, 2); }, "KV++", 86, "KV", 86},
        {"IO_RadMAValue(false, 1000)", [] { return IO_RadMAValue(0, 1000); }, "MA01000", 1000, "MA", 1000},
        {"IO_RadMAValue(true, 1)", [] { return IO_RadMAValue(1, 1); }, "MA+", 1250, "MA", 1250},
        {"IO_RadMSValue(false, 1000)", [] { return IO_RadMSValue(0, 1000); }, "MS01000", 1000, "MS", 1000},
        {"IO_RadMSValue(true, -1)", [] { return IO_RadMSValue(1, -1); }, "MS-", 800, "MS", 800},
        {"IO_RadMXValue(true, 0)", [] { return IO_RadMXValue(1, 0); }, "MX?", 100},
        {"IO_RadAECDens(false, 0)", [] { return IO_RadAECDens(0, 0); }, "FN 0", 0, "FN", 0},
        {"IO_RadAECDens(false, -3)", [] { return IO_RadAECDens(0, -3); }, "FN-3", -3, "FN", -3},
        {"IO_RadAECField(false, 5)", [] { return IO_RadAECField(0, 5); }, "FI101", 5, "FI", 5},
        {"IO_RadAECFilm(false, 3)", [] { return IO_RadAECFilm(0, 3); }, "FS100", 4, "FS", 4},
        {"IO_RadSelectTech(false, 2)", [] { return IO_RadSelectTech(0, 2); }, "ET2", 2, "ET", 2},
        {"IO_RadSelectFocus(false, 1)", [] { return IO_RadSelectFocus(0, 1); }, "FO1", 1, "FO", 1},
        {"IO_RFSelectReceptor(false, 3)", [] { return IO_RFSelectReceptor(0, 3); }, "WS3", 3, "WS", 3},
        {"IO_SelectTomo(false, 1)", [] { return IO_SelectTomo(0, 1); }, "TO1", 1, "TO", 1},
        {"IO_LCCValue(false, 12345)", [] { return IO_LCCValue(0, 12345); }, "LCC12345", 12345, "LCC", 12345},
        {"IO_RADPPS(false, 15)", [] { return IO_RADPPS(0, 15); }, "RPS015", 15, "RPS", 15},
        {"IO_RADPulTime(false, 60)", [] { return IO_RADPulTime(0, 60); }, "RPT0060", 60, "RPT", 60},
        {"IO_SendAECPWP(42)", [] { return IO_SendAECPWP(42); }, "PWP042", 42, "PWP", 42},
        {"IO_SendABSKV(80)", [] { return IO_SendABSKV(80); }, "SPABS080", 80, "SPABS", 80},
        {"IO_FluoKVValue(false, 80)", [] { return IO_FluoKVValue(0, 80); }, "FLK080", 80, "FLK", 80},
        {"IO_FluoKVValue(true, 2)", [] { return IO_FluoKVValue(1, 2); }, "FLK++", 85, "FLK", 85},
        {"IO_FluoMAValue(false, 150)", [] { return IO_FluoMAValue(0, 150); }, "FLM150", 150, "FLM", 150},
        {"IO_FluoPPSValue(true, 1)", [] { return IO_FluoPPSValue(1, 1); }, "FLS+", 150, "FLS", 150},
        {"IO_FluoMAGValue(false, 2)", [] { return IO_FluoMAGValue(0, 2); }, "FLZ2", 2, "FLZ", 2},
        {"IO_FluoMAGValue(false, 255)", [] { return IO_FluoMAGValue(0, 255); }, "FLZ\xFE", 2, "FLZ", 2},
        {"IO_FluoSelectMode(false, 2)", [] { return IO_FluoSelectMode(0, 2); }, "FLF2", 2, "FLF", 2},
        {"IO_FluoSelectDose(false, 1)", [] { return IO_FluoSelectDose(0, 1); }, "FLD1", 1, "FLD", 1},
        {"IO_FluoSelectABS(false, 0)", [] { return IO_FluoSelectABS(0, 0); }, "FLA0", 0, "FLA", 0},
        {"IO_FluoFPPValue(false, 12)", [] { return IO_FluoFPPValue(0, 12); }, "FPP012", 12, "FPP", 12},
        {"IO_FluoGetIntTimer(true)", [] { return IO_FluoGetIntTimer(1); }, "FLI?", 123},
        {"IO_FluoTimerReset(0)", [] { return IO_FluoTimerReset(0); }, "FLR0", 0, "FLI", 0},
        {"IO_FluoGetAccTimer(true)", [] { return IO_FluoGetAccTimer(1); }, "FLT?", 0},
        {"IO_GetSTValue()", [] { return IO_GetSTValue(); }, "ST", 2},
        {"IO_GetGenKW()", [] { return IO_GetGenKW(); }, "KW", 50},
        {"IO_GetGenConfig()", [] { return IO_GetGenConfig(); }, "GC", 6},
        {"IO_GetHousingTubeHeat()", [] { return IO_GetHousingTubeHeat(); }, "HH?", 12},
        {"IO_SetAnodeHeatOver(false, 1)", [] { return IO_SetAnodeHeatOver(0, 1); }, "HO1", 1, "HO", 1},
        {"IO_GetSerialExposureCount()", [] { return IO_GetSerialExposureCount(); }, "SEC?", 77},
        {"IO_GetAECExposureTime()", [] { return IO_GetAECExposureTime(); }, "AET?", 210},
        {"IO_SetVersion(false, 12)", [] { return IO_SetVersion(0, 12); }, "VE<", 12, "VE", 12},
        {"IO_SetVersion(true, 0)", [] { return IO_SetVersion(1, 0); }, "VE?", 12},
        {"IO_SetProgramMode(false, 1)", [] { return IO_SetProgramMode(0, 1); }, "GM1", 1, "GM", 1},
        {"IO_SetProgramMode(false, 0)", [] { return IO_SetProgramMode(0, 0); }, "GM0", 0, "GM", 0},
        {"IO_CalibSetTube(false, 2)", [] { return IO_CalibSetTube(0, 2); }, "TB1", 2, "TB", 1},
        {"IO_CalibSetTube(true, 0)", [] { return IO_CalibSetTube(1, 0); }, "TB?", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        const auto mark = m_sim->logMark();
        EXPECT_EQ(c.run(), c.result);
        EXPECT_EQ(commandsSince(mark), std::vector<std::string>{c.sent});
        if (c.simValue) {
            EXPECT_EQ(m_sim->value(c.simValue), c.simExpected);
        }
    }
    EXPECT_EQ(traceCount("UI sent command            :  SPABS080"), 1u);
}

TEST_F(Operator, CalibrationEntryAndReadBack) {
    ASSERT_EQ(IO_SetDllMode(2), 1);
    const auto mark = m_sim->logMark();
    EXPECT_EQ(IO_CalibSetMode(0, 1), 1);
    EXPECT_EQ(m_sim->value("CA"), 1);

    // The generator enters calibration: the library answers "CA2" and tells the host.
    const std::size_t before = notices().size();
    m_sim->sendMessage("CA2");
    EXPECT_TRUE(m_sim->waitForCommand("CA2", 3000ms, mark));
    EXPECT_GE(waitNotice(7, 2, 3000ms, before), 0);
    EXPECT_EQ(m_link->m_pData->calibMode, 1);

    // The read-back: one command, one message with the four items.
    ASSERT_TRUE(m_sim->setValue("MC", 123));
    ASSERT_TRUE(m_sim->setValue("FC", 250));
    const std::size_t beforeReadBack = notices().size();
    EXPECT_EQ(IO_CalibGetParameters(), 0);
    EXPECT_EQ(m_sim->countCommand("MC? FC? KV? MS?"), 1u);
    EXPECT_EQ(IO_CalibGetMA(), 123);
    EXPECT_FLOAT_EQ(GSIGetTubeCalibFilamentCurrent(), 0.25f);
    EXPECT_GE(waitNotice(1, 1, 3000ms, beforeReadBack), 0);

    // Leaving calibration makes the generator ready at once.
    m_link->m_nGenState = 5;
    EXPECT_EQ(IO_CalibSetMode(0, 0), 0);
    EXPECT_EQ(m_link->m_nGenState, 2);
    int phase = -1;
    m_link->m_WorkFlags.bCommOk = 1;
    EXPECT_EQ(IO_GetGenPhase(&phase), 1);
    EXPECT_EQ(phase, 2);
}

TEST_F(Operator, ConfigurationLearntAtStartUp) {
    // The simulator's auxiliaries 1..4 are enabled with AEC channels 1, 2, 0, 3; its AEC
    // channels have film speeds 1, 2, 4, 1 and fields 1, 2, 4, 7.
    int pairs[10] = {};
    ASSERT_EQ(IO_GetEnabledAuxiliary(pairs), 1);
    EXPECT_EQ(std::vector<int>(pairs, pairs + 10), (std::vector<int>{0, 1, 1, 1, 2, 1, 3, 1, 4, 0}));
    int out = -7;
    EXPECT_EQ(IO_GetAuxiliaryAECEnabledInformation(2, &out), 1);
    EXPECT_EQ(out, 0);
    EXPECT_EQ(IO_GetAuxiliaryAECEnabledInformation(3, &out), 1);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(IO_GetAuxiliaryAECEnabledInformation(4, &out), 0);
    EXPECT_EQ(IO_GetAECFilmSpeedConfig(3, &out), 1);
    EXPECT_EQ(out, 4);
    EXPECT_EQ(IO_GetAECFieldConfig(1, &out), 1);
    EXPECT_EQ(out, 2);
    EXPECT_EQ(IO_GetAECFieldConfig(2, &out), 0);

    EXPECT_STREQ(IO_GetGenCPUVersion().text, "4.2.7");
    // The heat limits of tube 1: bytes 19 and 20 of the Tube Select packet.
    std::uint32_t items[2] = {};
    KestroUIntArray heat{items, 0, 2};
    EXPECT_EQ(IO_GetAnodeHeat(&heat), 1);
    EXPECT_EQ(heat.count, 2);
    EXPECT_EQ(items[0], 80u);
    EXPECT_EQ(items[1], 95u);
    // Too small an array is not written; its count tells the size needed.
    std::uint32_t one[1] = {7};
    KestroUIntArray small{one, 0, 1};
    EXPECT_EQ(IO_GetAnodeHeat(&small), 0);
    EXPECT_EQ(small.count, 2);
    EXPECT_EQ(one[0], 7u);
    // The compatibility record stays empty: no dose-rate selection, nothing sent.
    const auto mark = m_sim->logMark();
    EXPECT_EQ(IO_FluoSelectDoseRate(0, 1), 100);
    EXPECT_TRUE(commandsSince(mark).empty());
}

TEST_F(Operator, QueuedDdcIsSentByTheWorker) {
    EXPECT_EQ(IO_SendAECDDC(42), 1);
    EXPECT_TRUE(m_sim->waitForCommand("DDC0042", 10000ms));
    EXPECT_EQ(m_sim->value("DDC"), 42);
    EXPECT_TRUE(waitUntil([&] { return m_link->m_bSendDDC.load() == 0; }, 2000ms));

    // Out of range: taken off the queue, never sent.
    const auto mark = m_sim->logMark();
    EXPECT_EQ(IO_SendAECDDC(9000), 1);
    EXPECT_TRUE(waitUntil([&] { return m_link->m_bSendDDC.load() == 0; }, 5000ms));
    EXPECT_EQ(m_sim->countCommand("DDC9000"), 0u);
    for (const std::string& text : commandsSince(mark)) EXPECT_NE(text.rfind("DDC", 0), 0u) << text;
}

TEST_F(Operator, StateGateAndSilence) {
    m_sim->setState(4);
    EXPECT_EQ(IO_GetSTValue(), 4);
    auto mark = m_sim->logMark();
    EXPECT_EQ(IO_RadMAValue(1, 0), -1);
    EXPECT_TRUE(commandsSince(mark).empty());
    int phase = -1;
    EXPECT_EQ(IO_GetGenPhase(&phase), 1);  // state 4 is reported without asking
    EXPECT_EQ(phase, 4);
    m_sim->setState(2);
    EXPECT_EQ(IO_GetSTValue(), 2);

    ASSERT_TRUE(m_sim->setFault("silence", true));
    mark = m_sim->logMark();
    EXPECT_EQ(IO_GetGenKW(), -1);
    EXPECT_EQ(IO_RadAECDens(1, 0), -10);
    EXPECT_EQ(commandsSince(mark), (std::vector<std::string>{"KW", "KW", "FN?", "FN?"}));
}

}  // namespace
}  // namespace kestro::itest
