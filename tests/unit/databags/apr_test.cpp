// APR: the 61-character parameter block from each record kind, send and confirm with
// the generator's refusal, the validating facade, reading the technique back, and the
// step-table checks.

#include <cmath>
#include <limits>

#include "data/step_tables.h"
#include "link/parameter_block.h"
#include "link_fixture.h"

namespace kestro::test {
namespace {

std::string text(const std::optional<ParameterBlock>& block) { return block ? std::string(blockText(*block)) : "(none)"; }

APRSourceData source(int kv, float ma, float ms, float mas, int ws, int focus, int tech, int field, int film, int density) {
    return APRSourceData{kv, ma, ms, mas, ws, focus, tech, field, film, density};
}

// ---- Encoding ---------------------------------------------------------------------------

TEST(ParameterBlock, FromPhysicalUnits) {
    APRSourceData d = source(70, 12.5f, 1.25f, 2.0f, 0, 1, 0, 2, 1, 0);
    EXPECT_EQ(text(aprBlock(d)), "SA WS1 FO1 ET0 FI010 FS010 FN+0 KV070 MA00125 MS00012 MX00020");
    EXPECT_EQ(d.ms, 1.2f);

    d = source(125, 0.29f, 6300.0f, 1000.0f, 5, 0, 3, 7, 2, -10);
    EXPECT_EQ(text(aprBlock(d)), "SA WS6 FO0 ET3 FI111 FS100 FN-1 KV125 MA00002 MS63000 MX10000");

    // Values that cannot be written in their fields are not sent at all.
    for (APRSourceData bad : {source(1000, 10, 10, 10, 0, 0, 0, 1, 0, 0), source(70, -1, 10, 10, 0, 0, 0, 1, 0, 0),
                              source(70, 10, 10000.0f, 10, 0, 0, 0, 1, 0, 0),
                              source(70, 10, 10, std::numeric_limits<float>::quiet_NaN(), 0, 0, 0, 1, 0, 0)})
        EXPECT_FALSE(aprBlock(bad).has_value());
}

TEST(ParameterBlock, FieldFilmAndDensityEncodings) {
    const std::pair<int, const char*> fields[] = {{1, "001"}, {2, "010"}, {3, "011"}, {4, "100"}, {5, "101"},
                                                  {6, "110"}, {7, "111"}, {0, "010"}, {8, "010"}, {-3, "010"}};
    for (const auto& [field, bits] : fields) {
        APRDataInfo info{80, 100, 100, 50, 1, 0, 0, field, 0, 0};
        EXPECT_EQ(text(aprBlock(info)).substr(15, 5), std::string("FI") + bits) << field;
    }
    const std::pair<int, const char*> films[] = {{0, "001"}, {1, "010"}, {2, "100"}, {3, "010"}, {-1, "010"}};
    for (const auto& [film, bits] : films) {
        APRDataInfo info{80, 100, 100, 50, 1, 0, 0, 1, film, 0};
        EXPECT_EQ(text(aprBlock(info)).substr(21, 5), std::string("FS") + bits) << film;
    }
    const std::pair<int, const char*> densities[] = {{0, "+0"}, {8, "+8"}, {-1, "-1"}, {-8, "-8"}, {23, "+2"}};
    for (const auto& [density, sign] : densities) {
        APRDataInfo info{80, 100, 100, 50, 1, 0, 0, 1, 0, density};
        EXPECT_EQ(text(aprBlock(info)).substr(27, 4), std::string("FN") + sign) << density;
    }
    // Generator units go out as they are; the workstation digit is not shifted.
    APRDataInfo info{40, 10000, 63000, 5, 3, 1, 2, 4, 2, -4};
    EXPECT_EQ(text(aprBlock(info)), "SA WS3 FO1 ET2 FI100 FS100 FN-4 KV040 MA10000 MS63000 MX00005");
}

// The technique record: bytes 0 ET, 1 WS-1, 5 FO, 6 FI code, 7 FS code, and the
// per-technique kV, mA/ms/mAs indexes and density.
std::array<std::uint8_t, 20> record() {
    std::array<std::uint8_t, 20> r{};
    r[0] = 2;
    r[1] = 0;
    r[5] = 1;
    r[6] = 5;
    r[7] = 2;
    r[19] = 0xF3;
    r[10] = 81;
    r[12] = 0;
    r[14] = 100;
    r[17] = 13;
    return r;
}

TEST(ParameterBlock, FromTheTechniqueRecord) {
    auto r = record();
    EXPECT_EQ(text(techniqueBlock(r.data(), 1)), "SA WS1 FO1 ET2 FI101 FS010 FN-3 KV081 MA00100 MS00016 MX00100");
    EXPECT_EQ(text(techniqueBlock(r.data(), 0)), text(techniqueBlock(r.data(), 1)));

    // Technique 3 and technique 2 (and any other selector) take their own bytes.
    r[9] = 102, r[11] = 20, r[13] = 35, r[16] = 33, r[18] = 0x05;
    EXPECT_EQ(text(techniqueBlock(r.data(), 3)), "SA WS1 FO1 ET2 FI101 FS010 FN+5 KV102 MA10000 MS63000 MX10000");
    r[2] = 66, r[3] = 15, r[4] = 0, r[15] = 0, r[8] = 0x00;
    EXPECT_EQ(text(techniqueBlock(r.data(), 2)), "SA WS1 FO1 ET2 FI101 FS010 FN 0 KV066 MA03200 MS00020 MX00005");
    EXPECT_EQ(text(techniqueBlock(r.data(), 9)), text(techniqueBlock(r.data(), 2)));

    // Field codes above 7 and unknown film codes keep the template's digits.
    r[6] = 8, r[7] = 3, r[4] = 101;
    EXPECT_EQ(text(techniqueBlock(r.data(), 2)).substr(15, 20), "FI000 FS001 FN 0 KV0");
    EXPECT_EQ(text(techniqueBlock(r.data(), 2)).substr(46, 7), "MS00012");
    r[4] = 102;
    EXPECT_EQ(text(techniqueBlock(r.data(), 2)).substr(46, 7), "MS00010");

    // The active mA text table is used.
    steps::chooseMaTable(1);
    EXPECT_EQ(text(techniqueBlock(r.data(), 2)).substr(38, 7), "MA03000");
    steps::chooseMaTable(0);
}

TEST(ParameterBlock, IndexesOutsideTheirTablesSendNothing) {
    struct Case {
        std::size_t at;
        std::uint8_t value;
    };
    // mA indexes are checked in all three places; ms and mAs only for the chosen technique.
    for (const Case c : {Case{3, 21}, Case{11, 21}, Case{12, 255}, Case{14, 36}, Case{14, 99}, Case{14, 103},
                         Case{17, 34}}) {
        auto r = record();
        r[c.at] = c.value;
        EXPECT_FALSE(techniqueBlock(r.data(), 1).has_value()) << c.at << "=" << int(c.value);
    }
    auto r = record();
    r[13] = 50;  // technique 3's ms index, not used for technique 1
    EXPECT_TRUE(techniqueBlock(r.data(), 1).has_value());
}

// ---- Send and confirm over the link --------------------------------------------------------

const std::string kConfirm = "WS1 FO1 ET0 FI010 FS010 FN+0 KV070 MA00125 MS00012 MX00020";

class AprTest : public LinkTest {
protected:
    void answerBlocks(const std::string& reply) {
        fake.setAnswer([reply](const Bytes& f) -> Bytes {
            if (f.size() == 63 && f[0] == 'S' && f[1] == 'A') return reply.empty() ? Bytes{} : message(reply);
            return {};
        });
    }
    static Bytes commandFrame(const std::string& text) { return message(text); }
};

TEST_F(AprTest, ConfirmedBlockSucceeds) {
    answerBlocks(kConfirm);
    APRSourceData d = source(70, 12.5f, 1.25f, 2.0f, 0, 1, 0, 2, 1, 0);
    EXPECT_EQ(IO_ApplyAPRDirectly(&d), 1);
    const auto frames = fake.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], commandFrame("SA WS1 FO1 ET0 FI010 FS010 FN+0 KV070 MA00125 MS00012 MX00020"));
    EXPECT_EQ(d.ms, 1.2f);
    EXPECT_EQ(link->m_pData->radMA, 125);
    for (int kind : kParameterBlockItems) EXPECT_EQ(link->m_ReplyFlags[static_cast<std::size_t>(kind)], 0) << kind;

