// What the live view shows, made from the model's snapshots once a period:
// one row per reader and one per writer stream, with the figures of the
// last period (rate, latency) beside the run's counts. No terminal here.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model/failOn.h"
#include "model/periodCounts.h"
#include "model/readerTally.h"

namespace quillLive {

struct LiveRow
{
    bool reader = false; // the reader's totals; else one of its writers
    std::string topic;
    uint32_t readerIndex = 0;
    std::string name;     // the topic, or "writer 2 (restart of 1)"
    std::string guid;     // a writer's GUID; empty for a reader
    std::string presence; // a writer's "alive", "not-alive", "unmatched"; a reader's "3 writers"
    double rate = 0.0;    // samples/s over the last period
    uint64_t samples = 0;
    uint64_t missingIds = 0;
    uint64_t middlewareLost = 0;
    uint64_t publisherSkipped = 0;
    uint64_t duplicates = 0;
    uint64_t restarts = 0;
    // Of the latencies measured in the last period; none when none was.
    std::optional<uint64_t> p50Ns;
    std::optional<uint64_t> p99Ns;
    std::vector<double> trend; // the rates of the last periods, oldest first
    bool fault = false;        // something went wrong here (see FaultsOf)
};

struct LiveFrame
{
    double runSeconds = 0.0;
    quillModel::Verdict verdict; // so far, or the run's own at the end
    uint64_t unlistedWriters = 0;
    std::vector<LiveRow> rows; // each reader's row, then its writers', in the model's order
};

// Keeps what the rates and the period's latencies are taken against.
class LiveHistory
{
public:
    static constexpr size_t TREND_PERIODS = 30;

    // The frame of `readers` at `runSeconds`: rates and latencies since the
    // previous call (since 0 s for the first), or those of `period` when
    // given (the report's final records', for the last screen).
    LiveFrame Update(const std::vector<quillModel::ReaderSnapshot>& readers, double runSeconds,
                     quillModel::Verdict verdict, const quillModel::Period* period = nullptr);

private:
    struct Before
    {
        uint64_t samples = 0;
        std::vector<uint64_t> latencyCounts;
        std::deque<double> trend;
    };
    // The row's rate and trend, kept with its counts under `key` in `next`;
    // the latency counts of the period (`given`'s when there is one).
    std::vector<uint64_t> Advance(const std::string& key, LiveRow& row, const std::vector<uint64_t>& latencyCounts,
                                  double seconds, std::map<std::string, Before>& next,
                                  const quillModel::StreamPeriod* given);

    std::map<std::string, Before> before_;
    double beforeSeconds_ = 0.0;
};

// Whether a writer's counts show one of the --fail-on conditions a writer
// can have: ids missing, duplicated or started over, middleware loss, a
// failed payload check.
bool WriterFault(const quillModel::StreamSnapshot& stream);

} // namespace quillLive
