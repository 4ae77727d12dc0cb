#pragma once
// Counters of the link's traffic, kept without locks: every update is one relaxed
// atomic increment on the path it counts. A snapshot copies them out (each counter is
// exact, the set is not taken at one instant).

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include <kestro/kestro.h>

namespace kestro {

class LinkStatistics {
public:
    using Counter = std::atomic<std::uint64_t>;

    // Upper bounds (exclusive, microseconds) of the round-trip buckets; the last bucket
    // takes everything above the last bound.
    static constexpr std::array<std::uint64_t, KESTRO_RTT_BUCKETS - 1> kBucketBoundsUs = {
        100, 250, 500, 1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000};

    Counter framesSent{0};        // command and data frames written whole
    Counter acknowledged{0};      // acknowledged exchanges that got their answer
    Counter timedOut{0};          // attempts whose answer did not come in time
    Counter retried{0};           // frames sent again after an attempt timed out
    Counter naks{0};              // NAK bytes received
    Counter checksumErrors{0};    // messages and data-bag replies with a wrong checksum
    Counter resyncs{0};           // unit starts refused (stray byte, bad header, over-long)
    Counter droppedUnits{0};      // units abandoned half-way (silence inside a unit)
    std::array<Counter, KESTRO_RTT_BUCKETS> roundTrip{};

    static void add(Counter& counter) { counter.fetch_add(1, std::memory_order_relaxed); }
    void addRoundTrip(std::chrono::steady_clock::duration elapsed) {
        const auto us = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
        std::size_t bucket = 0;
        while (bucket < kBucketBoundsUs.size() && us >= kBucketBoundsUs[bucket]) ++bucket;
        add(roundTrip[bucket]);
    }

    // Copies the counters; lateAnswers and reconnections are kept elsewhere.
    void snapshot(KestroLinkStatistics& out, std::uint64_t lateAnswers, std::uint64_t reconnections) const;
    // One line for the trace.
    std::string summary(std::uint64_t lateAnswers, std::uint64_t reconnections) const;
};

}  // namespace kestro
