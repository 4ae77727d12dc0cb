#pragma once
// Time for sequences with long prescribed waits. Code that waits for the generator
// (import and export, tube files, ...) takes its sleeps and its "now" from a Clock, so
// that tests can hand in a FakeClock and run minutes of waits in microseconds.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace kestro {

class Clock {
public:
    using Duration = std::chrono::milliseconds;
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
    virtual void sleepFor(Duration duration) = 0;

    void sleepMs(int milliseconds) {
        if (milliseconds > 0) sleepFor(Duration(milliseconds));
    }
};

// The steady clock and real sleeps.
class SystemClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    void sleepFor(Duration duration) override { std::this_thread::sleep_for(duration); }
};

// The process's real clock.
inline Clock& systemClock() {
    static SystemClock clock;
    return clock;
}

// A clock that only moves when someone sleeps on it (or a test advances it). Safe to
// read from any thread.
class FakeClock final : public Clock {
public:
    TimePoint now() const override { return TimePoint(Duration(m_nowMs.load())); }
    void sleepFor(Duration duration) override {
        m_nowMs += duration.count();
        m_sleptMs += duration.count();
        ++m_sleeps;
    }
    void advance(Duration duration) { m_nowMs += duration.count(); }

    // Total time slept on this clock and the number of sleeps.
    std::int64_t sleptMs() const { return m_sleptMs.load(); }
    std::int64_t sleeps() const { return m_sleeps.load(); }

private:
    std::atomic<std::int64_t> m_nowMs{1'000'000};
    std::atomic<std::int64_t> m_sleptMs{0};
    std::atomic<std::int64_t> m_sleeps{0};
};

}  // namespace kestro
