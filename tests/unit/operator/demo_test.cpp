// Demonstration mode: no traffic; setters check their values, store what they accept
// and refuse the rest with an error code that reaches the host as an error (wParam 6,
// genErrorCode) or a log entry (wParam 5, genWarningCode).

#include <functional>
#include <initializer_list>
#include <utility>

#include "operator_fixture.h"

namespace kestro::test {
namespace {

using GD = GeneratorData;
using Field = LiveInt GeneratorData::*;

struct Preset {
    Field field;
    int value;
};

enum class Refusal { None, Error, LogEntry };

struct DemoCase {
    const char* call;
    std::vector<Preset> presets;
    std::function<int()> run;
    int result;
    Field field;  // the stored value after the call (nullptr: nothing to look at)
    int storedAfter;
    Refusal refusal = Refusal::None;
    int code = 0;
};

class Demo : public OperatorTest {
protected:
    void run(std::initializer_list<DemoCase> cases) {
        silence();
        for (const DemoCase& c : cases) {
            SCOPED_TRACE(c.call);
            data->bDemo = 1;
            data->fluoABS = 0;
            data->genErrorCode = -1;
            data->genWarningCode = -1;
            steps::chooseMaTable(0);
            notifications();
            for (const Preset& p : c.presets) data->*p.field = p.value;
            EXPECT_EQ(c.run(), c.result);
            if (c.field) {
                EXPECT_EQ(data->*c.field, c.storedAfter);
            }
            const auto posted = notifications();
            switch (c.refusal) {
                case Refusal::None:
                    EXPECT_TRUE(posted.empty());
                    EXPECT_EQ(data->genErrorCode, -1);
                    EXPECT_EQ(data->genWarningCode, -1);
                    break;
                case Refusal::Error:
                    EXPECT_EQ(posted, (std::vector<std::pair<std::uintptr_t, std::intptr_t>>{{6, c.code}}));
                    EXPECT_EQ(data->genErrorCode, c.code);
                    EXPECT_EQ(data->genWarningCode, -1);
                    break;
                case Refusal::LogEntry:
                    EXPECT_EQ(posted, (std::vector<std::pair<std::uintptr_t, std::intptr_t>>{{5, c.code}}));
                    EXPECT_EQ(data->genWarningCode, c.code);
                    EXPECT_EQ(data->genErrorCode, -1);
                    break;
            }
        }
        EXPECT_TRUE(port.frames().empty());
    }
};

constexpr Refusal Err = Refusal::Error;
constexpr Refusal Log = Refusal::LogEntry;

TEST_F(Demo, RadiographyKvRange) {
    const Field kv = &GD::radKV;
    run({
        {"absolute 80", {{kv, 75}}, [] { return IO_RadKVValue(0, 80); }, 80, kv, 80},
        {"absolute 151", {{kv, 75}}, [] { return IO_RadKVValue(0, 151); }, 75, kv, 75, Err, 203},
        {"absolute 39", {{kv, 75}}, [] { return IO_RadKVValue(0, 39); }, 75, kv, 75, Err, 203},
        {"150 up one", {{kv, 150}}, [] { return IO_RadKVValue(1, 1); }, 150, kv, 150, Err, 203},
        {"149 up one", {{kv, 149}}, [] { return IO_RadKVValue(1, 1); }, 150, kv, 150},
        {"40 down one", {{kv, 40}}, [] { return IO_RadKVValue(1, -1); }, 40, kv, 40, Err, 203},
        {"relative 2 keeps", {{kv, 75}}, [] { return IO_RadKVValue(1, 2); }, 75, kv, 75},
        {"relative 3 keeps", {{kv, 75}}, [] { return IO_RadKVValue(1, 3); }, 75, kv, 75},
        {"query of a stored kV out of range", {{kv, 160}}, [] { return IO_RadKVValue(1, 0); }, 160, kv, 160, Err,
         203},
    });
}

TEST_F(Demo, RadiographyStepLaddersAtBothEnds) {
    const Field ma = &GD::radMA, ms = &GD::radMS, mas = &GD::radMAS;
    run({
        {"mA 100 down", {{ma, 100}}, [] { return IO_RadMAValue(1, -1); }, 100, ma, 100, Err, 204},
        {"mA 100 up", {{ma, 100}}, [] { return IO_RadMAValue(1, 1); }, 125, ma, 125},
        {"mA 10000 up", {{ma, 10000}}, [] { return IO_RadMAValue(1, 1); }, 10000, ma, 10000, Err, 204},
        {"mA 8000 double step keeps", {{ma, 8000}}, [] { return IO_RadMAValue(1, 2); }, 8000, ma, 8000},
        {"mA 99 (no entry) up", {{ma, 99}}, [] { return IO_RadMAValue(1, 1); }, 100, ma, 100},
        {"mA 99 (no entry) double step", {{ma, 99}}, [] { return IO_RadMAValue(1, -2); }, 99, ma, 99, Err, 204},
        {"mA relative 0", {{ma, 500}}, [] { return IO_RadMAValue(1, 0); }, 500, ma, 500},
        {"mA relative 5", {{ma, 500}}, [] { return IO_RadMAValue(1, 5); }, 500, ma, 500},
        {"mA absolute 3200", {{ma, 500}}, [] { return IO_RadMAValue(0, 3200); }, 3200, ma, 3200},
        {"mA absolute 3000", {{ma, 500}}, [] { return IO_RadMAValue(0, 3000); }, 500, ma, 500, Log, 213},
        {"ms 12 down", {{ms, 12}}, [] { return IO_RadMSValue(1, -1); }, 10, ms, 10},
        {"ms 10 down", {{ms, 10}}, [] { return IO_RadMSValue(1, -1); }, 10, ms, 10, Err, 205},
        {"ms 63000 up", {{ms, 63000}}, [] { return IO_RadMSValue(1, 1); }, 63000, ms, 63000, Err, 205},
        {"ms absolute 63000", {{ms, 10}}, [] { return IO_RadMSValue(0, 63000); }, 63000, ms, 63000},
        {"ms absolute 11", {{ms, 10}}, [] { return IO_RadMSValue(0, 11); }, 10, ms, 10, Log, 213},
        {"mAs 8000 up", {{mas, 8000}}, [] { return IO_RadMXValue(1, 1); }, 10000, mas, 10000},
        {"mAs 10000 up", {{mas, 10000}}, [] { return IO_RadMXValue(1, 1); }, 10000, mas, 10000, Err, 206},
        {"mAs 5 down", {{mas, 5}}, [] { return IO_RadMXValue(1, -1); }, 5, mas, 5, Err, 206},
        {"mAs absolute 7", {{mas, 5}}, [] { return IO_RadMXValue(0, 7); }, 5, mas, 5, Log, 213},
    });
}

TEST_F(Demo, ActiveMaTableDecides) {
    const Field ma = &GD::radMA;
    ASSERT_EQ(IO_ChooseRadMATable(1), 1);
    auto variant1 = [](std::function<int()> call) {
        return [call] {
            steps::chooseMaTable(1);
            return call();
        };
    };
    run({
        {"variant 1, absolute 3200", {{ma, 500}}, variant1([] { return IO_RadMAValue(0, 3200); }), 500, ma, 500, Log,
         213},
        {"variant 1, absolute 3000", {{ma, 500}}, variant1([] { return IO_RadMAValue(0, 3000); }), 3000, ma, 3000},
        {"variant 1, 2500 up", {{ma, 2500}}, variant1([] { return IO_RadMAValue(1, 1); }), 3000, ma, 3000},
        {"variant 1, 6000 up", {{ma, 6000}}, variant1([] { return IO_RadMAValue(1, 1); }), 8000, ma, 8000},
    });
}

TEST_F(Demo, RadiographySelections) {
    run({
        {"density -8", {}, [] { return IO_RadAECDens(0, -8); }, -8, &GD::aecDensity, -8},
        {"density 9", {{&GD::aecDensity, 1}}, [] { return IO_RadAECDens(0, 9); }, 1, &GD::aecDensity, 1, Log, 212},
        {"density query", {{&GD::aecDensity, 1}}, [] { return IO_RadAECDens(1, 0); }, 1, &GD::aecDensity, 1},
        {"field 7", {}, [] { return IO_RadAECField(0, 7); }, 7, &GD::aecField, 7},
        {"field 8", {{&GD::aecField, 1}}, [] { return IO_RadAECField(0, 8); }, 1, &GD::aecField, 1, Log, 213},
        {"field -1", {{&GD::aecField, 1}}, [] { return IO_RadAECField(0, -1); }, 1, &GD::aecField, 1, Log, 213},
        {"film 4", {}, [] { return IO_RadAECFilm(0, 4); }, 4, &GD::aecFilm, 4},
        {"film 3", {{&GD::aecFilm, 1}}, [] { return IO_RadAECFilm(0, 3); }, 1, &GD::aecFilm, 1, Log, 213},
        {"technique 3", {}, [] { return IO_RadSelectTech(0, 3); }, 3, &GD::radTechnique, 3},
        {"technique 4", {{&GD::radTechnique, 0}}, [] { return IO_RadSelectTech(0, 4); }, 0, &GD::radTechnique, 0, Log,
         213},
        {"focus 1", {}, [] { return IO_RadSelectFocus(0, 1); }, 1, &GD::focus, 1},
        {"focus 2", {{&GD::focus, 0}}, [] { return IO_RadSelectFocus(0, 2); }, 0, &GD::focus, 0, Log, 213},
        {"receptor 7", {{&GD::receptor, 1}}, [] { return IO_RFSelectReceptor(0, 7); }, 1, &GD::receptor, 1, Log, 213},
        {"receptor 0", {{&GD::receptor, 1}}, [] { return IO_RFSelectReceptor(0, 0); }, 1, &GD::receptor, 1, Log, 213},
        {"tomography: nothing stored", {{&GD::bTomo, 0}}, [] { return IO_SelectTomo(0, 1); }, 0, &GD::bTomo, 0},
        {"LCC: nothing stored", {{&GD::lccValue, 3}}, [] { return IO_LCCValue(0, 5); }, 3, &GD::lccValue, 3},
        {"pulse rate: nothing stored", {{&GD::radPPS, 8}}, [] { return IO_RADPPS(0, 15); }, 8, &GD::radPPS, 8},
        {"pulse time: nothing stored", {{&GD::radPulseTime, 60}}, [] { return IO_RADPulTime(0, 70); }, 60,
         &GD::radPulseTime, 60},
        {"PWP 42", {{&GD::aecPWP, 0}}, [] { return IO_SendAECPWP(42); }, 42, &GD::aecPWP, 0},
        {"PWP 101", {}, [] { return IO_SendAECPWP(101); }, -1, nullptr, 0},
        {"ABS kV 80", {{&GD::absKV, 0}}, [] { return IO_SendABSKV(80); }, 80, &GD::absKV, 0},
        {"ABS kV 151", {}, [] { return IO_SendABSKV(151); }, -1, nullptr, 0},
        {"DDC 5", {}, [] { return IO_SendAECDDC(5); }, 1, nullptr, 0},
    });
    EXPECT_EQ(link->m_bSendDDC, 0);
}

TEST_F(Demo, ReceptorAlsoSetsTheAuxiliarySetupIndex) {
    silence();
    data->bDemo = 1;
    data->packet(6)[0] = 9;
    EXPECT_EQ(IO_RFSelectReceptor(0, 3), 3);
    EXPECT_EQ(data->packet(6)[0], 2);
    EXPECT_EQ(IO_RFSelectReceptor(0, 7), 3);
    EXPECT_EQ(data->packet(6)[0], 2);
}

TEST_F(Demo, FluoroscopyKvAndMaUnderAbs) {
    const Field kv = &GD::fluoKV, ma = &GD::fluoMA, abs = &GD::fluoABS;
    run({
        {"ABS 1, kV absolute", {{abs, 1}, {kv, 70}}, [] { return IO_FluoKVValue(0, 80); }, 70, kv, 70, Err, 49},
        {"ABS 2, kV step", {{abs, 2}, {kv, 70}}, [] { return IO_FluoKVValue(1, 1); }, 70, kv, 70, Err, 49},
        {"ABS 1, kV query before the ABS test", {{abs, 1}, {kv, 70}}, [] { return IO_FluoKVValue(1, 0); }, 70, kv, 70},
        {"ABS 1, kV relative 3", {{abs, 1}, {kv, 70}}, [] { return IO_FluoKVValue(1, 3); }, 70, kv, 70},
        {"ABS 3, kV absolute", {{abs, 3}, {kv, 70}}, [] { return IO_FluoKVValue(0, 80); }, 80, kv, 80},
        {"ABS 1, mA absolute", {{abs, 1}, {ma, 100}}, [] { return IO_FluoMAValue(0, 50); }, 100, ma, 100, Err, 49},
        {"ABS 2, mA step", {{abs, 2}, {ma, 100}}, [] { return IO_FluoMAValue(1, -1); }, 100, ma, 100, Err, 49},
        {"kV 125", {{kv, 70}}, [] { return IO_FluoKVValue(0, 125); }, 125, kv, 125},
        {"kV 126", {{kv, 70}}, [] { return IO_FluoKVValue(0, 126); }, 70, kv, 70, Err, 203},
        {"kV 40 down", {{kv, 40}}, [] { return IO_FluoKVValue(1, -1); }, 40, kv, 40, Err, 203},
        {"kV 130 double step", {{kv, 130}}, [] { return IO_FluoKVValue(1, 2); }, 130, kv, 130, Err, 203},
        {"mA 5", {{ma, 100}}, [] { return IO_FluoMAValue(0, 5); }, 5, ma, 5},
        {"mA 200", {{ma, 100}}, [] { return IO_FluoMAValue(0, 200); }, 200, ma, 200},
        {"mA 4", {{ma, 100}}, [] { return IO_FluoMAValue(0, 4); }, 100, ma, 100, Log, 204},
        {"mA 201", {{ma, 100}}, [] { return IO_FluoMAValue(0, 201); }, 100, ma, 100, Log, 204},
        {"mA 190 up", {{ma, 190}}, [] { return IO_FluoMAValue(1, 1); }, 200, ma, 200},
        {"mA 195 up", {{ma, 195}}, [] { return IO_FluoMAValue(1, 1); }, 195, ma, 195, Err, 204},
        {"mA 15 down", {{ma, 15}}, [] { return IO_FluoMAValue(1, -1); }, 5, ma, 5},
        {"mA 210 double step", {{ma, 210}}, [] { return IO_FluoMAValue(1, -2); }, 210, ma, 210, Err, 204},
    });
}

TEST_F(Demo, FluoroscopyPulseRateLadder) {
    const Field pps = &GD::fluoPPS;
    run({
        {"300 up", {{pps, 300}}, [] { return IO_FluoPPSValue(1, 1); }, 300, pps, 300, Err, 219},
        {"300 down", {{pps, 300}}, [] { return IO_FluoPPSValue(1, -1); }, 150, pps, 150},
        {"30 down", {{pps, 30}}, [] { return IO_FluoPPSValue(1, -1); }, 30, pps, 30, Err, 219},
        {"30 up", {{pps, 30}}, [] { return IO_FluoPPSValue(1, 1); }, 75, pps, 75},
        {"100 (no entry) up", {{pps, 100}}, [] { return IO_FluoPPSValue(1, 1); }, 30, pps, 30},
        {"100 (no entry) down", {{pps, 100}}, [] { return IO_FluoPPSValue(1, -1); }, 100, pps, 100, Err, 219},
        {"relative 2", {{pps, 75}}, [] { return IO_FluoPPSValue(1, 2); }, 75, pps, 75},
        {"absolute 150", {{pps, 75}}, [] { return IO_FluoPPSValue(0, 150); }, 150, pps, 150},
        {"absolute 100", {{pps, 75}}, [] { return IO_FluoPPSValue(0, 100); }, 75, pps, 75, Log, 213},
        {"ABS 1 does not matter", {{&GD::fluoABS, 1}, {pps, 75}}, [] { return IO_FluoPPSValue(1, 1); }, 150, pps, 150},
    });
}

TEST_F(Demo, FluoroscopySelectionsAndTimers) {
    run({
        {"magnification 2", {{&GD::fluoMag, 0}}, [] { return IO_FluoMAGValue(0, 2); }, 2, &GD::fluoMag, 2},
        {"magnification 7 ignored", {{&GD::fluoMag, 1}}, [] { return IO_FluoMAGValue(0, 7); }, 1, &GD::fluoMag, 1},
        {"magnification 255 ignored", {{&GD::fluoMag, 1}}, [] { return IO_FluoMAGValue(0, 255); }, 1, &GD::fluoMag, 1},
        {"mode 3", {}, [] { return IO_FluoSelectMode(0, 3); }, 3, &GD::fluoMode, 3},
        {"mode 4", {{&GD::fluoMode, 1}}, [] { return IO_FluoSelectMode(0, 4); }, 1, &GD::fluoMode, 1, Log, 213},
        {"mode query", {{&GD::fluoMode, 1}}, [] { return IO_FluoSelectMode(1, 0); }, 1, &GD::fluoMode, 1},
        {"dose 2", {}, [] { return IO_FluoSelectDose(0, 2); }, 2, &GD::fluoDose, 2},
        {"dose 3", {{&GD::fluoDose, 0}}, [] { return IO_FluoSelectDose(0, 3); }, 0, &GD::fluoDose, 0, Log, 213},
        {"dose rate 2", {}, [] { return IO_FluoSelectDoseRate(0, 2); }, 2, &GD::fluoDoseRate, 2},
        {"dose rate 3", {{&GD::fluoDoseRate, 0}}, [] { return IO_FluoSelectDoseRate(0, 3); }, 0, &GD::fluoDoseRate, 0,
         Log, 213},
        {"ABS 2", {}, [] { return IO_FluoSelectABS(0, 2); }, 2, &GD::fluoABS, 2},
        {"ABS 3", {}, [] { return IO_FluoSelectABS(0, 3); }, 0, &GD::fluoABS, 0, Log, 213},
        {"FPP: nothing stored", {{&GD::fluoFPP, 4}}, [] { return IO_FluoFPPValue(0, 9); }, 4, &GD::fluoFPP, 4},
        {"integrated timer", {{&GD::fluoIntTimer, 12}}, [] { return IO_FluoGetIntTimer(1); }, 12, &GD::fluoIntTimer,
         12},
        {"accumulated timer", {{&GD::fluoAccTimer, 34}}, [] { return IO_FluoGetAccTimer(1); }, 34, &GD::fluoAccTimer,
         34},
        {"reset 0", {{&GD::fluoIntTimer, 12}, {&GD::fluoAccTimer, 34}}, [] { return IO_FluoTimerReset(0); }, 0,
         &GD::fluoAccTimer, 34},
        {"reset 1", {{&GD::fluoIntTimer, 12}, {&GD::fluoAccTimer, 34}}, [] { return IO_FluoTimerReset(1); }, 0,
         &GD::fluoIntTimer, 12},
    });
    EXPECT_EQ(data->fluoAccTimer, 0);
}

TEST_F(Demo, StatusAndCalibrationReturnStoredValues) {
    run({
        {"status", {}, [this] { link->m_nGenState = 8; return IO_GetSTValue(); }, 8, nullptr, 0},
        {"power", {{&GD::genKW, 50}}, [] { return IO_GetGenKW(); }, 50, &GD::genKW, 50},
        {"configuration", {{&GD::genConfig, 6}}, [] { return IO_GetGenConfig(); }, 6, nullptr, 0},
        {"housing heat", {{&GD::housingHeat, 3}}, [] { return IO_GetHousingTubeHeat(); }, 3, nullptr, 0},
        {"anode heat", {{&GD::anodeHeat, 4}}, [] { return IO_GetAnodeTubeHeat(1); }, 4, nullptr, 0},
        {"heat over", {{&GD::anodeHeatOver, 0}}, [] { return IO_SetAnodeHeatOver(0, 1); }, 0, nullptr, 0},
        {"exposure count", {{&GD::serialExposureCount, 100}}, [] { return IO_GetSerialExposureCount(); }, 100,
         nullptr, 0},
        {"AEC time", {{&GD::aecExposureTime, 200}}, [] { return IO_GetAECExposureTime(); }, 200, nullptr, 0},
        {"program mode", {{&GD::programMode, 0}}, [] { return IO_SetProgramMode(0, 2); }, 0, nullptr, 0},
        {"calibration tube", {{&GD::calibTube, 0}}, [] { return IO_CalibSetTube(0, 2); }, 1, nullptr, 0},
        {"calibration mode", {{&GD::calibMode, 0}}, [] { return IO_CalibSetMode(0, 3); }, 0, nullptr, 0},
        {"calibration mode, unlisted value", {{&GD::calibMode, 0}}, [] { return IO_CalibSetMode(0, 2); }, 0, nullptr,
         0},
    });
}

}  // namespace
}  // namespace kestro::test
