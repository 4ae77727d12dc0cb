// Arguments at the edges of their type: no undefined arithmetic, no frame that does
// not say what the caller asked for.

#include <climits>

#include "operator_fixture.h"

namespace kestro::test {
namespace {

using Limits = OperatorTest;

TEST_F(Limits, EmptyUnrestrictedCommandIsAnEmptyFrame) {
    port.clearFrames();
    const char text[] = "KV?";
    EXPECT_EQ(IO_SendUnrestrictedCommand(text, 0), 1);
    EXPECT_EQ(port.frames(), std::vector<std::string>{std::string("\x03\x03", 2)});
}

TEST_F(Limits, TubeNumberWithoutASuccessorFailsWithoutTraffic) {
    port.clearFrames();
    int out = -99;
    EXPECT_EQ(GSISetTubeCalibratiobTube(INT_MAX, &out), 0);
    EXPECT_EQ(out, -99);
    EXPECT_TRUE(port.frames().empty());
}

}  // namespace
}  // namespace kestro::test
