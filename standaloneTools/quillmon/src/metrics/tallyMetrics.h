// The readers' tallies as Prometheus metric families, made at each scrape
// from the same snapshots the report writes: per writer stream its counts
// and its latency histogram, per reader its status events and matched
// writers.
//
// The number of series stays bounded. A writer that departed (unmatched or
// liveliness lost) keeps its series for DEPARTED_GRACE, so that the last
// scrapes still see its final counts; then its counts move into the
// reader's writer="unlisted" series, with those of the writers beyond the
// report's per-reader cap. A reader's sum over writers therefore never
// goes back.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include "report/readerTally.h"

namespace quillMetrics {

// The writer label of the series that sums the writers without their own.
inline constexpr const char* UNLISTED_WRITER = "unlisted";

// The histogram's `le` bounds: every power of two of nanoseconds, less one,
// from 1 us to 17 s. They are bounds of the tally's own buckets, so each
// cumulative count is exact.
std::vector<double> LatencyBoundsSeconds();

class TallyMetrics : public prometheus::Collectable
{
public:
    static constexpr std::chrono::seconds DEPARTED_GRACE{300};

    explicit TallyMetrics(std::vector<std::shared_ptr<quillReport::ReaderTally>> tallies,
                          std::chrono::steady_clock::duration grace = DEPARTED_GRACE);

    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    using WriterId = std::pair<size_t, std::string>; // reader, GUID text

    // Whether the stream's series is past its grace; tracks departures.
    bool Dropped(const WriterId& id, const quillReport::StreamSnapshot& stream,
                 std::chrono::steady_clock::time_point now) const;

    const std::vector<std::shared_ptr<quillReport::ReaderTally>> tallies_;
    const std::chrono::steady_clock::duration grace_;
    // Scrapes may come on several server threads.
    mutable std::mutex mutex_;
    mutable std::map<WriterId, std::chrono::steady_clock::time_point> departedSince_;
    mutable std::set<WriterId> dropped_;
};

} // namespace quillMetrics
