#include "link/reply_ledger.h"

namespace kestro {

std::uint32_t ReplyLedger::settle(Slot& slot, int kind) noexcept {
    const Clock::time_point now = Clock::now();
    while (!slot.owedUntil.empty() && slot.owedUntil.front() <= now) slot.owedUntil.pop_front();
    const std::uint32_t current = arrivals(kind);
    std::uint32_t fresh = current - slot.seen;
    slot.seen = current;
    while (fresh > 0 && !slot.owedUntil.empty()) {
        slot.owedUntil.pop_front();
        --fresh;
        m_absorbed.fetch_add(1, std::memory_order_relaxed);
    }
    return fresh;
}

ReplyLedger::Exchange::Exchange(ReplyLedger& ledger, int kind)
    : m_ledger(ledger),
      m_kind(kind),
      m_lock(ledger.m_slots[static_cast<std::size_t>(kind)].lock),
      m_slot(ledger.m_slots[static_cast<std::size_t>(kind)]) {
    // Whatever arrived while no exchange of this kind ran either settles an owed
    // answer or was the generator speaking by itself: neither answers this exchange.
    m_ledger.settle(m_slot, m_kind);
}

bool ReplyLedger::Exchange::owing(Clock::time_point* until) noexcept {
    m_ledger.settle(m_slot, m_kind);
    if (m_slot.owedUntil.empty()) return false;
    if (until) *until = m_slot.owedUntil.front();
    return true;
}

void ReplyLedger::Exchange::sent() noexcept {
    if (m_sent < kMaxFrames) m_sentAt[m_sent++] = Clock::now();
}

bool ReplyLedger::Exchange::takeAnswer() noexcept {
    if (m_answered) return true;
    if (m_ledger.settle(m_slot, m_kind) == 0) return false;
    m_answered = true;
    return true;
}

ReplyLedger::Exchange::~Exchange() {
    // Every frame that went out is answered once; the answer taken (if any) is counted
    // against the first of them, the later ones are owed.
    for (int i = m_answered ? 1 : 0; i < m_sent; ++i) m_slot.owedUntil.push_back(m_sentAt[i] + kOwedExpiry);
}

int ReplyLedger::owed(int kind) {
    if (!valid(kind)) return 0;
    Slot& slot = m_slots[static_cast<std::size_t>(kind)];
    std::lock_guard<std::mutex> lock(slot.lock);
    settle(slot, kind);
    return static_cast<int>(slot.owedUntil.size());
}

}  // namespace kestro
