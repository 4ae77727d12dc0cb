// The GI facade, one row per export: the wrapped call's bytes on the wire, the
// generator's answer, the result code, the out-parameter and the trace line of a
// refusal; then the same exports when the generator stays silent, in demonstration
// mode, and without an out-parameter.

#include <cmath>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "operator_fixture.h"

namespace kestro::test {
namespace {

int iout = 0;
float fout = 0;

struct FacadeCase {
    const char* call;
    std::function<int()> run;
    std::vector<std::string> sent;     // command texts on the wire, in order
    std::vector<std::string> replies;  // the generator's answer to the first
    int result;
    std::optional<double> out;  // expected iout or fout (whichever the call writes); nothing: untouched
    const char* trace = nullptr;  // the refusal's trace text
    std::function<void(CCommProtocol&, GeneratorData&)> before = {};
};

constexpr double kUntouched = -99;

class Facade : public OperatorTest {
protected:
    std::string trace() const { return TempHost::readFile(link->m_strTraceFileName); }

    void run(const std::vector<FacadeCase>& cases, bool floatOut) {
        for (const FacadeCase& c : cases) {
            SCOPED_TRACE(c.call);
            link->m_nGenState = 2;
            link->m_WorkFlags.bCommOk = 1;
            data->bDemo = 0;
            steps::chooseMaTable(0);
            iout = static_cast<int>(kUntouched);
            fout = static_cast<float>(kUntouched);
            if (c.before) c.before(*link, *data);
            if (c.sent.empty()) silence();
            else answer(c.sent.front(), c.replies);
            port.clearFrames();
            const std::string before = trace();

            EXPECT_EQ(c.run(), c.result);

            std::vector<std::string> expected;
            for (const std::string& text : c.sent) expected.push_back(commandFrame(text));
            EXPECT_EQ(port.frames(), expected);
            const double got = floatOut ? static_cast<double>(fout) : iout;
            EXPECT_NEAR(got, c.out.value_or(kUntouched), 1e-4);
            const std::string added = trace().substr(before.size());
            if (c.trace) EXPECT_NE(added.find(std::string("   ") + c.trace + " \r\n"), std::string::npos) << added;
            else EXPECT_EQ(added.find("invalid"), std::string::npos) << added;
        }
    }
};

TEST_F(Facade, KvAndAecDensityAndStatusValues) {
    run({
        {"GIGetKV", [] { return GIGetKV(&iout); }, {"KV?"}, {"KV075"}, 1, 75},
        {"GIIncreaseKVOneStep", [] { return GIIncreaseKVOneStep(&iout); }, {"KV+"}, {"KV076"}, 1, 76},
        {"GIDecreaseKVOneStep", [] { return GIDecreaseKVOneStep(&iout); }, {"KV-"}, {"KV074"}, 1, 74},
        {"GIIncreaseKVFiveSteps", [] { return GIIncreaseKVFiveSteps(&iout); }, {"KV++"}, {"KV080"}, 1, 80},
        {"GIDecreaseKVFiveSteps", [] { return GIDecreaseKVFiveSteps(&iout); }, {"KV--"}, {"KV070"}, 1, 70},
        {"GIGetKV silent", [] { return GIGetKV(&iout); }, {"KV?", "KV?"}, {}, 0, {}},
        {"GISetKV(150)", [] { return GISetKV(150, &iout); }, {"KV150"}, {"KV150"}, 0, 150},
        {"GISetKV(40)", [] { return GISetKV(40, &iout); }, {"KV040"}, {"KV040"}, 0, 40},
        {"GISetKV(151)", [] { return GISetKV(151, &iout); }, {}, {}, 2, {}, "kv(151)is invalid, call GISetKV() failed"},
        {"GISetKV(39)", [] { return GISetKV(39, &iout); }, {}, {}, 2, {}, "kv(39)is invalid, call GISetKV() failed"},
        {"GISetKV silent", [] { return GISetKV(80, &iout); }, {"KV080", "KV080"}, {}, 1, {}},
        {"GIGetAECDensity", [] { return GIGetAECDensity(&iout); }, {"FN?"}, {"FN-3"}, 1, -3},
        {"GIGetAECDensity silent", [] { return GIGetAECDensity(&iout); }, {"FN?", "FN?"}, {}, 0, {}},
        {"GISetAECDensity(8)", [] { return GISetAECDensity(8, &iout); }, {"FN+8"}, {"FN+8"}, 0, 8},
        {"GISetAECDensity(-9)", [] { return GISetAECDensity(-9, &iout); }, {}, {}, 2, {},
         "AECDensity(-9)is invalid, call GISetAECDensity() failed"},
        {"GISetAECDensity silent", [] { return GISetAECDensity(0, &iout); }, {"FN 0", "FN 0"}, {}, 1, {}},
        {"GIGetAECExpectedExposureTime", [] { return GIGetAECExpectedExposureTime(&iout); }, {"AET?"}, {"AET00200"}, 1,
         200},
        {"GIGetGenMaxKW", [] { return GIGetGenMaxKW(&iout); }, {"KW"}, {"KW064"}, 1, 64},
        {"GIGetGenMaxKW silent", [] { return GIGetGenMaxKW(&iout); }, {"KW", "KW"}, {}, 0, {}},
        {"GIGetTubeHeatPercent: stored, no query", [] { return GIGetTubeHeatPercent(&iout); }, {}, {}, 1, 37,
         nullptr, [](CCommProtocol&, GeneratorData& d) { d.anodeHeat = 37; }},
    }, false);
}

TEST_F(Facade, MaMsMasInRealUnits) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    run({
        {"GIGetMA", [] { return GIGetMA(&fout); }, {"MA?"}, {"MA03200"}, 1, 320.0},
        {"GIIncreaseMAOneStep", [] { return GIIncreaseMAOneStep(&fout); }, {"MA+"}, {"MA00125"}, 1, 12.5},
        {"GIDecreaseMAOneStep", [] { return GIDecreaseMAOneStep(&fout); }, {"MA-"}, {"MA00100"}, 1, 10.0},
        {"GIIncreaseMAFiveSteps", [] { return GIIncreaseMAFiveSteps(&fout); }, {"MA++"}, {"MA00200"}, 1, 20.0},
        {"GIDecreaseMAFiveSteps", [] { return GIDecreaseMAFiveSteps(&fout); }, {"MA--"}, {"MA00100"}, 1, 10.0},
        {"GIGetMA silent", [] { return GIGetMA(&fout); }, {"MA?", "MA?"}, {}, 0, {}},
        {"GISetMA(32.0)", [] { return GISetMA(32.0f, &fout); }, {"MA00320"}, {"MA00320"}, 0, 32.0},
        {"GISetMA(320.0)", [] { return GISetMA(320.0f, &fout); }, {"MA03200"}, {"MA03200"}, 0, 320.0},
        {"GISetMA(33.0)", [] { return GISetMA(33.0f, &fout); }, {}, {}, 2, {}, "mA(33.00)is invalid, call GISetMA() failed"},
        {"GISetMA(NaN)", [nan] { return GISetMA(nan, &fout); }, {}, {}, 2, {}, "mA(nan)is invalid, call GISetMA() failed"},
        {"GISetMA(300.0) with table 1 active: checked against the standard table",
         [] { return GISetMA(300.0f, &fout); }, {}, {}, 2, {}, "mA(300.00)is invalid, call GISetMA() failed",
         [](CCommProtocol&, GeneratorData&) { steps::chooseMaTable(1); }},
        {"GISetMA(320.0) with table 1 active", [] { return GISetMA(320.0f, &fout); }, {"MA03200"}, {"MA03200"}, 0, 320.0,
         nullptr, [](CCommProtocol&, GeneratorData&) { steps::chooseMaTable(1); }},
        {"GISetMA silent", [] { return GISetMA(10.0f, &fout); }, {"MA00100", "MA00100"}, {}, 1, {}},
        {"GIGetMS 12 is 1.25", [] { return GIGetMS(&fout); }, {"MS?"}, {"MS00012"}, 1, 1.25},
        {"GIGetMS", [] { return GIGetMS(&fout); }, {"MS?"}, {"MS01000"}, 1, 100.0},
        {"GIIncreaseMSOneStep", [] { return GIIncreaseMSOneStep(&fout); }, {"MS+"}, {"MS00012"}, 1, 1.25},
        {"GIDecreaseMSOneStep", [] { return GIDecreaseMSOneStep(&fout); }, {"MS-"}, {"MS00010"}, 1, 1.0},
        {"GIIncreaseMSFiveSteps", [] { return GIIncreaseMSFiveSteps(&fout); }, {"MS++"}, {"MS00020"}, 1, 2.0},
        {"GIDecreaseMSFiveSteps", [] { return GIDecreaseMSFiveSteps(&fout); }, {"MS--"}, {"MS00063"}, 1, 6.3},
        {"GISetMS(1.25)", [] { return GISetMS(1.25f, &fout); }, {"MS00012"}, {"MS00012"}, 0, 1.25},
        {"GISetMS(6.3)", [] { return GISetMS(6.3f, &fout); }, {"MS00063"}, {"MS00063"}, 0, 6.3},
        {"GISetMS(1.5)", [] { return GISetMS(1.5f, &fout); }, {}, {}, 2, {}, "ms(1.50)is invalid, call GISetMS() failed"},
        {"GISetMS silent", [] { return GISetMS(100.0f, &fout); }, {"MS01000", "MS01000"}, {}, 1, {}},
        {"GIGetMAS", [] { return GIGetMAS(&fout); }, {"MX?"}, {"MX00100"}, 1, 10.0},
        {"GIIncreaseMASOneStep", [] { return GIIncreaseMASOneStep(&fout); }, {"MX+"}, {"MX00125"}, 1, 12.5},
        {"GIDecreaseMASOneStep", [] { return GIDecreaseMASOneStep(&fout); }, {"MX-"}, {"MX00080"}, 1, 8.0},
        {"GIIncreaseMASFiveSteps", [] { return GIIncreaseMASFiveSteps(&fout); }, {"MX++"}, {"MX00200"}, 1, 20.0},
        {"GIDecreaseMASFiveSteps", [] { return GIDecreaseMASFiveSteps(&fout); }, {"MX--"}, {"MX00050"}, 1, 5.0},
        {"GISetMAS(0.5)", [] { return GISetMAS(0.5f, &fout); }, {"MX00005"}, {"MX00005"}, 0, 0.5},
        {"GISetMAS(0.75)", [] { return GISetMAS(0.75f, &fout); }, {}, {}, 2, {}, "mAs(0.75)is invalid, call GISetMAS() failed"},
        {"GISetMAS silent", [] { return GISetMAS(10.0f, &fout); }, {"MX00100", "MX00100"}, {}, 1, {}},
    }, true);
}

TEST_F(Facade, SelectionsInTheHostsNumbering) {
    run({
        {"GIGetAECField 5", [] { return GIGetAECField(&iout); }, {"FI?"}, {"FI101"}, 1, 5},
        {"GIGetAECField 0 gives 2", [] { return GIGetAECField(&iout); }, {"FI?"}, {"FI000"}, 1, 2},
        {"GISetAECField(7)", [] { return GISetAECField(7, &iout); }, {"FI111"}, {"FI111"}, 1, 7},
        {"GISetAECField(9): not sent", [] { return GISetAECField(9, &iout); }, {}, {}, 0, {}},
        {"GIGetAECFilm film 4 gives 2", [] { return GIGetAECFilm(&iout); }, {"FS?"}, {"FS100"}, 1, 2},
        {"GIGetAECFilm film 2 gives 1", [] { return GIGetAECFilm(&iout); }, {"FS?"}, {"FS010"}, 1, 1},
        {"GISetAECFilm(0)", [] { return GISetAECFilm(0, &iout); }, {"FS001"}, {"FS001"}, 1, 0},
        {"GISetAECFilm(1)", [] { return GISetAECFilm(1, &iout); }, {"FS010"}, {"FS010"}, 1, 1},
        {"GISetAECFilm(2)", [] { return GISetAECFilm(2, &iout); }, {"FS100"}, {"FS100"}, 1, 2},
        {"GISetAECFilm(5) is film 1", [] { return GISetAECFilm(5, &iout); }, {"FS001"}, {"FS001"}, 1, 0},
        {"GIGetFocus", [] { return GIGetFocus(&iout); }, {"FO?"}, {"FO1"}, 1, 1},
        {"GISetFocus(0)", [] { return GISetFocus(0, &iout); }, {"FO0"}, {"FO0"}, 1, 0},
        {"GISetFocus(2): not sent", [] { return GISetFocus(2, &iout); }, {}, {}, 0, {}},
        {"GIGetTechnique", [] { return GIGetTechnique(&iout); }, {"ET?"}, {"ET3"}, 1, 3},
        {"GISetTechnique(1)", [] { return GISetTechnique(1, &iout); }, {"ET1"}, {"ET1"}, 1, 1},
        {"GIGetAuxiliary receptor 1 gives 0", [] { return GIGetAuxiliary(&iout); }, {"WS?"}, {"WS1"}, 1, 0},
        {"GIGetAuxiliary receptor 0 gives 1", [] { return GIGetAuxiliary(&iout); }, {"WS?"}, {"WS0"}, 1, 1},
        {"GISetAuxiliary(5)", [] { return GISetAuxiliary(5, &iout); }, {"WS6"}, {"WS6"}, 1, 5},
        {"GISetAuxiliary(6): not sent", [] { return GISetAuxiliary(6, &iout); }, {}, {}, 0, {}},
        {"GISetAuxiliary(INT_MAX): not sent", [] { return GISetAuxiliary(std::numeric_limits<int>::max(), &iout); }, {}, {}, 0, {}},
        {"GISetAuxiliary silent", [] { return GISetAuxiliary(0, &iout); }, {"WS1", "WS1"}, {}, 0, {}},
    }, false);
}

TEST_F(Facade, GeneratorPhaseAndAllowedOperation) {
    struct PhaseCase {
        int state;
        int phase;
        int allowed;
    };
    const PhaseCase cases[] = {{1, 1, 1},  {2, 2, 1},  {3, 3, 0},  {4, 5, 0},  {5, 8, 1},  {6, 8, 1},  {7, 8, 1},
                               {14, 8, 1}, {9, 10, 1}, {10, 4, 0}, {11, 6, 1}, {12, 9, 1}, {13, 7, 1}, {0, 11, 1},
                               {8, 11, 1}, {15, 11, 1}, {999, 11, 1}};
    link->m_WorkFlags.bCommOk = 1;
    for (const PhaseCase& c : cases) {
        SCOPED_TRACE(c.state);
        char reply[8];
        std::snprintf(reply, sizeof reply, "ST%03d", c.state);
        answer("ST", {reply});
        link->m_nGenState = 2;
        int phase = -99;
        EXPECT_EQ(GIGetGenPhase(&phase), 1);
        EXPECT_EQ(phase, c.phase);
        EXPECT_EQ(GICheckGenAllowOperation(), c.allowed);
    }
    // Not answering: no phase, and no operation allowed.
    silence();
    link->m_nGenState = 2;
    int phase = -99;
    EXPECT_EQ(GIGetGenPhase(&phase), 0);
    EXPECT_EQ(phase, -99);
    EXPECT_EQ(GICheckGenAllowOperation(), 0);
    link->m_WorkFlags.bCommOk = 0;
    EXPECT_EQ(GICheckGenAllowOperation(), 0);
}

TEST_F(Facade, PassThroughsOfTheConfigurationLearntAtStartUp) {
    {
        std::lock_guard<std::mutex> lock(link->m_TablesLock);
        link->m_AuxiliaryEnabled = {1, 0, 1, 1, 0};
        link->m_AuxiliaryAECChannel = {1, 0, 2, 0, 3};
        link->m_AECFilmSpeed = {1, 2, 4, 1};
        link->m_AECField = {3, 5, 7, 1};
    }
    int pairs[10] = {};
    ASSERT_EQ(GIGetAuxiliaryEnabledInformation(pairs), 1);
    EXPECT_EQ((std::vector<int>(pairs, pairs + 10)), (std::vector<int>{0, 1, 1, 0, 2, 1, 3, 1, 4, 0}));
    struct Row {
        const char* call;
        int (*run)(int, int*);
        int aux;
        int result;
        int out;
    };
    const Row rows[] = {
        {"GIGetAuxiliaryAECEnabledInformation", GIGetAuxiliaryAECEnabledInformation, 0, 1, 1},
        {"GIGetAuxiliaryAECEnabledInformation", GIGetAuxiliaryAECEnabledInformation, 3, 1, 0},
        {"GIGetAuxiliaryAECEnabledInformation (not enabled)", GIGetAuxiliaryAECEnabledInformation, 1, 0, -99},
        {"GIGetAuxiliaryAECEnabledInformation (no such)", GIGetAuxiliaryAECEnabledInformation, 7, 0, -99},
        {"GIGetAECFieldConfig", GIGetAECFieldConfig, 2, 1, 5},
        {"GIGetAECFieldConfig (no channel)", GIGetAECFieldConfig, 1, 0, -99},
        {"GIGetAECFilmSpeedConfig", GIGetAECFilmSpeedConfig, 4, 1, 4},
        {"GIGetAECFilmSpeedConfig", GIGetAECFilmSpeedConfig, 0, 1, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.call) + " " + std::to_string(r.aux));
        int out = -99;
        EXPECT_EQ(r.run(r.aux, &out), r.result);
        EXPECT_EQ(out, r.out);
    }
    EXPECT_TRUE(port.frames().empty());
}

