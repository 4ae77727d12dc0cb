// The auxiliary and AEC configuration getters, the packet-based readers, the service
// conversions and the step tables.

#include <mutex>

#include "data/step_tables.h"
#include "operator_fixture.h"

namespace kestro::test {
namespace {

using Configuration = OperatorTest;

void setTables(CCommProtocol& link, std::vector<std::uint32_t> enabled, std::vector<std::uint32_t> channel,
               std::vector<std::uint32_t> film, std::vector<std::uint32_t> field) {
    std::lock_guard<std::mutex> lock(link.m_TablesLock);
    link.m_AuxiliaryEnabled = std::move(enabled);
    link.m_AuxiliaryAECChannel = std::move(channel);
    link.m_AECFilmSpeed = std::move(film);
    link.m_AECField = std::move(field);
}

TEST_F(Configuration, AuxiliaryAndAecGetters) {
    setTables(*link, {1, 1, 0, 1, 1}, {3, 0, 2, 2, 5}, {11, 12, 13, 14}, {21, 22, 23, 24});
    int pairs[10] = {};
    ASSERT_EQ(IO_GetEnabledAuxiliary(pairs), 1);
    EXPECT_EQ(std::vector<int>(pairs, pairs + 10), (std::vector<int>{0, 1, 1, 1, 2, 0, 3, 1, 4, 1}));

    struct Case {
        int aux;
        int aecEnabled, aecEnabledOut;  // IO_GetAuxiliaryAECEnabledInformation
        int film, filmOut;              // IO_GetAECFilmSpeedConfig
        int field, fieldOut;            // IO_GetAECFieldConfig
    };
    const Case cases[] = {
        {0, 1, 1, 1, 13, 1, 23},     // channel 3
        {1, 1, 0, 0, -7, 0, -7},     // enabled, no AEC channel
        {2, 0, -7, 1, 12, 1, 22},    // not enabled (channel 2 still answers film and field)
        {3, 1, 1, 1, 12, 1, 22},     // channel 2: second entries
        {4, 1, 1, 0, -7, 0, -7},     // channel 5 does not exist
        {-1, 0, -7, 0, -7, 0, -7},
        {5, 0, -7, 0, -7, 0, -7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.aux);
        int a = -7, f = -7, g = -7;
        EXPECT_EQ(IO_GetAuxiliaryAECEnabledInformation(c.aux, &a), c.aecEnabled);
        EXPECT_EQ(a, c.aecEnabledOut);
        EXPECT_EQ(IO_GetAECFilmSpeedConfig(c.aux, &f), c.film);
        EXPECT_EQ(f, c.filmOut);
        EXPECT_EQ(IO_GetAECFieldConfig(c.aux, &g), c.field);
        EXPECT_EQ(g, c.fieldOut);
    }
    EXPECT_EQ(IO_GetEnabledAuxiliary(nullptr), 0);
    EXPECT_EQ(IO_GetAECFieldConfig(0, nullptr), 0);
}

// Start-up did not complete: arrays of the wrong size make every getter fail.
TEST_F(Configuration, IncompleteTablesFail) {
    struct Sizes {
        std::vector<std::uint32_t> enabled, channel, film, field;
    };
    const Sizes cases[] = {
        {{}, {}, {}, {}},
        {{1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1}, {1, 1, 1}},
        {{1, 1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}, {1, 1, 1, 1}},
        {{1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {1, 1, 1, 1}},
    };
    for (const Sizes& s : cases) {
        setTables(*link, s.enabled, s.channel, s.film, s.field);
        int pairs[10] = {}, out = -7;
        const bool fiveAux = s.enabled.size() == 5;
        const bool channelsOk = s.channel.size() == 5;
        EXPECT_EQ(IO_GetEnabledAuxiliary(pairs), fiveAux ? 1 : 0);
        // Only the AEC-channel array must be complete here; auxiliary 0 must exist and be enabled.
        EXPECT_EQ(IO_GetAuxiliaryAECEnabledInformation(0, &out), channelsOk && !s.enabled.empty() ? 1 : 0);
        EXPECT_EQ(IO_GetAECFilmSpeedConfig(0, &out), channelsOk && s.film.size() == 4 ? 1 : 0);
        EXPECT_EQ(IO_GetAECFieldConfig(0, &out), channelsOk && s.field.size() == 4 ? 1 : 0);
    }
}

// Packets that cannot be read leave the caller's array alone and give the zero version.
TEST_F(Configuration, PacketReadersWithoutAnAnswer) {
    silence();
    std::uint32_t items[2] = {7, 8};
    KestroUIntArray heat{items, 2, 2};
    data->packet(17)[0] = 4;
    EXPECT_EQ(IO_GetAnodeHeat(&heat), 0);
    EXPECT_EQ(heat.count, 2);
    EXPECT_EQ(items[0], 7u);
    EXPECT_STREQ(IO_GetGenCPUVersion().text, "0.0.0");
    EXPECT_EQ(IO_GetAnodeHeat(nullptr), 0);
}

TEST_F(Configuration, ServiceConversionsAndModes) {
    data->calibMA = 123;
    data->calibFilament = 250;
    EXPECT_FLOAT_EQ(GSIGetTubeCalibMA(), 12.3f);
    EXPECT_FLOAT_EQ(GSIGetTubeCalibFilamentCurrent(), 0.25f);
    EXPECT_EQ(GSIEnableExposure(0), 1);
    EXPECT_EQ(link->m_nDllMode, 1);
    EXPECT_EQ(GSIEnableExposure(5), 1);
    EXPECT_EQ(link->m_nDllMode, 0);
    EXPECT_EQ(GSIEnableTubeCalibrationExposure(), 1);
    EXPECT_EQ(link->m_nDllMode, 2);
}

TEST(StepTables, EntriesAndVariants) {
    EXPECT_EQ(steps::maTableVariant(0).size(), 21u);
    EXPECT_EQ(steps::msTable().size(), 39u);
    EXPECT_EQ(steps::masTable().size(), 34u);
    EXPECT_EQ(steps::msTable().front(), 10);
    EXPECT_EQ(steps::msTable().back(), 63000);
    EXPECT_EQ(steps::masTable().front(), 5);
    EXPECT_EQ(steps::masTable().back(), 10000);
    for (int variant : {0, 1}) {
        auto values = steps::maTableVariant(variant);
        auto texts = steps::maTextTableVariant(variant);
        ASSERT_EQ(texts.size(), values.size());
        for (std::size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(std::stoi(texts[i]), values[i]);
            EXPECT_EQ(std::string(texts[i]).size(), 5u);
            if (i) {
                EXPECT_LT(values[i - 1], values[i]);
            }
        }
    }
    // The variants differ in exactly two entries.
    EXPECT_EQ(steps::indexOf(steps::maTableVariant(0), 3200), 15);
    EXPECT_EQ(steps::indexOf(steps::maTableVariant(1), 3000), 15);
    EXPECT_EQ(steps::indexOf(steps::maTableVariant(1), 6000), 18);
    EXPECT_EQ(steps::indexOf(steps::maTableVariant(1), 3200), -1);

    EXPECT_EQ(IO_ChooseRadMATable(1), 1);
    EXPECT_STREQ(steps::maTextTable()[15], "03000");
    EXPECT_EQ(steps::maTable()[18], 6000);
    EXPECT_EQ(IO_ChooseRadMATable(7), 7);
    EXPECT_EQ(steps::activeMaVariant(), 0);
    EXPECT_STREQ(steps::maTextTable()[15], "03200");
}

// Without a link every export gives its failure value.
TEST(NoLink, FailureValues) {
    ASSERT_EQ(g_pCommProtocol.load(), nullptr);
    int out = -7;
    EXPECT_EQ(IO_RadKVValue(0, 80), -1);
    EXPECT_EQ(IO_RadAECDens(1, 0), -10);
    EXPECT_EQ(IO_FluoSelectMode(1, 0), -1);
    EXPECT_EQ(IO_GetSTValue(), -1);
    EXPECT_EQ(IO_SendAECDDC(1), 0);
    EXPECT_EQ(IO_GetGenPhase(&out), 0);
    EXPECT_EQ(IO_SendUnrestrictedCommand("ST", 2), 0);
    EXPECT_EQ(GSISetTubeCalibrationMode(1, &out), 0);
    EXPECT_EQ(out, -7);
    EXPECT_STREQ(IO_GetGenCPUVersion().text, "0.0.0");
}

}  // namespace
}  // namespace kestro::test
