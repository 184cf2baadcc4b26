// What one period added to each reader and writer stream: the difference of
// two snapshots of the same tallies. The report's records are made of it,
// and so is the live view's last screen, which therefore shows the rates and
// latencies of the report's final records.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "readerTally.h"

namespace quillModel {

struct StreamPeriod
{
    uint64_t samples = 0;
    std::vector<uint64_t> latencyCounts;
};

struct ReaderPeriod
{
    uint64_t samples = 0;              // the unlisted writers' too
    std::vector<StreamPeriod> streams; // as the snapshot's streams
};

struct Period
{
    double seconds = 0.0;
    std::vector<ReaderPeriod> readers; // as the snapshots' readers

    // Samples per second over the period; 0 for a period of no time.
    double Rate(uint64_t samples) const { return seconds > 0.0 ? static_cast<double>(samples) / seconds : 0.0; }
};

// Keeps the counts the next period is taken against.
class PeriodBaseline
{
public:
    // What `readers` added since the previous call (since nothing for the
    // first), over `seconds`.
    Period Advance(const std::vector<ReaderSnapshot>& readers, double seconds);

private:
    // By writer, not by slot: a departed writer's slot may hold another one now.
    std::map<size_t, uint64_t> readerSamples_;
    std::map<std::pair<size_t, std::string>, StreamPeriod> streams_;
};

// The latencies counted in one period. Its extremes are known to a bucket:
// the bounds of its lowest and highest non-empty bucket, kept within the
// stream's own extremes (`minNs`, `maxNs`).
struct PeriodLatency
{
    uint64_t count = 0;
    uint64_t min = 0;
    uint64_t p50 = 0;
    uint64_t p99 = 0;
    uint64_t max = 0;
};
// Nothing when the period counted no latency.
std::optional<PeriodLatency> LatencyOfPeriod(const std::vector<uint64_t>& counts, int64_t minNs, int64_t maxNs);

} // namespace quillModel