TEST_F(Facade, PostExposureValues) {
    data->postMAS = 125;
    data->postTime = 12;
    EXPECT_FLOAT_EQ(GIGetPostMAS(), 12.5f);
    EXPECT_FLOAT_EQ(GIGetPostMS(), 1.2f);  // no 1.25 rule for the post-exposure time
    EXPECT_TRUE(port.frames().empty());
}

TEST_F(Facade, DemonstrationModeStoresWithoutTraffic) {
    data->bDemo = 1;
    int i = 0;
    float f = 0;
    EXPECT_EQ(GISetKV(90, &i), 0);
    EXPECT_EQ(i, 90);
    EXPECT_EQ(GISetMS(1.25f, &f), 0);
    EXPECT_FLOAT_EQ(f, 1.25f);
    EXPECT_EQ(data->radMS, 12);
    EXPECT_EQ(GISetMA(32.0f, &f), 0);
    EXPECT_FLOAT_EQ(f, 32.0f);
    EXPECT_EQ(data->radMA, 320);
    // A refusal in demo mode: result 2, and no trace line (host lines are not written).
    const std::string before = trace();
    EXPECT_EQ(GISetKV(200, &i), 2);
    EXPECT_EQ(trace(), before);
    // A selection setter does not validate: demo refuses with a notification and the
    // stored value comes back mapped.
    data->aecField = 3;
    EXPECT_EQ(GISetAECField(9, &i), 1);
    EXPECT_EQ(i, 3);
    EXPECT_TRUE(port.frames().empty());
}

TEST_F(Facade, NoOutParameterNoTraffic) {
    answer("KV?", {"KV075"});
    EXPECT_EQ(GIGetKV(nullptr), 0);
    EXPECT_EQ(GISetKV(80, nullptr), 1);
    EXPECT_EQ(GIGetMA(nullptr), 0);
    EXPECT_EQ(GISetMS(1.25f, nullptr), 1);
    EXPECT_EQ(GIGetAECField(nullptr), 0);
    EXPECT_EQ(GISetAuxiliary(1, nullptr), 0);
    EXPECT_EQ(GIGetGenPhase(nullptr), 0);
    EXPECT_EQ(GIGetCurrentWorkingTube(nullptr), 0);
    EXPECT_EQ(GIGetTubeHeatLimits(nullptr, nullptr), 0);
    EXPECT_TRUE(port.frames().empty());
}

}  // namespace
}  // namespace kestro::test
