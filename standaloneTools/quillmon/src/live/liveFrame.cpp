#include "liveFrame.h"

#include <algorithm>

#include "lumo/Format.h"
#include "model/latencyHistogram.h"

namespace quillLive {

namespace {

// Counts that only grow, taken one from the other bucket by bucket; a
// slot that a new writer took starts from nothing.
std::vector<uint64_t> Since(const std::vector<uint64_t>& now, const std::vector<uint64_t>& before)
{
    std::vector<uint64_t> period(now);
    if (before.size() != now.size()) {
        return period;
    }
    for (size_t i = 0; i < now.size(); ++i) {
        period[i] = now[i] >= before[i] ? now[i] - before[i] : now[i];
    }
    return period;
}

void AddCounts(std::vector<uint64_t>& sum, const std::vector<uint64_t>& counts)
{
    if (sum.size() < counts.size()) {
        sum.resize(counts.size(), 0);
    }
    for (size_t i = 0; i < counts.size(); ++i) {
        sum[i] += counts[i];
    }
}

uint64_t Restarts(const quillModel::StreamSnapshot& stream)
{
    return stream.backwardJumps + (stream.restartOf.empty() ? 0 : 1);
}

void AddStream(LiveRow& row, const quillModel::StreamSnapshot& stream)
{
    row.samples += stream.samples;
    row.missingIds += stream.missingIds;
    row.middlewareLost += stream.middlewareLost;
    row.publisherSkipped += stream.publisherSkipped;
    row.duplicates += stream.duplicates;
}

// As the report's period latency has them.
void SetPercentiles(LiveRow& row, const std::vector<uint64_t>& period, int64_t minNs, int64_t maxNs)
{
    if (const auto latency = quillModel::LatencyOfPeriod(period, minNs, maxNs)) {
        row.p50Ns = latency->p50;
        row.p99Ns = latency->p99;
    }
}

bool ReaderFault(const quillModel::ReaderSnapshot& reader)
{
    return std::any_of(std::begin(quillModel::ALL_CONDITIONS), std::end(quillModel::ALL_CONDITIONS),
                       [&](quillModel::Condition condition) { return quillModel::Happened(condition, reader); });
}

} // namespace

bool WriterFault(const quillModel::StreamSnapshot& stream)
{
    return stream.missingIds != 0 || stream.duplicates != 0 || Restarts(stream) != 0 || stream.middlewareLost != 0 ||
           stream.checksFailed != 0;
}

std::vector<uint64_t> LiveHistory::Advance(const std::string& key, LiveRow& row,
                                           const std::vector<uint64_t>& latencyCounts, double seconds,
                                           std::map<std::string, Before>& next, const quillModel::StreamPeriod* given)
{
    Before& kept = next[key];
    if (const auto found = before_.find(key); found != before_.end()) {
        kept = std::move(found->second);
    }
    // A departed writer's slot taken by a new one counts from nothing.
    const uint64_t samplesBefore = kept.samples <= row.samples ? kept.samples : 0;
    const uint64_t added = given != nullptr ? given->samples : row.samples - samplesBefore;
    row.rate = seconds > 0.0 ? static_cast<double>(added) / seconds : 0.0;
    kept.trend.push_back(row.rate);
    while (kept.trend.size() > TREND_PERIODS) {
        kept.trend.pop_front();
    }
    row.trend.assign(kept.trend.begin(), kept.trend.end());
    auto period = given != nullptr ? given->latencyCounts : Since(latencyCounts, kept.latencyCounts);
    kept.samples = row.samples;
    kept.latencyCounts = latencyCounts;
    return period;
}

LiveFrame LiveHistory::Update(const std::vector<quillModel::ReaderSnapshot>& readers, double runSeconds,
                              quillModel::Verdict verdict, const quillModel::Period* period)
{
    LiveFrame frame;
    frame.runSeconds = runSeconds;
    frame.verdict = std::move(verdict);
    const double seconds = period != nullptr ? period->seconds : runSeconds - beforeSeconds_;
    std::map<std::string, Before> next;
    for (size_t r = 0; r < readers.size(); ++r) {
        const auto& reader = readers[r];
        const quillModel::ReaderPeriod* given = period != nullptr ? &period->readers.at(r) : nullptr;
        const std::string readerKey = lumo::format("{}\n{}", reader.topic, reader.readerIndex);
        frame.unlistedWriters += reader.unlistedWriters;

        LiveRow total;
        total.reader = true;
        total.topic = reader.topic;
        total.readerIndex = reader.readerIndex;
        total.name = reader.topic;
        total.restarts = reader.restarts;
        AddStream(total, reader.unlisted);
        total.restarts += reader.unlisted.backwardJumps;
        total.fault = ReaderFault(reader);
        std::vector<uint64_t> readerLatency; // the writers' counts together
        quillModel::StreamPeriod readerGiven{given != nullptr ? given->samples : 0, {}};
        int64_t minNs = INT64_MAX;
        int64_t maxNs = 0;

        std::vector<LiveRow> writers;
        for (size_t i = 0; i < reader.streams.size(); ++i) {
            const auto& stream = reader.streams[i];
            LiveRow row;
            row.topic = reader.topic;
            row.readerIndex = reader.readerIndex;
            row.guid = stream.writer;
            row.name = lumo::format("writer {}", i + 1);
            if (!stream.restartOf.empty()) {
                const auto of = std::find_if(reader.streams.begin(), reader.streams.end(),
                                             [&](const auto& other) { return other.writer == stream.restartOf; });
                row.name += of != reader.streams.end()
                                ? lumo::format(" (restart of {})", of - reader.streams.begin() + 1)
                                : std::string(" (a restart)");
            }
            row.presence = quillModel::PresenceName(stream.presence);
            AddStream(row, stream);
            row.restarts = Restarts(stream);
            row.fault = WriterFault(stream);
            AddStream(total, stream);
            total.restarts += stream.backwardJumps;

            if (stream.latencySamples != 0) {
                minNs = std::min(minNs, stream.latencyMinNs);
                maxNs = std::max(maxNs, stream.latencyMaxNs);
            }
            AddCounts(readerLatency, stream.latencyCounts);
            const quillModel::StreamPeriod* streamGiven = given != nullptr ? &given->streams.at(i) : nullptr;
            if (streamGiven != nullptr) {
                AddCounts(readerGiven.latencyCounts, streamGiven->latencyCounts);
            }
            SetPercentiles(row,
                           Advance(readerKey + "\n" + stream.writer, row, stream.latencyCounts, seconds, next,
                                   streamGiven),
                           stream.latencyMinNs, stream.latencyMaxNs);
            writers.push_back(std::move(row));
        }
        // Every writer still matched, those past the listed ones too (the
        // metrics' matched writers).
        const uint64_t present = reader.events.matched > reader.events.unmatched
                                     ? reader.events.matched - reader.events.unmatched
                                     : 0;
        total.presence = lumo::format("{} writer{}", present, present == 1 ? "" : "s");
        SetPercentiles(total,
                       Advance(readerKey, total, readerLatency, seconds, next,
                               given != nullptr ? &readerGiven : nullptr),
                       minNs, maxNs);
        frame.rows.push_back(std::move(total));
        for (auto& writer : writers) {
            frame.rows.push_back(std::move(writer));
        }
    }
    before_ = std::move(next);
    beforeSeconds_ = runSeconds;
    return frame;
}

} // namespace quillLive
