// The readers' tallies as Prometheus metric families, made at each scrape
// from the same snapshots the report writes: per writer stream its counts
// and its latency histogram, per reader its status events and matched
// writers.
//
// The number of series stays bounded: per reader at most the tally's own
// streams (ReaderTally::MAX_STREAMS, the report's writers), and a departed
// writer (unmatched or liveliness lost) keeps its series only until a scrape
// has shown its final counts, or for DEPARTED_GRACE when nothing scrapes.
// Then its counts are folded into the reader's writer="unlisted" series,
// for good, with those of the writers beyond the cap: a reader's sum over
// writers, and each series, therefore never goes back.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <prometheus/metric_family.h>

#include "model/readerTally.h"
#include "model/tallyList.h"

namespace quillMetrics {

// The writer label of the series that sums the writers without their own.
inline constexpr const char* UNLISTED_WRITER = "unlisted";

// The histogram's `le` bounds: every power of two of nanoseconds, less one,
// from 1 us to 17 s. They are bounds of the tally's own buckets, so each
// cumulative count is exact.
std::vector<double> LatencyBoundsSeconds();

class TallyMetrics
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds DEPARTED_GRACE{300};

    explicit TallyMetrics(std::shared_ptr<const quillModel::TallyList> tallies, Clock::duration grace = DEPARTED_GRACE);

    // A scrape's families, from the tallies' snapshots now; `shown`: the
    // client reads them (a HEAD request does not).
    std::vector<prometheus::MetricFamily> Collect(bool shown = true);
    // Between scrapes: notes departures and folds those past the grace.
    void Track();

    // The same on given snapshots, at `now`.
    std::vector<prometheus::MetricFamily> Collect(const std::vector<quillModel::ReaderSnapshot>& readers,
                                                  Clock::time_point now, bool shown = true);
    void Track(const std::vector<quillModel::ReaderSnapshot>& readers, Clock::time_point now);

    Clock::duration Grace() const { return grace_; }

private:
    using WriterId = std::pair<size_t, std::string>; // reader, GUID text

    // A departed writer: since when, and whether a scrape showed it since.
    struct Departure
    {
        Clock::time_point since;
        bool shown = false;
    };

    std::vector<quillModel::ReaderSnapshot> Snapshots() const;
    // Whether the stream's counts belong to the unlisted ones now; `shown`:
    // whether a client reads the result.
    bool Folded(const WriterId& id, const quillModel::StreamSnapshot& stream, Clock::time_point now, bool shown);
    // Forgets the writers whose slot the tally gave to another.
    void Forget(const std::set<WriterId>& present);

    const std::shared_ptr<const quillModel::TallyList> tallies_;
    const Clock::duration grace_;
    // Scrapes come on the server's thread, tracking on another; each
    // uses its snapshots before a later one is taken.
    std::mutex inOrder_;
    std::mutex mutex_;
    std::map<WriterId, Departure> departed_;
    std::set<WriterId> folded_;
};

} // namespace quillMetrics
