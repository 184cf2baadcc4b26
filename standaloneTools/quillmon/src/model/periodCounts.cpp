#include "periodCounts.h"

#include <algorithm>

#include "latencyHistogram.h"

namespace quillModel {

namespace {

// A count that only grows, less its value at the previous period. A writer
// whose slot was given away and who came back counts from nothing again.
uint64_t Since(uint64_t now, uint64_t before)
{
    return now >= before ? now - before : now;
}

} // namespace

Period PeriodBaseline::Advance(const std::vector<ReaderSnapshot>& readers, double seconds)
{
    Period period;
    period.seconds = seconds;
    std::map<std::pair<size_t, std::string>, StreamPeriod> streams;
    for (size_t r = 0; r < readers.size(); ++r) {
        const auto& reader = readers[r];
        ReaderPeriod& readerPeriod = period.readers.emplace_back();
        for (const auto& stream : reader.streams) {
            const auto key = std::make_pair(r, stream.writer);
            const StreamPeriod& before = streams_[key];
            StreamPeriod added{Since(stream.samples, before.samples), stream.latencyCounts};
            if (before.latencyCounts.size() == added.latencyCounts.size()) {
                for (size_t i = 0; i < added.latencyCounts.size(); ++i) {
                    added.latencyCounts[i] = Since(added.latencyCounts[i], before.latencyCounts[i]);
                }
            }
            readerPeriod.streams.push_back(std::move(added));
            streams[key] = StreamPeriod{stream.samples, stream.latencyCounts};
        }
        uint64_t& before = readerSamples_[r];
        readerPeriod.samples = Since(reader.Samples(), before);
        before = reader.Samples();
    }
    streams_.swap(streams);
    return period;
}

std::optional<PeriodLatency> LatencyOfPeriod(const std::vector<uint64_t>& counts, int64_t minNs, int64_t maxNs)
{
    uint64_t count = 0;
    size_t lowest = counts.size();
    size_t highest = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] != 0) {
            count += counts[i];
            lowest = std::min(lowest, i);
            highest = i;
        }
    }
    if (count == 0) {
        return std::nullopt;
    }
    const uint64_t low = minNs > 0 ? static_cast<uint64_t>(minNs) : 0;
    const uint64_t high = std::max(low, maxNs > 0 ? static_cast<uint64_t>(maxNs) : 0);
    PeriodLatency latency;
    latency.count = count;
    latency.min = std::clamp(latencyBuckets::LowerBound(lowest), low, high);
    latency.max = std::clamp(latencyBuckets::UpperBound(highest), low, high);
    latency.p50 = Quantile(counts, 0.5, latency.min, latency.max);
    latency.p99 = Quantile(counts, 0.99, latency.min, latency.max);
    return latency;
}

} // namespace quillModel