    fake.clearFrames();
    APRDataInfo info{70, 125, 12, 20, 1, 1, 0, 2, 1, 0};
    EXPECT_EQ(IO_ApplyAPRData(&info), 1);
    EXPECT_EQ(fake.frames().at(0), frames[0]);
}

TEST_F(AprTest, Warning64StopsAtOnceOtherWarningsDoNot) {
    answerBlocks("EL064");
    APRSourceData d = source(70, 12.5f, 1.25f, 2.0f, 0, 1, 0, 2, 1, 0);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(IO_ApplyAPRDirectly(&d), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(350));
    EXPECT_EQ(fake.frames().size(), 1u);
    EXPECT_EQ(link->m_ReplyFlags[5], 0);

    fake.clearFrames();
    answerBlocks("EL063 WS1 FO1 ET0 FI010 FS010 FN+0 KV070 MA00125 MS00012");  // MX never confirmed
    EXPECT_EQ(IO_ApplyAPRDirectly(&d), 0);
    EXPECT_EQ(fake.frames().size(), 3u);
}

TEST_F(AprTest, TechniqueRecordBlockThroughTheMultiCommand) {
    const auto r = record();
    std::memcpy(image + 4, r.data(), r.size());
    link->m_pData->multiTechnique = 1;
    answerBlocks("WS1 FO1 ET2 FI101 FS010 FN-3 KV081 MA00100 MS00016 MX00100");
    EXPECT_EQ(link->GetCpuMultiCommandData(57), 1);
    EXPECT_EQ(fake.frames().at(0), commandFrame("SA WS1 FO1 ET2 FI101 FS010 FN-3 KV081 MA00100 MS00016 MX00100"));

    fake.clearFrames();
    image[4 + 14] = 36;
    EXPECT_EQ(link->GetCpuMultiCommandData(57), 0);
    EXPECT_EQ(link->GetCpuMultiCommandData(56), 0);
    EXPECT_TRUE(fake.frames().empty());
}

