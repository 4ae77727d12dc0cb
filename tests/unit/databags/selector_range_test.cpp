// Packet parameters that become selector bytes: a parameter whose selector does not fit
// a byte fails without traffic; the largest that fits goes out unchanged.

#include <climits>

#include "link_fixture.h"

namespace kestro::test {
namespace {

using SelectorRange = LinkTest;

TEST_F(SelectorRange, ParametersOutsideTheSelectorRangeSendNothing) {
    enum Call { Refresh, Apply, Restore };
    struct Case {
        int packet;
        int param;
        Call call;
    };
    const Case cases[] = {
        {12, 0, Refresh},       {12, 257, Refresh},      {12, INT_MIN, Refresh}, {12, INT_MIN, Apply},
        {22, -1, Refresh},      {22, 3840, Refresh},     {22, INT_MAX, Refresh}, {23, -1, Refresh},
        {23, 2560, Refresh},    {23, 2560, Apply},       {24, -15, Refresh},     {24, 3840, Apply},
        {25, 2560, Refresh},    {25, INT_MIN, Restore},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("packet " + std::to_string(c.packet) + " param " + std::to_string(c.param));
        fake.clearFrames();
        const int result = c.call == Refresh ? IO_RefreshModelData(c.packet, c.param)
                           : c.call == Apply ? IO_UtilityModelData(c.packet, c.param)
                                             : IO_UtilityModelData1(c.packet, c.param);
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(fake.frames().empty());
    }
}

TEST_F(SelectorRange, LargestParameterThatFitsIsSentAsIs) {
    struct Case {
        int packet;
        int param;
        Bytes request;
    };
    const Case cases[] = {
        {12, 256, {0x01, 0x0D, 0x00, 0x02, 0x01, 0xFF}},
        {22, 3839, {0x01, 0x16, 0x00, 0x03, 0x01, 0xFF, 0x0E}},
        {23, 2559, {0x01, 0x17, 0x00, 0x03, 0x01, 0x09, 0xFF}},
        {24, 3839, {0x01, 0x18, 0x00, 0x03, 0x01, 0xFF, 0x0E}},
        {25, 2559, {0x01, 0x19, 0x00, 0x03, 0x01, 0xFF, 0x09}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("packet " + std::to_string(c.packet));
        fake.clearFrames();
        EXPECT_EQ(IO_RefreshModelData(c.packet, c.param), 1);
        ASSERT_FALSE(sentFrames().empty());
        EXPECT_EQ(sentFrames().front(), c.request);
    }
}

}  // namespace
}  // namespace kestro::test
