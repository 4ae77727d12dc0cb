#pragma once
// ExchangeLock: one exchange with the generator on the wire at a time (a command and
// the wait for its answer, or one data-bag frame and the wait for its reply), handed
// out in the order it was asked for. A command issued while a packet operation runs
// therefore goes out between two of the operation's exchanges, waiting at most for the
// exchange in progress, and the parser is never in the wrong mode for its answer.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kestro {

class ExchangeLock {
public:
    void lock() {
        std::unique_lock<std::mutex> guard(m_mutex);
        const std::uint64_t ticket = m_next++;
        m_turn.wait(guard, [&] { return m_serving == ticket; });
    }
    void unlock() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            ++m_serving;
        }
        m_turn.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_turn;
    std::uint64_t m_next = 0;
    std::uint64_t m_serving = 0;
};

}  // namespace kestro
