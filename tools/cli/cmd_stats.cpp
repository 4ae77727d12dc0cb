// The link statistics of the opened generator: frames, answers, time-outs, faults seen
// on the line, and the round-trip histogram.

#include <string>

#include <kestro/kestro.h>

#include "command.h"
#include "session.h"

namespace kestro::cli {

namespace {

std::string checkStats(const std::vector<std::string>& args) {
    if (args.empty()) return "";
    long n = 0;
    if (args.size() == 2 && args[0] == "--queries" && parseInteger(args[1], n) && n >= 0 && n <= 100000) return "";
    return "usage: stats [--queries N] (N from 0 to 100000)";
}

int runStats(Context& c) {
    Api& api = c.session->api();
    auto get = reinterpret_cast<int (*)(KestroLinkStatistics*)>(api.symbol("KestroGetLinkStatistics"));
    if (!get) return c.out.fail(kExitRefused, "this library keeps no link statistics");
    long queries = 0;
    if (c.args.size() == 2) parseInteger(c.args[1], queries);
    long failed = 0;
    for (long i = 0; i < queries; ++i)
        if (api.radKV && api.radKV(1, 0) == -1) ++failed;
    KestroLinkStatistics s{};
    if (get(&s) != 1) return c.out.fail(kExitRefused, "the library has no link");

    auto row = [&](const char* key, const char* label, std::uint64_t value) {
        c.out.field(key, label, Json::integer(static_cast<long long>(value)), std::to_string(value));
    };
    if (queries > 0) row("queriesFailed", "kV queries failed", static_cast<std::uint64_t>(failed));
    row("framesSent", "frames sent", s.framesSent);
    row("acknowledged", "acknowledged", s.acknowledged);
    row("timedOut", "timed out", s.timedOut);
    row("retried", "retried", s.retried);
    row("naks", "NAKs", s.naks);
    row("checksumErrors", "checksum errors", s.checksumErrors);
    row("resyncs", "resynchronisations", s.resyncs);
    row("droppedUnits", "dropped units", s.droppedUnits);
    row("lateAnswers", "late answers absorbed", s.lateAnswers);
    row("reconnections", "reconnections", s.reconnections);

    static const char* const kBounds[KESTRO_RTT_BUCKETS] = {"<100us", "<250us", "<500us", "<1ms",  "<2.5ms", "<5ms",
                                                           "<10ms",  "<25ms",  "<50ms",  "<100ms", "<250ms", ">=250ms"};
    if (c.out.json()) {
        Json histogram = Json::object();
        for (int i = 0; i < KESTRO_RTT_BUCKETS; ++i)
            histogram.set(kBounds[i], Json::integer(static_cast<long long>(s.roundTripUs[i])));
        c.out.doc().set("roundTrip", std::move(histogram));
    } else {
        std::string line = "round trip ";
        for (int i = 0; i < KESTRO_RTT_BUCKETS; ++i)
            line += std::string(" ") + kBounds[i] + " " + std::to_string(s.roundTripUs[i]);
        c.out.say(line);
    }
    return kExitDone;
}

}  // namespace

KESTRO_CLI_COMMAND(stats) = {
    "stats", "the link statistics: frames, answers, time-outs, line faults, round trips", "[--queries N]",
    "  Opens the generator, optionally asks it for the kV N times, and prints the counters the\n"
    "  library keeps for the link since it was opened.\n",
    Needs::Generator, checkStats, runStats};

}  // namespace kestro::cli
