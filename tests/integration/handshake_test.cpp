// The generator's exposure handshakes: every prepare, exposure and fluoroscopy message
// is echoed at once, moves the generator state and notifies the host.

#include "session.h"

#include <future>
#include <initializer_list>
#include <string_view>

namespace kestro::itest {
namespace {

using Code = std::pair<std::uintptr_t, std::intptr_t>;

class Handshake : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(initGenerator(), 1);
    }

    // Waits for the notifications in order.
    void expectNotices(std::initializer_list<Code> codes, std::size_t from = 0) {
        for (Code code : codes) {
            const int at = waitNotice(code.first, code.second, 3000ms, from);
            ASSERT_GE(at, 0) << "no notification (" << code.first << ", " << code.second << ")";
            from = static_cast<std::size_t>(at) + 1;
        }
    }

    std::vector<std::string> commandsSince(std::uint64_t mark) const {
        std::vector<std::string> texts;
        for (const auto& entry : m_sim->received())
            if (entry.seq >= mark && entry.unit.kind == sim::UnitKind::Command) texts.push_back(entry.unit.text);
        return texts;
    }
};

// Each generator message on its own: the echo, the new state and the notification.
TEST_F(Handshake, EveryStepMovesTheStateAndNotifies) {
    struct Step {
        const char* message;
        int state;
        Code notice;
    };
    const Step steps[] = {
        {"PR1", 3, {2, 2}},  {"PR2", 10, {2, 3}}, {"XR1", 4, {1, 2}},  {"XR0", 11, {1, 1}},
        {"XR2", 11, {1, 3}}, {"PR0", 2, {2, 1}},  {"FLP1", 13, {3, 2}}, {"FLX1", 14, {4, 2}},
        {"FLX0", 12, {4, 1}}, {"FLP0", 2, {3, 1}},
    };
    const auto mark = m_sim->logMark();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.message);
        const std::size_t from = notices().size();
        m_sim->sendMessage(step.message);
        ASSERT_GE(waitNotice(step.notice.first, step.notice.second, 2000ms, from), 0);
        EXPECT_EQ(m_link->m_nGenState, step.state);
        EXPECT_EQ(notices().size(), from + 1);
        if (std::string_view(step.message) == "FLX1") {
            EXPECT_EQ(m_link->m_bFluoroExposing, 1);
        }
    }
    EXPECT_EQ(m_link->m_bFluoroExposing, 0);
    // Echoed in order; XR2 is not echoed.
    ASSERT_TRUE(m_sim->waitForCommand("FLP0", 1000ms, mark));
    EXPECT_EQ(commandsSince(mark),
              (std::vector<std::string>{"PR1", "PR2", "XR1", "XR0", "PR0", "FLP1", "FLX1", "FLX0", "FLP0"}));
    EXPECT_EQ(traceCount("Heat= "), 1u);
    for (const char* label : {"Heat = ", "INT time = ", "ACC time = "}) EXPECT_EQ(traceCount(label), 1u) << label;
}

// The generator's own handshake, which waits for every echo before its next step.
TEST_F(Handshake, RadiographyRunsToItsEnd) {
    std::string why;
    ASSERT_TRUE(m_sim->startExposure(200, &why)) << why;
    expectNotices({{2, 2}, {2, 3}, {1, 2}, {1, 1}, {2, 1}});
    ASSERT_TRUE(m_sim->waitHandshakeDone(5000ms));

    const sim::HandshakeResult result = m_sim->lastHandshake();
    EXPECT_TRUE(result.completed);
    EXPECT_FALSE(result.aborted);
    for (const char* step : {"PR1", "PR2", "XR1", "XR0", "PR0"}) {
        const sim::HandshakeStep* s = result.step(step);
        ASSERT_NE(s, nullptr) << step;
        EXPECT_TRUE(s->echoed) << step;
    }
    EXPECT_EQ(noticeCodes(), (std::vector<Code>{{2, 2}, {2, 3}, {1, 2}, {1, 1}, {2, 1}}));
    EXPECT_EQ(m_link->m_nGenState, 2);
}

