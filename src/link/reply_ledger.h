#pragma once
// ReplyLedger: which generator answers of each command kind are still owed to attempts
// that gave up waiting for them. The generator answers every command it received, also
// one whose sender already timed out; such a late answer must not be taken as the
// answer to the next command of the same kind. The acknowledged senders run one
// exchange per kind at a time through this ledger. An exchange that finds answers
// still owed waits for them (or for their expiry) before its first frame goes out, so
// every arrival after its frame is the answer to it: a late answer is absorbed, and an
// attempt whose frame or answer was lost costs the next exchange at most the expiry
// instead of making it take a wrong answer.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>

namespace kestro {

class ReplyLedger {
public:
    static constexpr int kKinds = 300;
    // How long after its frame went out an answer is still owed. Beyond it the
    // generator is taken to have dropped the command (or its answer); a generator that
    // answers later still cannot be told from one that speaks by itself.
    static constexpr std::chrono::milliseconds kOwedExpiry{1000};

    using Clock = std::chrono::steady_clock;

private:
    struct Slot {
        std::mutex lock;         // one exchange per kind at a time
        std::uint32_t seen = 0;  // arrivals accounted for
        std::deque<Clock::time_point> owedUntil;  // oldest first
    };

public:

    // The parser saw a message (or data-bag reply) of this kind.
    void noteArrival(int kind) noexcept {
        if (valid(kind)) m_arrivals[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_release);
    }
    std::uint32_t arrivals(int kind) const noexcept {
        return m_arrivals[static_cast<std::size_t>(kind)].load(std::memory_order_acquire);
    }

    // One acknowledged exchange of one kind; holds that kind for its lifetime.
    class Exchange {
    public:
        Exchange(ReplyLedger& ledger, int kind);
        ~Exchange();
        Exchange(const Exchange&) = delete;
        Exchange& operator=(const Exchange&) = delete;

        // Answers are still owed to earlier attempts; when, the expiry of the oldest.
        bool owing(Clock::time_point* until) noexcept;
        // A frame of this exchange went out.
        void sent() noexcept;
        // Accounts for the arrivals since the last look: the owed answers are absorbed
        // first; true when one is left over, which is this exchange's answer.
        bool takeAnswer() noexcept;
        // There is an arrival not looked at yet.
        bool pending() const noexcept { return m_ledger.arrivals(m_kind) != m_slot.seen; }

    private:
        ReplyLedger& m_ledger;
        int m_kind;
        std::unique_lock<std::mutex> m_lock;
        Slot& m_slot;
        static constexpr int kMaxFrames = 8;
        Clock::time_point m_sentAt[kMaxFrames]{};
        int m_sent = 0;
        bool m_answered = false;
    };

    // Answers absorbed as late ones so far (all kinds).
    std::uint64_t lateAnswersAbsorbed() const noexcept { return m_absorbed.load(std::memory_order_relaxed); }
    // Answers still owed for a kind (for tests and statistics).
    int owed(int kind);

    static bool valid(int kind) noexcept { return kind >= 0 && kind < kKinds; }

private:

    // Accounts for the arrivals since the last look against the owed answers.
    // Returns the arrivals left over (not owed to anyone).
    std::uint32_t settle(Slot& slot, int kind) noexcept;

    std::array<std::atomic<std::uint32_t>, kKinds> m_arrivals{};
    std::array<Slot, kKinds> m_slots;
    std::atomic<std::uint64_t> m_absorbed{0};
};

}  // namespace kestro
