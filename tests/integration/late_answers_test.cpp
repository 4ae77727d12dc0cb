// A slow generator: answers that arrive after their sender gave up must not be taken
// as the answers of later commands of the same kind.

#include "session.h"

namespace kestro::itest {
namespace {

class LateAnswers : public Session {
protected:
    void SetUp() override {
        Session::SetUp();
        if (HasFatalFailure()) return;
        m_sim->setState(2);
        ASSERT_EQ(initGenerator(), 1);
    }
};

TEST_F(LateAnswers, ACallReportsTheValueItSetOrFailsNeverThePreviousOne) {
    struct Case {
        int delayMs;
        bool mostSucceed;  // the answers come within the sender's second attempt
    };
    const Case cases[] = {{120, true}, {250, false}, {600, false}};
    int kv = 60;
    for (const Case& c : cases) {
        SCOPED_TRACE("answers " + std::to_string(c.delayMs) + " ms late");
        m_sim->setSlow(Ms(c.delayMs));
        int succeeded = 0;
        for (int i = 0; i < 8; ++i, ++kv) {
            const int result = IO_RadKVValue(0, kv);
            if (result == -1) continue;
            ++succeeded;
            EXPECT_EQ(result, kv) << "call " << i;
            EXPECT_EQ(m_sim->value("KV"), kv);
        }
        if (c.mostSucceed) {
            EXPECT_GE(succeeded, 6);
        }
    }
    // Once the line is fast again the owed answers expire or arrive, and every call
    // is answered correctly.
    m_sim->setSlow(Ms(0));
    for (int i = 0; i < 5; ++i, ++kv) EXPECT_EQ(IO_RadKVValue(0, kv), kv);
    EXPECT_GT(m_link->m_ReplyLedger.lateAnswersAbsorbed(), 0u);

    // The statistics export tells the same story.
    KestroLinkStatistics stats{};
    ASSERT_EQ(KestroGetLinkStatistics(&stats), 1);
    EXPECT_EQ(stats.lateAnswers, m_link->m_ReplyLedger.lateAnswersAbsorbed());
    EXPECT_GT(stats.timedOut, 0u);
    EXPECT_GT(stats.retried, 0u);
    EXPECT_GE(stats.framesSent, stats.acknowledged + stats.retried);
    std::uint64_t rounds = 0;
    for (std::uint64_t n : stats.roundTripUs) rounds += n;
    EXPECT_EQ(rounds, stats.acknowledged);
    // The slow answers show up at 10 ms and beyond (measured from the frame answered).
    std::uint64_t slow = 0;
    for (int i = 7; i < KESTRO_RTT_BUCKETS; ++i) slow += stats.roundTripUs[i];
    EXPECT_GT(slow, 0u);
    EXPECT_EQ(KestroGetLinkStatistics(nullptr), 0);
}

TEST_F(LateAnswers, AnswersThatNeverCameDoNotKeepLaterCallsFailing) {
    // Frames swallowed by the line leave answers owed that will never arrive.
    ASSERT_TRUE(m_sim->setFault("silence", true));
    for (int kv = 70; kv < 73; ++kv) EXPECT_EQ(IO_RadKVValue(0, kv), -1);
    ASSERT_TRUE(m_sim->setFault("silence", false));
    // Back-to-back calls: the first waits out what is owed, none fails.
    const auto started = std::chrono::steady_clock::now();
    for (int kv = 80; kv < 86; ++kv) EXPECT_EQ(IO_RadKVValue(0, kv), kv);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
}

}  // namespace
}  // namespace kestro::itest
