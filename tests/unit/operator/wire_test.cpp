// What each operator export puts on the wire and what it returns once the generator
// answered; what it returns when the generator stays silent; and the generator-state
// gate seen through the exports.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "operator_fixture.h"

namespace kestro::test {
namespace {

using Hook = std::function<void(CCommProtocol&, GeneratorData&)>;

struct WireCase {
    const char* call;
    std::function<int()> run;
    std::vector<std::string> sent;     // command texts expected on the wire, in order
    std::vector<std::string> replies;  // the generator's answer to the first of them
    int result;
    Hook before = {};
    Hook after = {};
};

int out = 0;  // out-parameter of the service calls in the tables

class Wire : public OperatorTest {
protected:
    void run(const std::vector<WireCase>& cases) {
        for (const WireCase& c : cases) {
            SCOPED_TRACE(c.call);
            link->m_nGenState = 0;
            link->m_bFluoroExposing = 0;
            link->gen_CompInfo.ABSDoseRate = 0;
            data->bDemo = 0;
            steps::chooseMaTable(0);
            out = -99;
            if (c.before) c.before(*link, *data);
            if (c.sent.empty())
                silence();
            else
                answer(c.sent.front(), c.replies);
            port.clearFrames();
            EXPECT_EQ(c.run(), c.result);
            std::vector<std::string> expected;
            for (const std::string& text : c.sent) expected.push_back(commandFrame(text));
            EXPECT_EQ(port.frames(), expected);
            if (c.after) c.after(*link, *data);
        }
    }
};

Hook stored(LiveInt GeneratorData::*field, int value) {
    return [=](CCommProtocol&, GeneratorData& d) { d.*field = value; };
}
Hook expectStored(LiveInt GeneratorData::*field, int value) {
    return [=](CCommProtocol&, GeneratorData& d) { EXPECT_EQ(d.*field, value); };
}
Hook expectOut(int value) {
    return [=](CCommProtocol&, GeneratorData&) { EXPECT_EQ(out, value); };
}

using GD = GeneratorData;

TEST_F(Wire, RadiographyCommandsAndResults) {
    run({
        {"IO_RadKVValue(false, 80)", [] { return IO_RadKVValue(0, 80); }, {"KV080"}, {"KV080"}, 80},
        {"IO_RadKVValue(false, 1234)", [] { return IO_RadKVValue(0, 1234); }, {"KV234"}, {"KV150"}, 150},
        {"IO_RadKVValue(true, 0)", [] { return IO_RadKVValue(1, 0); }, {"KV?"}, {"KV075"}, 75},
        {"IO_RadKVValue(true, -2)", [] { return IO_RadKVValue(1, -2); }, {"KV--"}, {"KV070"}, 70},
        {"IO_RadKVValue(true, -1)", [] { return IO_RadKVValue(1, -1); }, {"KV-"}, {"KV069"}, 69},
        {"IO_RadKVValue(true, 1)", [] { return IO_RadKVValue(1, 1); }, {"KV+"}, {"KV070"}, 70},
        {"IO_RadKVValue(true, 2)", [] { return IO_RadKVValue(1, 2); }, {"KV++"}, {"KV075"}, 75},
        {"IO_RadKVValue(true, 3)", [] { return IO_RadKVValue(1, 3); }, {}, {}, 77, stored(&GD::radKV, 77)},
        {"IO_RadMAValue(false, 3200), variant 1", [] { return IO_RadMAValue(0, 3200); }, {"MA03200"}, {"MA03200"}, 3200,
         [](CCommProtocol&, GD&) { steps::chooseMaTable(1); }},
        {"IO_RadMAValue(false, 99999)", [] { return IO_RadMAValue(0, 99999); }, {"MA99999"}, {"MA10000"}, 10000},
        {"IO_RadMAValue(true, 1)", [] { return IO_RadMAValue(1, 1); }, {"MA+"}, {"MA00125"}, 125},
        {"IO_RadMAValue(true, -2)", [] { return IO_RadMAValue(1, -2); }, {"MA--"}, {"MA00100"}, 100},
        {"IO_RadMAValue(true, 7)", [] { return IO_RadMAValue(1, 7); }, {}, {}, 630, stored(&GD::radMA, 630)},
        {"IO_RadMSValue(false, 12)", [] { return IO_RadMSValue(0, 12); }, {"MS00012"}, {"MS00012"}, 12},
        {"IO_RadMSValue(true, 0)", [] { return IO_RadMSValue(1, 0); }, {"MS?"}, {"MS00630"}, 630},
        {"IO_RadMSValue(true, 2)", [] { return IO_RadMSValue(1, 2); }, {"MS++"}, {"MS01600"}, 1600},
        {"IO_RadMXValue(false, 8000)", [] { return IO_RadMXValue(0, 8000); }, {"MX08000"}, {"MX08000"}, 8000},
        {"IO_RadMXValue(true, -1)", [] { return IO_RadMXValue(1, -1); }, {"MX-"}, {"MX06300"}, 6300},
        {"IO_RadAECDens(false, 0)", [] { return IO_RadAECDens(0, 0); }, {"FN 0"}, {"FN 0"}, 0},
        {"IO_RadAECDens(false, -3)", [] { return IO_RadAECDens(0, -3); }, {"FN-3"}, {"FN-3"}, -3},
        {"IO_RadAECDens(false, 8)", [] { return IO_RadAECDens(0, 8); }, {"FN+8"}, {"FN+8"}, 8},
        {"IO_RadAECDens(true, 0)", [] { return IO_RadAECDens(1, 0); }, {"FN?"}, {"FN-2"}, -2},
        {"IO_RadAECDens(false, 9)", [] { return IO_RadAECDens(0, 9); }, {}, {}, -10},
        {"IO_RadAECDens(false, -9)", [] { return IO_RadAECDens(0, -9); }, {}, {}, -10},
        {"IO_RadAECDens(true, 4)", [] { return IO_RadAECDens(1, 4); }, {}, {}, 3, stored(&GD::aecDensity, 3)},
        {"IO_RadAECField(false, 5)", [] { return IO_RadAECField(0, 5); }, {"FI101"}, {"FI101"}, 5},
        {"IO_RadAECField(false, 0)", [] { return IO_RadAECField(0, 0); }, {"FI000"}, {"FI000"}, 0},
        {"IO_RadAECField(false, 8)", [] { return IO_RadAECField(0, 8); }, {}, {}, -1},
        {"IO_RadAECField(true, 0)", [] { return IO_RadAECField(1, 0); }, {"FI?"}, {"FI111"}, 7},
        {"IO_RadAECFilm(false, 3)", [] { return IO_RadAECFilm(0, 3); }, {"FS100"}, {"FS100"}, 4},
        {"IO_RadAECFilm(false, 2)", [] { return IO_RadAECFilm(0, 2); }, {"FS010"}, {"FS010"}, 2},
        {"IO_RadAECFilm(false, 1)", [] { return IO_RadAECFilm(0, 1); }, {"FS001"}, {"FS001"}, 1},
        {"IO_RadAECFilm(true, 0)", [] { return IO_RadAECFilm(1, 0); }, {"FS?"}, {"FS010"}, 2},
        {"IO_RadSelectTech(false, 2)", [] { return IO_RadSelectTech(0, 2); }, {"ET2"}, {"ET2"}, 2,
         [](CCommProtocol&, GD& d) {
             d.SettingsImage[image::kTechniqueRecord] = 7;
             d.statusByte0 = 1;
         },
         [](CCommProtocol&, GD& d) {
             EXPECT_EQ(d.SettingsImage[image::kTechniqueRecord], 0);
             EXPECT_EQ(d.statusByte0, 0);
         }},
        {"IO_RadSelectTech(false, 4)", [] { return IO_RadSelectTech(0, 4); }, {}, {}, -1},
        {"IO_RadSelectTech(true, 0)", [] { return IO_RadSelectTech(1, 0); }, {"ET?"}, {"ET1"}, 1,
         [](CCommProtocol&, GD& d) { d.SettingsImage[image::kTechniqueRecord] = 7; },
         [](CCommProtocol&, GD& d) { EXPECT_EQ(d.SettingsImage[image::kTechniqueRecord], 7); }},
        {"IO_RadSelectFocus(false, 1)", [] { return IO_RadSelectFocus(0, 1); }, {"FO1"}, {"FO1"}, 1},
        {"IO_RadSelectFocus(false, 2)", [] { return IO_RadSelectFocus(0, 2); }, {}, {}, -1},
        {"IO_RadSelectFocus(true, 0)", [] { return IO_RadSelectFocus(1, 0); }, {"FO?"}, {"FO0"}, 0},
        {"IO_RFSelectReceptor(false, 3)", [] { return IO_RFSelectReceptor(0, 3); }, {"WS3"}, {"WS3"}, 3},
        {"IO_RFSelectReceptor(false, 7)", [] { return IO_RFSelectReceptor(0, 7); }, {}, {}, -1},
        {"IO_RFSelectReceptor(false, 0)", [] { return IO_RFSelectReceptor(0, 0); }, {}, {}, -1},
        {"IO_RFSelectReceptor(true, 0)", [] { return IO_RFSelectReceptor(1, 0); }, {"WS?"}, {"WS5"}, 5},
        {"IO_SelectTomo(true, 5)", [] { return IO_SelectTomo(1, 5); }, {"TO?"}, {"TO1"}, 1},
        {"IO_SelectTomo(false, 7)", [] { return IO_SelectTomo(0, 7); }, {"TO1"}, {"TO1"}, 1},
        {"IO_SelectTomo(false, 0)", [] { return IO_SelectTomo(0, 0); }, {"TO0"}, {"TO0"}, 0},
        {"IO_LCCValue(true, 0)", [] { return IO_LCCValue(1, 0); }, {"LCC?"}, {"LCC00042"}, 42},
        {"IO_LCCValue(false, 123456)", [] { return IO_LCCValue(0, 123456); }, {"LCC23456"}, {"LCC23456"}, 23456},
        {"IO_LCCValue(true, 1)", [] { return IO_LCCValue(1, 1); }, {}, {}, 5, stored(&GD::lccValue, 5)},
        {"IO_RADPPS(true, 0)", [] { return IO_RADPPS(1, 0); }, {"RPS?"}, {"RPS008"}, 8},
        {"IO_RADPPS(false, 15)", [] { return IO_RADPPS(0, 15); }, {"RPS015"}, {"RPS015"}, 15},
        {"IO_RADPPS(true, 1)", [] { return IO_RADPPS(1, 1); }, {}, {}, 9, stored(&GD::radPPS, 9)},
        {"IO_RADPulTime(false, 60)", [] { return IO_RADPulTime(0, 60); }, {"RPT0060"}, {"RPT0060"}, 60},
        {"IO_RADPulTime(true, 0)", [] { return IO_RADPulTime(1, 0); }, {"RPT?"}, {"RPT1234"}, 1234},
        {"IO_SendAECPWP(42)", [] { return IO_SendAECPWP(42); }, {"PWP042"}, {"PWP042"}, 42},
        {"IO_SendAECPWP(101)", [] { return IO_SendAECPWP(101); }, {}, {}, -1},
        {"IO_SendAECPWP(-1)", [] { return IO_SendAECPWP(-1); }, {}, {}, -1},
        {"IO_SendABSKV(80)", [] { return IO_SendABSKV(80); }, {"SPABS080"}, {"SPABS080"}, 80},
        {"IO_SendABSKV(39)", [] { return IO_SendABSKV(39); }, {}, {}, -1},
        {"IO_SendABSKV(151)", [] { return IO_SendABSKV(151); }, {}, {}, -1},
        {"IO_SendAECDDC(9000): queued only", [] { return IO_SendAECDDC(9000); }, {}, {}, 1},
        {"IO_ChooseRadMATable(1)", [] { return IO_ChooseRadMATable(1); }, {}, {}, 1,
         {}, [](CCommProtocol&, GD&) { EXPECT_EQ(steps::activeMaVariant(), 1); }},
    });
}

TEST_F(Wire, FluoroscopyCommandsAndResults) {
    run({
        {"IO_FluoKVValue(false, 80)", [] { return IO_FluoKVValue(0, 80); }, {"FLK080"}, {"FLK080"}, 80},
        {"IO_FluoKVValue(true, 2)", [] { return IO_FluoKVValue(1, 2); }, {"FLK++"}, {"FLK085"}, 85},
        {"IO_FluoKVValue(true, -2)", [] { return IO_FluoKVValue(1, -2); }, {"FLK--"}, {"FLK080"}, 80},
        {"IO_FluoKVValue(true, -1)", [] { return IO_FluoKVValue(1, -1); }, {"FLK-"}, {"FLK079"}, 79},
        {"IO_FluoKVValue(true, 0)", [] { return IO_FluoKVValue(1, 0); }, {"FLK?"}, {"FLK079"}, 79},
        {"IO_FluoKVValue(true, 3)", [] { return IO_FluoKVValue(1, 3); }, {}, {}, 70, stored(&GD::fluoKV, 70)},
        {"IO_FluoMAValue(false, 150)", [] { return IO_FluoMAValue(0, 150); }, {"FLM150"}, {"FLM150"}, 150},
        {"IO_FluoMAValue(true, 1)", [] { return IO_FluoMAValue(1, 1); }, {"FLM+"}, {"FLM160"}, 160},
        {"IO_FluoPPSValue(false, 75)", [] { return IO_FluoPPSValue(0, 75); }, {"FLS075"}, {"FLS075"}, 75},
        {"IO_FluoPPSValue(true, 1)", [] { return IO_FluoPPSValue(1, 1); }, {"FLS+"}, {"FLS150"}, 150},
        {"IO_FluoPPSValue(true, -1)", [] { return IO_FluoPPSValue(1, -1); }, {"FLS-"}, {"FLS075"}, 75},
        {"IO_FluoPPSValue(true, 0)", [] { return IO_FluoPPSValue(1, 0); }, {"FLS?"}, {"FLS300"}, 300},
        {"IO_FluoPPSValue(true, 2)", [] { return IO_FluoPPSValue(1, 2); }, {}, {}, 30, stored(&GD::fluoPPS, 30)},
        {"IO_FluoMAGValue(false, 2)", [] { return IO_FluoMAGValue(0, 2); }, {"FLZ2"}, {"FLZ2"}, 2},
        {"IO_FluoMAGValue(false, 255)", [] { return IO_FluoMAGValue(0, 255); }, {"FLZ\xFE"}, {"FLZ0"}, 0},
        {"IO_FluoMAGValue(false, 7)", [] { return IO_FluoMAGValue(0, 7); }, {}, {}, -1},
        {"IO_FluoMAGValue(true, 0)", [] { return IO_FluoMAGValue(1, 0); }, {"FLZ?"}, {"FLZ3"}, 3},
        {"IO_FluoMAGValue(true, 1)", [] { return IO_FluoMAGValue(1, 1); }, {}, {}, 1, stored(&GD::fluoMag, 1)},
        {"IO_FluoSelectMode(false, 3)", [] { return IO_FluoSelectMode(0, 3); }, {"FLF3"}, {"FLF3"}, 3},
        {"IO_FluoSelectMode(false, 4)", [] { return IO_FluoSelectMode(0, 4); }, {}, {}, -1},
        {"IO_FluoSelectMode(true, 0)", [] { return IO_FluoSelectMode(1, 0); }, {"FLF?"}, {"FLF1"}, 1},
        {"IO_FluoSelectDose(false, 2)", [] { return IO_FluoSelectDose(0, 2); }, {"FLD2"}, {"FLD2"}, 2},
        {"IO_FluoSelectDose(false, 3)", [] { return IO_FluoSelectDose(0, 3); }, {}, {}, -1},
        {"IO_FluoSelectDoseRate(false, 1), no dose-rate feature", [] { return IO_FluoSelectDoseRate(0, 1); }, {}, {},
         100},
        {"IO_FluoSelectDoseRate(true, 0), no dose-rate feature", [] { return IO_FluoSelectDoseRate(1, 0); }, {}, {},
         100},
        {"IO_FluoSelectDoseRate(false, 1)", [] { return IO_FluoSelectDoseRate(0, 1); }, {"FDR1"}, {"FDR1"}, 1,
         [](CCommProtocol& l, GD&) { l.gen_CompInfo.ABSDoseRate = 1; }},
        {"IO_FluoSelectDoseRate(false, 3)", [] { return IO_FluoSelectDoseRate(0, 3); }, {}, {}, -1,
         [](CCommProtocol& l, GD&) { l.gen_CompInfo.ABSDoseRate = 1; }},
        {"IO_FluoSelectDoseRate(true, 0)", [] { return IO_FluoSelectDoseRate(1, 0); }, {"FDR?"}, {"FDR2"}, 2,
         [](CCommProtocol& l, GD&) { l.gen_CompInfo.ABSDoseRate = 1; }},
        {"IO_FluoSelectABS(false, 3)", [] { return IO_FluoSelectABS(0, 3); }, {"FLA3"}, {"FLA3"}, 3},
        {"IO_FluoSelectABS(false, 4)", [] { return IO_FluoSelectABS(0, 4); }, {}, {}, -1},
        {"IO_FluoFPPValue(false, 12)", [] { return IO_FluoFPPValue(0, 12); }, {"FPP012"}, {"FPP012"}, 12},
        {"IO_FluoFPPValue(true, 0)", [] { return IO_FluoFPPValue(1, 0); }, {"FPP?"}, {"FPP030"}, 30},
        {"IO_FluoGetIntTimer(true)", [] { return IO_FluoGetIntTimer(1); }, {"FLI?"}, {"FLI00123"}, 123},
        {"IO_FluoGetIntTimer(false)", [] { return IO_FluoGetIntTimer(0); }, {}, {}, 55, stored(&GD::fluoIntTimer, 55)},
        {"IO_FluoGetAccTimer(true)", [] { return IO_FluoGetAccTimer(1); }, {"FLT?"}, {"FLT04567"}, 4567},
        {"IO_FluoTimerReset(0)", [] { return IO_FluoTimerReset(0); }, {"FLR0"}, {"FLR0"}, 0},
        {"IO_FluoTimerReset(5)", [] { return IO_FluoTimerReset(5); }, {"FLR1"}, {"FLR1"}, 1},
        {"IO_FluoTimerReset(2), demonstration", [] { return IO_FluoTimerReset(2); }, {"FLR1"}, {"FLR2"}, 2,
         [](CCommProtocol&, GD& d) { d.bDemo = 1; }},
    });
}

TEST_F(Wire, StatusCommandsAndResults) {
    run({
        {"IO_GetSTValue()", [] { return IO_GetSTValue(); }, {"ST"}, {"ST003"}, 3},
        {"IO_GetGenKW()", [] { return IO_GetGenKW(); }, {"KW"}, {"KW050"}, 50},
        {"IO_GetGenConfig()", [] { return IO_GetGenConfig(); }, {"GC"}, {"GC006"}, 6},
        {"IO_GetHousingTubeHeat()", [] { return IO_GetHousingTubeHeat(); }, {"HH?"}, {"HH012"}, 12},
        {"IO_GetAnodeTubeHeat(true)", [] { return IO_GetAnodeTubeHeat(1); }, {"HE?"}, {"HE034"}, 34},
        {"IO_GetAnodeTubeHeat(false)", [] { return IO_GetAnodeTubeHeat(0); }, {}, {}, 21, stored(&GD::anodeHeat, 21)},
        {"IO_SetAnodeHeatOver(true, 0)", [] { return IO_SetAnodeHeatOver(1, 0); }, {"HO?"}, {"HO1"}, 1},
        {"IO_SetAnodeHeatOver(false, 5)", [] { return IO_SetAnodeHeatOver(0, 5); }, {"HO1"}, {"HO1"}, 1},
        {"IO_SetAnodeHeatOver(false, 0)", [] { return IO_SetAnodeHeatOver(0, 0); }, {"HO0"}, {"HO0"}, 0},
        {"IO_GetSerialExposureCount()", [] { return IO_GetSerialExposureCount(); }, {"SEC?"}, {"SEC00100"}, 100},
        {"IO_GetAECExposureTime()", [] { return IO_GetAECExposureTime(); }, {"AET?"}, {"AET00200"}, 200},
        {"IO_GetPostMASValue()", [] { return IO_GetPostMASValue(); }, {}, {}, 321, stored(&GD::postMAS, 321)},
        {"IO_GetPostTIMEValue()", [] { return IO_GetPostTIMEValue(); }, {}, {}, 654, stored(&GD::postTime, 654)},
        {"IO_GetCurrentTube(), tube 0", [] { return IO_GetCurrentTube(); }, {}, {}, 1, stored(&GD::currentTube, 0)},
        {"IO_SetVersion(false, 12)", [] { return IO_SetVersion(0, 12); }, {"VE<"}, {"VE<"}, 12},
        {"IO_SetVersion(true, 0)", [] { return IO_SetVersion(1, 0); }, {"VE?"}, {"VE3"}, 3},
        {"IO_SetVersion(true, 0), demonstration", [] { return IO_SetVersion(1, 0); }, {"VE?"}, {"VE4"}, 4,
         [](CCommProtocol&, GD& d) { d.bDemo = 1; }},
        {"IO_SetVersion(true, 5)", [] { return IO_SetVersion(1, 5); }, {}, {}, 4, stored(&GD::cpuVersion, 4)},
        {"IO_SetVersion(false, 101)", [] { return IO_SetVersion(0, 101); }, {}, {}, -1},
        {"IO_SendUnrestrictedCommand(\"XY1\", 3)", [] { return IO_SendUnrestrictedCommand("XY1", 3); }, {"XY1"}, {}, 1},
        {"IO_SendUnrestrictedCommand(\"ABCDEF\", 2)", [] { return IO_SendUnrestrictedCommand("ABCDEF", 2); }, {"AB"}, {},
         1},
        {"IO_SendUnrestrictedCommand(\"KV?\", 3), state 3: refused, still 1",
         [] { return IO_SendUnrestrictedCommand("KV?", 3); }, {}, {}, 1,
         [](CCommProtocol& l, GD&) { l.m_nGenState = 3; }},
        {"IO_SendUnrestrictedCommand(null, 3)", [] { return IO_SendUnrestrictedCommand(nullptr, 3); }, {}, {}, 0},
        {"IO_GetGenPhase, state 10", [] { return IO_GetGenPhase(&out); }, {}, {}, 1,
         [](CCommProtocol& l, GD&) { l.m_WorkFlags.bCommOk = 1;
             l.m_nGenState = 10; }, expectOut(10)},
        {"IO_GetGenPhase, state 0", [] { return IO_GetGenPhase(&out); }, {"ST"}, {"ST005"}, 1,
         [](CCommProtocol& l, GD&) { l.m_WorkFlags.bCommOk = 1; }, expectOut(14)},
        {"IO_GetGenPhase, communication down", [] { return IO_GetGenPhase(&out); }, {}, {}, 0,
         [](CCommProtocol& l, GD&) { l.m_WorkFlags.bCommOk = 0;
             l.m_nGenState = 10; }, expectOut(-99)},
    });
}

TEST_F(Wire, CalibrationCommandsAndResults) {
    run({
        {"IO_SetProgramMode(true, 7)", [] { return IO_SetProgramMode(1, 7); }, {"GM?"}, {"GM1"}, 1},
        {"IO_SetProgramMode(false, 2)", [] { return IO_SetProgramMode(0, 2); }, {"GM2"}, {"GM2"}, 2},
        {"IO_SetProgramMode(false, 4)", [] { return IO_SetProgramMode(0, 4); }, {}, {}, -1},
        {"IO_CalibSetTube(false, 2)", [] { return IO_CalibSetTube(0, 2); }, {"TB1"}, {"TB1"}, 2},
        {"IO_CalibSetTube(false, 1)", [] { return IO_CalibSetTube(0, 1); }, {"TB0"}, {"TB0"}, 1},
        {"IO_CalibSetTube(false, 3)", [] { return IO_CalibSetTube(0, 3); }, {}, {}, -1},
        {"IO_CalibSetTube(true, 9)", [] { return IO_CalibSetTube(1, 9); }, {"TB?"}, {"TB2"}, 3},
        {"IO_CalibSetMode(false, 0)", [] { return IO_CalibSetMode(0, 0); }, {"CA0"}, {"CA0"}, 0,
         [](CCommProtocol& l, GD&) { l.m_nGenState = 0; },
         [](CCommProtocol& l, GD&) { EXPECT_EQ(l.m_nGenState, 2); }},
        {"IO_CalibSetMode(false, 4)", [] { return IO_CalibSetMode(0, 4); }, {"CA4"}, {"CA4"}, 1, {},
         [](CCommProtocol& l, GD&) { EXPECT_EQ(l.m_nGenState, 0); }},
        {"IO_CalibSetMode(false, 2)", [] { return IO_CalibSetMode(0, 2); }, {}, {}, -1},
        {"IO_CalibSetMode(true, 5)", [] { return IO_CalibSetMode(1, 5); }, {"CA?"}, {"CA1"}, 1},
        {"IO_CalibGetParameters()", [] { return IO_CalibGetParameters(); }, {"MC? FC? KV? MS?"},
         {"MC00123 FC00250 KV080 MS00100"}, 0, {},
         [](CCommProtocol&, GD& d) {
             EXPECT_EQ(d.calibMA, 123);
             EXPECT_EQ(d.calibFilament, 250);
             EXPECT_EQ(d.radKV, 80);
             EXPECT_EQ(d.radMS, 100);
             EXPECT_EQ(IO_CalibGetMA(), 123);
             EXPECT_EQ(IO_CalibGetFilament(), 250);
             EXPECT_EQ(IO_CalibGetKV(), 80);
             EXPECT_EQ(GSIGetTubeCalibKV(), 80);
         }},
        {"GSISetProgramMode()", [] { return GSISetProgramMode(); }, {"GM1"}, {"GM1"}, 1},
        {"GSISetOperationMode()", [] { return GSISetOperationMode(); }, {"GM0"}, {"GM0"}, 1},
        {"GSISetTubeCalibrationMode(3)", [] { return GSISetTubeCalibrationMode(3, &out); }, {"CA3"}, {"CA3"}, 1, {},
         expectOut(3)},
        {"GSISetTubeCalibrationMode(2)", [] { return GSISetTubeCalibrationMode(2, &out); }, {}, {}, 0, {},
         expectOut(-99)},
        {"GSISetTubeCalibrationMode(5)", [] { return GSISetTubeCalibrationMode(5, &out); }, {}, {}, 0, {},
         expectOut(-99)},
        {"GSISetTubeCalibratiobTube(1)", [] { return GSISetTubeCalibratiobTube(1, &out); }, {"TB1"}, {"TB1"}, 1, {},
         expectOut(1)},
        {"GSISetTubeCalibratiobTube(0)", [] { return GSISetTubeCalibratiobTube(0, &out); }, {"TB0"}, {"TB0"}, 1, {},
         expectOut(0)},
        {"GSISetTubeCalibratiobTube(0), generator reports tube 2", [] { return GSISetTubeCalibratiobTube(0, &out); },
         {"TB0"}, {"TB2"}, 0, {}, expectOut(-99)},
        {"GSISetTubeCalibratiobTube(5)", [] { return GSISetTubeCalibratiobTube(5, &out); }, {}, {}, 0, {},
         expectOut(-99)},
    });
}

// A frame is the command, ETX and the 8-bit sum of both.
TEST_F(Wire, FrameBytes) {
    answer("KV?", {"KV075"});
    EXPECT_EQ(IO_RadKVValue(1, 0), 75);
    EXPECT_EQ(port.frames(), std::vector<std::string>{std::string("KV?\x03\xE3", 5)});
}

// Silence: two attempts for GetCpuCommandData senders (one for the calibration
// read-back), then the failure value, with the stored value kept.
TEST_F(Wire, SilentGeneratorGivesTheFailureValues) {
    silence();
    const std::vector<WireCase> cases = {
        {"IO_RadKVValue(false, 80)", [] { return IO_RadKVValue(0, 80); }, {"KV080", "KV080"}, {}, -1,
         stored(&GD::radKV, 75), expectStored(&GD::radKV, 75)},
        {"IO_RadAECDens(true, 0)", [] { return IO_RadAECDens(1, 0); }, {"FN?", "FN?"}, {}, -10,
         stored(&GD::aecDensity, 2), expectStored(&GD::aecDensity, 2)},
        {"IO_RadSelectTech(false, 1)", [] { return IO_RadSelectTech(0, 1); }, {"ET1", "ET1"}, {}, -1,
         [](CCommProtocol&, GD& d) { d.SettingsImage[image::kTechniqueRecord] = 7; },
         [](CCommProtocol&, GD& d) { EXPECT_EQ(d.SettingsImage[image::kTechniqueRecord], 7); }},
        {"IO_FluoSelectMode(false, 2)", [] { return IO_FluoSelectMode(0, 2); }, {"FLF2", "FLF2"}, {}, -1},
        {"IO_FluoTimerReset(0)", [] { return IO_FluoTimerReset(0); }, {"FLR0", "FLR0"}, {}, -1},
        {"IO_GetGenKW()", [] { return IO_GetGenKW(); }, {"KW", "KW"}, {}, -1},
        {"IO_GetGenPhase, state 0", [] { return IO_GetGenPhase(&out); }, {"ST", "ST"}, {}, 0,
         [](CCommProtocol& l, GD&) { l.m_WorkFlags.bCommOk = 1; }, expectOut(-99)},
        {"IO_CalibSetMode(false, 0)", [] { return IO_CalibSetMode(0, 0); }, {"CA0", "CA0"}, {}, -1,
         [](CCommProtocol& l, GD&) { l.m_nGenState = 0; },
         [](CCommProtocol& l, GD&) { EXPECT_EQ(l.m_nGenState, 0); }},
        {"IO_CalibGetParameters()", [] { return IO_CalibGetParameters(); }, {"MC? FC? KV? MS?"}, {}, -1},
        {"GSISetTubeCalibratiobTube(1)", [] { return GSISetTubeCalibratiobTube(1, &out); }, {"TB1", "TB1"}, {}, 0,
         {}, expectOut(-99)},
        {"GSISetOperationMode()", [] { return GSISetOperationMode(); }, {"GM0", "GM0"}, {}, 0},
    };
    for (const WireCase& c : cases) {
        SCOPED_TRACE(c.call);
        link->m_nGenState = 0;
        out = -99;
        if (c.before) c.before(*link, *data);
        port.clearFrames();
        EXPECT_EQ(c.run(), c.result);
        EXPECT_EQ(port.commands(), c.sent);
        if (c.after) c.after(*link, *data);
    }
}

// The state gate: while the generator exposes (state 4) a mA query is not sent and the
// export fails after its polls; the status query passes the gate.
TEST_F(Wire, StateGateRefusesParameterCommandsDuringExposure) {
    link->m_nGenState = 4;
    data->radMA = 500;
    answer("MA?", {"MA00800"});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(IO_RadMAValue(1, 0), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_TRUE(port.frames().empty());
    EXPECT_EQ(data->radMA, 500);

    answer("ST", {"ST004"});
    EXPECT_EQ(IO_GetSTValue(), 4);
    EXPECT_EQ(port.commands(), std::vector<std::string>{"ST"});

    // A message of the waited kind that the generator sends by itself still satisfies
    // the refused request.
    port.clearFrames();
    port.setScript({});
    std::thread spontaneous([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        port.queueMessage("MA01000");
    });
    EXPECT_EQ(IO_RadMAValue(1, 0), 1000);
    spontaneous.join();
    EXPECT_TRUE(port.frames().empty());
}

// A mode or ABS change during a running fluoroscopy goes out in state 15, at least
// 100 ms after the call, and leaves the state at 14 while fluoroscopy runs on.
TEST_F(Wire, ModeAndAbsChangesPauseRunningFluoroscopy) {
    struct Case {
        const char* call;
        std::function<int()> run;
        const char* command;
        bool pauses;
    };
    const Case cases[] = {
        {"IO_FluoSelectMode(false, 2)", [] { return IO_FluoSelectMode(0, 2); }, "FLF2", true},
        {"IO_FluoSelectABS(false, 0)", [] { return IO_FluoSelectABS(0, 0); }, "FLA0", true},
        {"IO_FluoSelectDose(false, 1)", [] { return IO_FluoSelectDose(0, 1); }, "FLD1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        link->m_bFluoroExposing = 1;
        link->m_nGenState = 14;
        std::atomic<int> stateAtSend{-1};
        const std::string command = c.command;
        port.setScript([&, command](const std::string& text) {
            if (text != command) return std::vector<std::string>{};
            stateAtSend = link->m_nGenState.load();
            return std::vector<std::string>{command};
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(c.run(), c.command[3] - '0');
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(stateAtSend, c.pauses ? 15 : 14);
        EXPECT_EQ(link->m_nGenState, 14);
        if (c.pauses) {
            EXPECT_GE(took, std::chrono::milliseconds(100));
        }
    }
    // Fluoroscopy ended while the command was under way: the state is left as it is.
    link->m_bFluoroExposing = 1;
    link->m_nGenState = 14;
    port.setScript([this](const std::string& text) {
        link->m_bFluoroExposing = 0;
        return text == "FLF1" ? std::vector<std::string>{"FLF1"} : std::vector<std::string>{};
    });
    EXPECT_EQ(IO_FluoSelectMode(0, 1), 1);
    EXPECT_EQ(link->m_nGenState, 15);
}

}  // namespace
}  // namespace kestro::test
