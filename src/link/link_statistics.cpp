#include "link/link_statistics.h"

namespace kestro {

void LinkStatistics::snapshot(KestroLinkStatistics& out, std::uint64_t lateAnswers, std::uint64_t reconnections) const {
    auto get = [](const Counter& c) { return c.load(std::memory_order_relaxed); };
    out.framesSent = get(framesSent);
    out.acknowledged = get(acknowledged);
    out.timedOut = get(timedOut);
    out.retried = get(retried);
    out.naks = get(naks);
    out.checksumErrors = get(checksumErrors);
    out.resyncs = get(resyncs);
    out.droppedUnits = get(droppedUnits);
    out.lateAnswers = lateAnswers;
    out.reconnections = reconnections;
    for (std::size_t i = 0; i < roundTrip.size(); ++i) out.roundTripUs[i] = get(roundTrip[i]);
}

std::string LinkStatistics::summary(std::uint64_t lateAnswers, std::uint64_t reconnections) const {
    KestroLinkStatistics s{};
    snapshot(s, lateAnswers, reconnections);
    std::string line = "Link statistics: sent " + std::to_string(s.framesSent) + ", acknowledged " +
                       std::to_string(s.acknowledged) + ", timed out " + std::to_string(s.timedOut) + ", retried " +
                       std::to_string(s.retried) + ", NAK " + std::to_string(s.naks) + ", checksum errors " +
                       std::to_string(s.checksumErrors) + ", resynchronisations " + std::to_string(s.resyncs) +
                       ", dropped units " + std::to_string(s.droppedUnits) + ", late answers " +
                       std::to_string(s.lateAnswers) + ", reconnections " + std::to_string(s.reconnections) +
                       ", round trip us";
    for (std::size_t i = 0; i < roundTrip.size(); ++i) {
        line += i < kBucketBoundsUs.size() ? " <" + std::to_string(kBucketBoundsUs[i]) : std::string(" more");
        line += ":" + std::to_string(s.roundTripUs[i]);
    }
    return line;
}

}  // namespace kestro