TEST_F(AprTest, FacadeRefusesInvalidValuesInWords) {
    struct Case {
        int kv;
        float ma, ms, mas;
        int density;
        const char* line;
    };
    const Case cases[] = {
        {39, 12.5f, 10, 10, 0, "kV(39)is invalid, call GIApplyAPRData() failed"},
        {151, 12.5f, 10, 10, 0, "kV(151)is invalid, call GIApplyAPRData() failed"},
        {80, 12.6f, 10, 10, 0, "mA(12.60)is invalid, call GIApplyAPRData() failed"},
        {80, 12.5f, 1.5f, 10, 0, "ms(1.50)is invalid, call GIApplyAPRData() failed"},
        {80, 12.5f, 10, 0.75f, 0, "mAs(0.75)is invalid, call GIApplyAPRData() failed"},
        {80, 12.5f, 10, 10, 9, "AECDensity(9)is invalid, call GIApplyAPRData() failed"},
        {80, 12.5f, 10, 10, -9, "AECDensity(-9)is invalid, call GIApplyAPRData() failed"},
        {39, 0.1f, 0.1f, 0.1f, 99, "kV(39)is invalid"},  // the first failing check is reported
    };
    for (const Case& c : cases) {
        const std::string before = trace();
        EXPECT_EQ(GIApplyAPRData(c.kv, c.ma, c.ms, c.mas, 0, 0, 0, 1, 0, c.density), 2) << c.line;
        const std::string lines = trace().substr(before.size());
        EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
        EXPECT_EQ(lines.find("invalid", lines.find("invalid") + 1), std::string::npos) << lines;
    }
    EXPECT_TRUE(fake.frames().empty());

    answerBlocks(kConfirm);
    EXPECT_EQ(GIApplyAPRData(70, 12.5f, 1.25f, 2.0f, 0, 1, 0, 2, 1, 0), 0);
    EXPECT_EQ(fake.frames().at(0), commandFrame("SA WS1 FO1 ET0 FI010 FS010 FN+0 KV070 MA00125 MS00012 MX00020"));
    answerBlocks("EL064");
    EXPECT_EQ(GIApplyAPRData(70, 12.5f, 1.25f, 2.0f, 0, 1, 0, 2, 1, 0), 1);
}

