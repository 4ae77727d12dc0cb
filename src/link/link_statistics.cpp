#include "link/link_statistics.h"

#include <sstream>

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
    std::ostringstream line;
    line << "Link statistics: sent " << s.framesSent << ", acknowledged " << s.acknowledged << ", timed out "
         << s.timedOut << ", retried " << s.retried << ", NAK " << s.naks << ", checksum errors " << s.checksumErrors
         << ", resynchronisations " << s.resyncs << ", dropped units " << s.droppedUnits << ", late answers "
         << s.lateAnswers << ", reconnections " << s.reconnections << ", round trip us";
    for (std::size_t i = 0; i < roundTrip.size(); ++i) {
        if (i < kBucketBoundsUs.size())
            line << " <" << kBucketBoundsUs[i];
        else
            line << " more";
        line << ":" << s.roundTripUs[i];
    }
    return line.str();
}

}  // namespace kestro
