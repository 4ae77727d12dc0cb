// The dose rate interpolated from the table, the dose-area product after an exposure
// with its refusals, and the table load from data packet 12.

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "dose/dose_rate.h"
#include "link_fixture.h"

namespace kestro::test {
namespace {

// Entry i belongs to 40 + 10 i kV. Rising (40..60), falling by more than 10 (60..70),
// falling by less than 10 (70..80), then rising again.
const std::vector<std::uint32_t> kTable = {100, 150, 159, 59, 50, 200, 300, 400, 500, 600, 700, 65535};

using DoseTest = LinkTest;

struct RateCase {
    int kV;
    double rate;
    const char* trace;  // expected trace text, or nullptr for none
};

TEST_F(DoseTest, RateAtTablePointsAndBetweenThem) {
    const RateCase cases[] = {
        {40, 100, nullptr},
        {45, 125, nullptr},  // 100 + (50 / 10) * 5
        {47, 135, nullptr},
        {55, 150, nullptr},  // 9 / 10 truncates to 0
        {60, 159, nullptr},
        {65, 109, nullptr},  // falling: 159 + (-100 / 10) * 5
        {69, 69, nullptr},
        {75, 59, nullptr},  // -9 / 10 truncates to 0, as a rising step of 9 does
        {149, 700 + (65535 - 700) / 10 * 9, nullptr},
        {150, 65535, nullptr},
        {151, -1, "IO_GetDAPValueAfterExposure Failed in : CalculatekVDoseRate kV =  151\r\n"},
        {39, -1, "IO_GetDAPValueAfterExposure Failed in : CalculatekVDoseRate kV =  39\r\n"},
    };
    link->m_doseRateData = kTable;
    for (const RateCase& c : cases) {
        SCOPED_TRACE(c.kV);
        const std::string before = trace();
        EXPECT_EQ(link->CalculatekVDoseRate(c.kV), c.rate);
        const std::string added = trace().substr(before.size());
        if (c.trace)
            EXPECT_NE(added.find(c.trace), std::string::npos) << added;
        else
            EXPECT_EQ(added, "");
    }
}

TEST_F(DoseTest, RateNeedsTwelveEntries) {
    for (std::size_t size : {0u, 11u, 13u}) {
        link->m_doseRateData.assign(size, 100);
        EXPECT_EQ(link->CalculatekVDoseRate(80), -1.0) << size;
    }
    EXPECT_NE(trace().find("IO_GetDAPValueAfterExposure Failed in : CalculatekVDoseRate : "
                           "m_doseRateData.GetSize() != 12\r\n"),
              std::string::npos);
}

struct DapCase {
    const char* name;
    int kV;
    int postMAS;  // tenths
    double area;
    double height;
    int result;
    double dap;         // when result is 1
    const char* trace;  // the line the refusal writes (text and suffix), or nullptr
};

TEST_F(DoseTest, DoseAreaProduct) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const DapCase cases[] = {
        {"rate 200, 10.0 mAs, height 100, area 25", 80, 100, 25, 100, 1, 500, nullptr},
        {"height 50 quadruples it", 80, 100, 25, 50, 1, 2000, nullptr},
        {"between points", 45, 100, 1, 100, 1, 12.5, nullptr},
        {"falling segment", 65, 100, 1, 100, 1, 10.9, nullptr},
        {"area 0", 80, 100, 0, 100, 0, 0, "IO_GetDAPValueAfterExposure Failed in : Area =     0.00\r\n"},
        {"area negative", 80, 100, -2.5, 100, 0, 0, "IO_GetDAPValueAfterExposure Failed in : Area =    -2.50\r\n"},
        {"area NaN", 80, 100, nan, 100, 0, 0, "IO_GetDAPValueAfterExposure Failed in : Area = "},
        {"area infinite", 80, 100, inf, 100, 0, 0, "IO_GetDAPValueAfterExposure Failed in : Area = "},
        {"height -5", 80, 100, 25, -5, 0, 0, "IO_GetDAPValueAfterExposure Failed in : dHeight =    -5.00\r\n"},
        {"height NaN", 80, 100, 25, nan, 0, 0, "IO_GetDAPValueAfterExposure Failed in : dHeight = "},
        {"height infinite", 80, 100, 25, -inf, 0, 0, "IO_GetDAPValueAfterExposure Failed in : dHeight = "},
        {"no post-exposure mAs", 80, 0, 25, 100, 0, 0, "IO_GetDAPValueAfterExposure Failed in IO_GetPostMASValue = 0  \r\n"},
        {"kV outside the table", 151, 100, 25, 100, 0, 0, "CalculatekVDoseRate kV =  151\r\n"},
    };
    link->m_doseRateData = {100, 150, 159, 59, 200, 200, 300, 400, 500, 600, 700, 800};
    for (const DapCase& c : cases) {
        SCOPED_TRACE(c.name);
        link->m_pData->radKV = c.kV;
        link->m_pData->postMAS = c.postMAS;
        const std::string before = trace();
        double out = -7.0;
        EXPECT_EQ(IO_GetDAPValueAfterExposure(c.area, c.height, &out), c.result);
        EXPECT_EQ(GIGetDAPValueAfterExposure(c.area, c.height, &out), c.result);
        if (c.result == 1)
            EXPECT_NEAR(out, c.dap, 1e-9);
        else
            EXPECT_EQ(out, -7.0);
        const std::string added = trace().substr(before.size());
        if (c.trace) EXPECT_NE(added.find(c.trace), std::string::npos) << added;
        else EXPECT_EQ(added, "");
    }
    // Nothing was sent: the stored kV and post-exposure mAs are used as they are.
    EXPECT_TRUE(fake.frames().empty());
    EXPECT_EQ(IO_GetDAPValueAfterExposure(25, 100, nullptr), 0);
}

TEST_F(DoseTest, RefusalsAreNotTracedInDemonstrationMode) {
    link->m_pData->bDemo = 1;
    const std::string before = trace();
    double out = 0;
    EXPECT_EQ(IO_GetDAPValueAfterExposure(0, 100, &out), 0);
    EXPECT_EQ(IO_GetDAPValueAfterExposure(1, 100, &out), 0);  // no table
    EXPECT_EQ(trace(), before);
}

Bytes curveReply(const std::vector<std::uint32_t>& values) {
    Bytes data(27, 0);
    data[0] = 0;  // curve 1
    for (std::size_t i = 0; i < values.size(); ++i) {
        data[2 * i + 1] = static_cast<std::uint8_t>(values[i] >> 8);
        data[2 * i + 2] = static_cast<std::uint8_t>(values[i] & 0xFF);
    }
    return data;
}

TEST_F(DoseTest, TableLoadReplacesTheTableOnlyOnSuccess) {
    replies[13] = curveReply(kTable);
    std::uint32_t out[12] = {};
    ASSERT_EQ(IO_GetDoseRateValues(out), 1);
    EXPECT_EQ(std::vector<std::uint32_t>(out, out + 12), kTable);
    EXPECT_EQ(link->m_doseRateData, kTable);
    ASSERT_FALSE(sentFrames().empty());
    EXPECT_EQ(sentFrames().back(), (Bytes{0x01, 0x0D, 0x00, 0x02, 0x01, 0x00}));

    // A silent generator: the refresh fails, table and out stay.
    fake.setAnswer([](const Bytes&) { return Bytes{}; });
    std::uint32_t untouched[12] = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    EXPECT_EQ(GIGetDoseRateValues(untouched), 0);
    EXPECT_EQ(untouched[0], 7u);
    EXPECT_EQ(untouched[11], 7u);
    EXPECT_EQ(link->m_doseRateData, kTable);

    fake.clearFrames();
    EXPECT_EQ(IO_GetDoseRateValues(nullptr), 0);
    EXPECT_TRUE(fake.frames().empty());
}

}  // namespace
}  // namespace kestro::test
