// Facade exports that read data packets (the working tube, the heat limits), the
// step-table look-ups of the service interface, and the version texts.

#include <cstring>
#include <string>

#include "data/step_tables.h"
#include "link_fixture.h"
#include "platform/platform.h"

namespace kestro::test {
namespace {

using FacadePackets = LinkTest;

TEST_F(FacadePackets, CurrentWorkingTubeFromTheReceptorsAuxiliarySetup) {
    for (const int tubeByte : {2, 1, 0}) {
        SCOPED_TRACE(tubeByte);
        Bytes aux = patternData(6);
        aux[0] = 2;  // receptor 3
        aux[1] = static_cast<std::uint8_t>(tubeByte);
        replies[6] = aux;
        fake.setAnswer([this](const Bytes& frame) {
            if (frame == message("WS?")) return message("WS3");
            return standardAnswer(frame);
        });
        fake.clearFrames();
        int tube = -1;
        ASSERT_EQ(GIGetCurrentWorkingTube(&tube), 1);
        EXPECT_EQ(tube, tubeByte == 2 ? 1 : 0);
        const std::vector<Bytes> frames = sentFrames();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[1], (Bytes{0x01, 0x06, 0x00, 0x02, 0x01, 0x02}));
    }
    // No receptor answer, or no packet answer: 0 and the out-parameter untouched.
    int tube = -1;
    fake.setAnswer([](const Bytes&) { return Bytes{}; });
    EXPECT_EQ(GIGetCurrentWorkingTube(&tube), 0);
    fake.setAnswer([](const Bytes& frame) { return frame == message("WS?") ? message("WS2") : Bytes{}; });
    EXPECT_EQ(GIGetCurrentWorkingTube(&tube), 0);
    EXPECT_EQ(tube, -1);
}

TEST_F(FacadePackets, TubeHeatLimitsAreBytes19And20OfTubeSelect) {
    std::uint8_t* tubeSelect = link->m_pData->packet(4);
    tubeSelect[19] = 0xEE;
    tubeSelect[20] = 0xEE;
    int first = -1, second = -1;
    ASSERT_EQ(GIGetTubeHeatLimits(&first, &second), 1);
    ASSERT_EQ(sentFrames().size(), 1u);
    EXPECT_EQ(sentFrames()[0], (Bytes{0x01, 0x04, 0x00, 0x02, 0x01, 0x00}));
    EXPECT_NE(tubeSelect[19], 0xEE);  // refreshed from the reply
    EXPECT_EQ(first, tubeSelect[19]);
    EXPECT_EQ(second, tubeSelect[20]);

    fake.setAnswer([](const Bytes&) { return Bytes{}; });
    first = second = -1;
    EXPECT_EQ(GIGetTubeHeatLimits(&first, &second), 0);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(second, -1);
}

TEST(ServiceLookUps, StepTablesByIndex) {
    struct Case {
        const char* call;
        int (*lookUp)(int, float*);
        int index;
        int result;
        float value;
    };
    const Case cases[] = {
        {"mA 0", GSIGetRadMAValueFromTable, 0, 1, 10.0f},
        {"mA 20", GSIGetRadMAValueFromTable, 20, 1, 1000.0f},
        {"mA 15 is the standard table's", GSIGetRadMAValueFromTable, 15, 1, 320.0f},
        {"mA 21", GSIGetRadMAValueFromTable, 21, 0, 0},
        {"mA -1", GSIGetRadMAValueFromTable, -1, 0, 0},
        {"ms 0", GSIGetRadMSValueFromTable, 0, 1, 1.0f},
        {"ms 1 is 1.25", GSIGetRadMSValueFromTable, 1, 1, 1.25f},
        {"ms 38", GSIGetRadMSValueFromTable, 38, 1, 6300.0f},
        {"ms 39", GSIGetRadMSValueFromTable, 39, 0, 0},
        {"mAs 0", GSIGetRadMASValueFromTable, 0, 1, 0.5f},
        {"mAs 33", GSIGetRadMASValueFromTable, 33, 1, 1000.0f},
        {"mAs 34", GSIGetRadMASValueFromTable, 34, 0, 0},
        {"console 102", GSIGetRadMSValueByConsoleMSIndex, 102, 1, 1.0f},
        {"console 101", GSIGetRadMSValueByConsoleMSIndex, 101, 1, 1.25f},
        {"console 100", GSIGetRadMSValueByConsoleMSIndex, 100, 1, 1.6f},
        {"console 0", GSIGetRadMSValueByConsoleMSIndex, 0, 1, 2.0f},
        {"console 35", GSIGetRadMSValueByConsoleMSIndex, 35, 1, 6300.0f},
        {"console 36", GSIGetRadMSValueByConsoleMSIndex, 36, 0, 0},
        {"console 99", GSIGetRadMSValueByConsoleMSIndex, 99, 0, 0},
        {"console 103", GSIGetRadMSValueByConsoleMSIndex, 103, 0, 0},
    };
    steps::chooseMaTable(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        float out = -99;
        EXPECT_EQ(c.lookUp(c.index, &out), c.result);
        EXPECT_FLOAT_EQ(out, c.result ? c.value : -99.0f);
        EXPECT_EQ(c.lookUp(c.index, nullptr), 0);
    }
    steps::chooseMaTable(0);
}

TEST(ServiceLookUps, ConsoleMsNumbering) {
    const std::pair<float, int> cases[] = {{1.0f, 102}, {1.25f, 101}, {1.2f, 101}, {1.6f, 100}, {2.0f, 0},
                                           {6300.0f, 35}, {1.5f, -1}, {0.0f, -1}, {-2.0f, -1}};
    for (const auto& [ms, number] : cases) EXPECT_EQ(GSICheckConsoleMSIsValid(ms), number) << ms;
}

TEST_F(FacadePackets, StoredMsForTheServiceTool) {
    link->m_pData->radMS = 1000;
    float ms = 0;
    EXPECT_EQ(GSIGetMSFromDLL(&ms), 1);
    EXPECT_FLOAT_EQ(ms, 1000.0f);
    link->m_pData->radMS = 12;
    EXPECT_EQ(GSIGetMSFromDLL(&ms), 1);
    EXPECT_FLOAT_EQ(ms, 12.5f);
    EXPECT_EQ(GSIGetMSFromDLL(nullptr), 0);
    EXPECT_TRUE(fake.frames().empty());
}

}  // namespace
}  // namespace kestro::test