// The generator asks for a prepare while a packet exchange waits for its reply (held
// back here by a slow line): the request is echoed and notified at once, and the
// exchange still gets its reply.
TEST_F(Handshake, PrepareDuringAPacketExchangeIsAnswered) {
    m_sim->setSlow(300ms);
    const auto mark = m_sim->logMark();
    auto refresh = std::async(std::launch::async, [] { return IO_RefreshModelData(6, 1); });
    ASSERT_TRUE(m_sim->waitForUnit([](const sim::ReceivedUnit& u) { return u.unit.kind == sim::UnitKind::DataBag; },
                                   2000ms, mark));
    const std::size_t from = notices().size();
    m_sim->sendMessage("PR1");  // injected: not held back
    EXPECT_GE(waitNotice(2, 2, 2000ms, from), 0);
    EXPECT_TRUE(m_sim->waitForCommand("PR1", 2000ms, mark));
    EXPECT_EQ(refresh.get(), 1);
    m_sim->setSlow(0ms);
}

TEST_F(Handshake, FluoroscopyRunsToItsEnd) {
    std::string why;
    ASSERT_TRUE(m_sim->startFluoro(&why)) << why;
    expectNotices({{3, 2}, {4, 2}});
    EXPECT_TRUE(waitUntil([&] { return m_link->m_nGenState == 14; }, 1000ms));
    EXPECT_EQ(m_link->m_bFluoroExposing, 1);
    const std::size_t from = notices().size();
    ASSERT_TRUE(m_sim->stopFluoro(&why)) << why;
    expectNotices({{4, 1}, {3, 1}}, from);
    ASSERT_TRUE(m_sim->waitHandshakeDone(5000ms));
    EXPECT_TRUE(m_sim->lastHandshake().allEchoed());
    EXPECT_EQ(m_link->m_nGenState, 2);
    EXPECT_EQ(m_link->m_bFluoroExposing, 0);
}

TEST_F(Handshake, CalibrationModeEchoesOnlyDuringACalibration) {
    ASSERT_EQ(IO_SetDllMode(2), 1);
    // Not calibrating: the prepare is left unanswered (the strict generator gives up).
    m_sim->setEchoTimeout(300ms);
    std::string why;
    ASSERT_TRUE(m_sim->startExposure(100, &why)) << why;
    ASSERT_TRUE(m_sim->waitHandshakeDone(5000ms));
    EXPECT_TRUE(m_sim->lastHandshake().aborted);
    EXPECT_EQ(m_sim->countCommand("PR1"), 0u);
    EXPECT_EQ(m_link->m_ReplyFlags[14], 1);  // still set for whoever looks next

    // Calibrating: echoes and notifications, the generator state left alone, and after
    // the exposure the calibration values are asked for.
    m_sim->sendMessage("CA1");
    ASSERT_TRUE(waitUntil([&] { return m_link->m_pData->calibMode == 1; }, 2000ms));
    m_link->m_ReplyFlags[14] = 0;
    m_sim->setState(2);
    const int stateBefore = m_link->m_nGenState;
    m_sim->setEchoTimeout(1000ms);
    const std::size_t from = notices().size();
    ASSERT_TRUE(m_sim->startExposure(100, &why)) << why;
    ASSERT_TRUE(m_sim->waitHandshakeDone(5000ms));
    EXPECT_TRUE(m_sim->lastHandshake().completed);
    // In order; the calibration values' "MC" answer may add its own (1, 1).
    std::size_t next = from;
    for (Code code : {Code{2, 2}, Code{2, 3}, Code{1, 2}, Code{1, 1}, Code{2, 1}}) {
        const int at = waitNotice(code.first, code.second, 2000ms, next);
        ASSERT_GE(at, 0) << "no notification (" << code.first << ", " << code.second << ")";
        next = static_cast<std::size_t>(at) + 1;
    }
    EXPECT_EQ(m_link->m_nGenState, stateBefore);
    EXPECT_TRUE(m_sim->waitForCommand("MC? FC? KV? MS?", 1000ms));
}

}  // namespace
}  // namespace kestro::itest
