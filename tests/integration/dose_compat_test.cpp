// Dose and compatibility against the simulator: start-up with the compatibility query,
// its answers decoded into the record and used by the fluoroscopy dose-rate setter, a
// refused packet failing the start-up, and the dose-area product of a real exposure
// from the generator's dose-rate curve; the facade's packet readers against the
// simulator's records.

#include <fstream>

#include "session.h"

namespace kestro::itest {
namespace {

class DoseCompat : public Session {
protected:
    void functionSettings(const std::string& compTransfer, const std::string& compInformation) {
        std::ofstream(m_host / "Gen/INI/Function.ini", std::ios::binary)
            << "[Function]\r\nDemo Enable=0\r\nComp Transfer=" << compTransfer
            << "\r\nTotal Trace=10\r\n[CompInformation]\r\n" << compInformation;
    }
    std::vector<std::int32_t> record() const {
        std::vector<std::int32_t> r(8 + GenCompInfo::kFlagCount, -1);
        IO_GeneratorCompatibility(r.data());
        return r;
    }
    std::size_t compatBags(std::uint64_t since = 0) const {
        std::size_t n = 0;
        for (const auto& u : m_sim->received())
            if (u.seq >= since && u.unit.kind == sim::UnitKind::DataBag && u.unit.bagIndex == 22) ++n;
        return n;
    }
};

TEST_F(DoseCompat, StartUpRunsTheQueryAndDecodesTheEchoedEntries) {
    functionSettings("1", "total=2\r\n0=3,1,0,0,0,0,0,255\r\n1=1\r\n");
    ASSERT_EQ(initGenerator(), 1);
    EXPECT_EQ(compatBags(), 4u);  // write and read-back of each entry

    const std::vector<std::int32_t> r = record();
    EXPECT_EQ((std::vector<std::int32_t>(r.begin(), r.begin() + 8)), (std::vector<std::int32_t>{1, 1, 0, 0, 0, 0, 0, 0}));
    // Entry 1 names only byte 2; bytes 3..9 still hold entry 0's 1, 0, ..., 255 and are
    // echoed too: flag 64 (byte 3 bit 0) and 112..119 (byte 9).
    auto expected = [](int flag) {
        return flag == 0 || (flag >= 48 && flag <= 56) || flag == 64 || (flag >= 112 && flag <= 119);
    };
    for (int flag = 0; flag < GenCompInfo::kFlagCount; ++flag)
        EXPECT_EQ(r[8 + flag], expected(flag) ? 1 : 0) << "flag " << flag;
    EXPECT_EQ(m_link->m_pData->fluoDoseRate, 100);
    EXPECT_EQ(traceCount("gen_CompInfo.OneMsEnable :  1\r\n"), 1u);
    EXPECT_EQ(traceCount("gen_CompInfo.bFunctionEnable"), 55u);
    EXPECT_EQ(traceCount("IO_GetGeneratorCompatibility() failed"), 0u);
    // Without ABS dose rate the fluoroscopy dose-rate setter answers 100 and sends nothing.
    const auto mark = m_sim->logMark();
    EXPECT_EQ(IO_FluoSelectDoseRate(1, 0), 100);
    EXPECT_FALSE(m_sim->waitForCommand("FDR?", 300ms, mark));
}

TEST_F(DoseCompat, FixedAnswerBitsEnableAbsDoseRate) {
    functionSettings("1", "total=1\r\n0=0\r\n");
    m_sim->setCompatAnswer(0, sim::Simulator::CompatMode::Fixed, {0x04, 0x00, 0x80});
    m_sim->setValue("FDR", 2);
    ASSERT_EQ(initGenerator(), 1);
    const std::vector<std::int32_t> r = record();
    EXPECT_EQ(r[2], 1);        // ABSDoseRate
    EXPECT_EQ(r[8 + 15], 1);   // byte 4 bit 7
    EXPECT_EQ(m_link->m_pData->fluoDoseRate, 0);
    // Now the setter asks the generator.
    EXPECT_EQ(IO_FluoSelectDoseRate(1, 0), 2);
    EXPECT_EQ(m_sim->countCommand("FDR?"), 1u);
}

TEST_F(DoseCompat, RefusedPacketFailsTheStartUp) {
    functionSettings("1", "total=1\r\n0=3\r\n");
    m_sim->setCompatAnswer(0, sim::Simulator::CompatMode::Refuse);
    EXPECT_EQ(initGenerator(), -5);
    EXPECT_EQ(GIInitGenerator(m_window), 0);
    EXPECT_GE(traceCount("GetGeneratorCompatibilityInformation apply 22 err.......\r\n"), 1u);
    EXPECT_GE(traceCount("IO_GetGeneratorCompatibility() failed\r\n"), 1u);
    for (std::int32_t v : record()) ASSERT_EQ(v, 0);
}

TEST_F(DoseCompat, OutOfRangeEntryIsRefusedBeforeAnythingIsSent) {
    ASSERT_EQ(initGenerator(), 1);  // "Comp Transfer" 0: no query
    EXPECT_EQ(compatBags(), 0u);
    functionSettings("0", "total=2\r\n0=1\r\n1=2,256\r\n");
    const auto mark = m_sim->logMark();
    EXPECT_EQ(IO_GetGeneratorCompatibility(), -1);
    EXPECT_EQ(compatBags(mark), 0u);
    EXPECT_EQ(traceCount("GetGeneratorCompatibilityInformation invalid entry :  1\r\n"), 1u);
}

TEST_F(DoseCompat, DoseAreaProductOfAnExposure) {
    // Falls from 60 to 70 kV; 80 kV is a table point.
    ASSERT_TRUE(m_sim->setDoseRateTable({100, 150, 300, 200, 250, 260, 270, 280, 290, 300, 310, 320}));
    ASSERT_EQ(initGenerator(), 1);
    std::uint32_t table[12] = {};
    ASSERT_EQ(GIGetDoseRateValues(table), 1);
    EXPECT_EQ(table[3], 200u);

    ASSERT_EQ(IO_RadKVValue(0, 65), 65);
    std::string why;
    ASSERT_TRUE(m_sim->startExposure(100, &why)) << why;
    ASSERT_TRUE(m_sim->waitHandshakeDone(5000ms));
    ASSERT_TRUE(waitUntil([&] { return m_link->m_pData->postMAS.load() > 0; }, 2000ms));
    const int postMAS = m_link->m_pData->postMAS;
    EXPECT_EQ(postMAS, *m_sim->value("MA") * 100 / 1000);  // tenths of mAs of a 100 ms exposure

    double dap = 0;
    ASSERT_EQ(IO_GetDAPValueAfterExposure(25, 50, &dap), 1);
    // 65 kV on the falling segment: 300 + (-100 / 10) * 5 = 250.
    EXPECT_NEAR(dap, 250 / 100.0 * (postMAS * 0.1) * 4 * 25, 1e-9);
}

TEST_F(DoseCompat, FacadePacketReadersMatchTheGeneratorsRecords) {
    ASSERT_EQ(initGenerator(), 1);
    ASSERT_TRUE(m_sim->setHeatLimits(80, 95));
    int first = 0, second = 0;
    ASSERT_EQ(GIGetTubeHeatLimits(&first, &second), 1);
    EXPECT_EQ(first, 80);
    EXPECT_EQ(second, 95);

    ASSERT_TRUE(m_sim->setTubeByte(3, 2));
    ASSERT_TRUE(m_sim->setTubeByte(4, 1));
    int tube = -1;
    ASSERT_EQ(IO_RFSelectReceptor(0, 3), 3);
    ASSERT_EQ(GIGetCurrentWorkingTube(&tube), 1);
    EXPECT_EQ(tube, 1);
    ASSERT_EQ(IO_RFSelectReceptor(0, 4), 4);
    ASSERT_EQ(GIGetCurrentWorkingTube(&tube), 1);
    EXPECT_EQ(tube, 0);
}

}  // namespace
}  // namespace kestro::itest