TEST_F(AprTest, StepTableChecks) {
    const std::pair<float, int> ma[] = {{10.0f, 0}, {12.5f, 1}, {320.0f, 15}, {1000.0f, 20}, {0.29f, -1},
                                        {300.0f, -1}, {1001.0f, -1}, {-10.0f, -1}};
    steps::chooseMaTable(1);  // the check's table is never switched
    for (const auto& [v, index] : ma) EXPECT_EQ(GSICheckMAIsValid(v), index) << v;
    steps::chooseMaTable(0);
    EXPECT_EQ(GSICheckMAIsValid(std::numeric_limits<float>::infinity()), -1);
    const std::pair<float, int> ms[] = {{1.0f, 0}, {1.2f, 1}, {1.25f, 1}, {1.6f, 2}, {6300.0f, 38}, {1.5f, -1}, {0.0f, -1},
                                        {1.3f, 1}}  /* 1.3f is 12.99.. tenths: truncated to 12 */;
    for (const auto& [v, index] : ms) EXPECT_EQ(GSICheckMSIsValid(v), index) << v;
    const std::pair<float, int> mas[] = {{0.5f, 0}, {0.6f, 1}, {6.3f, 11}, {1000.0f, 33}, {0.75f, -1}, {0.7f, 1}};
    for (const auto& [v, index] : mas) EXPECT_EQ(GSICheckMASIsValid(v), index) << v;
}

TEST_F(AprTest, DemonstrationApplyStoresTheRecord) {
    link->m_pData->bDemo = 1;
    APRDataInfo info{90, 200, 160, 32, 4, 1, 3, 6, 2, -5};
    EXPECT_EQ(IO_ApplyAPRData(&info), 1);
    const GeneratorData& d = *link->m_pData;
    EXPECT_EQ(d.radKV, 90);
    EXPECT_EQ(d.radMA, 200);
    EXPECT_EQ(d.radMS, 160);
    EXPECT_EQ(d.radMAS, 32);
    EXPECT_EQ(d.receptor, 4);
    EXPECT_EQ(d.focus, 1);
    EXPECT_EQ(d.radTechnique, 3);
    EXPECT_EQ(d.aecField, 6);
    EXPECT_EQ(d.aecFilm, 2);
    EXPECT_EQ(d.aecDensity, -5);
    EXPECT_TRUE(fake.frames().empty());
}

TEST_F(AprTest, CurrentTechniqueReadsBackInPhysicalUnits) {
    fake.setAnswer([](const Bytes& f) -> Bytes {
        const std::string cmd(f.begin(), f.begin() + 2);
        if (cmd == "RS") return message("TU0 WS3 FO1 ET2 FI101 FS100 FN-2 HE010");
        if (cmd == "RR") return message("KV081 MA00125 MS00012 MX00020");
        return {};
    });
    APRSourceData d{};
    ASSERT_EQ(GIGetGenCurAPRData(&d), 1);
    EXPECT_EQ(d.kV, 81);
    EXPECT_FLOAT_EQ(d.mA, 12.5f);
    EXPECT_FLOAT_EQ(d.ms, 1.25f);
    EXPECT_FLOAT_EQ(d.mAs, 2.0f);
    EXPECT_EQ(d.workstation, 2);
    EXPECT_EQ(d.focus, 1);
    EXPECT_EQ(d.technique, 2);
    EXPECT_EQ(d.field, 5);
    EXPECT_EQ(d.film, 2);
    EXPECT_EQ(d.density, -2);
    const auto frames = fake.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], commandFrame("RS"));
    EXPECT_EQ(frames[1], commandFrame("RR"));

    // Values outside their ranges leave those fields as they were; film 2 reads as 1.
    fake.setAnswer([](const Bytes& f) -> Bytes {
        const std::string cmd(f.begin(), f.begin() + 2);
        if (cmd == "RS") return message("TU0 WS0 FO1 ET2 FI000 FS010 FN 0 HE010");
        if (cmd == "RR") return message("KV070 MA00100 MS00630 MX00250");
        return {};
    });
    ASSERT_EQ(GIGetGenCurAPRData(&d), 1);
    EXPECT_EQ(d.workstation, 2);
    EXPECT_EQ(d.field, 5);
    EXPECT_EQ(d.film, 1);
    EXPECT_FLOAT_EQ(d.ms, 63.0f);

    // A silent generator: failure, and the record keeps what it held.
    fake.setAnswer([](const Bytes&) { return Bytes{}; });
    const APRSourceData before = d;
    EXPECT_EQ(GIGetGenCurAPRData(&d), 0);
    EXPECT_EQ(std::memcmp(&before, &d, sizeof d), 0);
}

}  // namespace
}  // namespace kestro::test
