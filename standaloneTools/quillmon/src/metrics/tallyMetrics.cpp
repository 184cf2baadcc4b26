#include "tallyMetrics.h"

#include <nlohmann/json.hpp>

#include "metricFamilies.h"
#include "model/latencyHistogram.h"

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using quillModel::ReaderSnapshot;
using quillModel::StreamSnapshot;

namespace quillMetrics {

namespace {

constexpr int FIRST_BOUND_EXPONENT = 10; // 2^10 - 1 ns: about 1 us
constexpr int LAST_BOUND_EXPONENT = 34;  // 2^34 - 1 ns: about 17 s
constexpr double NS_PER_S = 1e9;

// `text` with each byte sequence that is not well-formed UTF-8 replaced by
// U+FFFD, as the report's records write it: a label value must be UTF-8.
std::string WellFormedUtf8(const std::string& text)
{
    const nlohmann::json quoted = text;
    return nlohmann::json::parse(quoted.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
        .get<std::string>();
}

struct WriterCount
{
    const char* name;
    const char* help;
    uint64_t StreamSnapshot::*count;
};

// In the order of the report's writer record.
const WriterCount WRITER_COUNTS[] = {
    {"lumo_quillmon_samples_total", "Valid samples taken from the writer", &StreamSnapshot::samples},
    {"lumo_quillmon_payload_bytes_total", "Payload bytes of the samples taken", &StreamSnapshot::payloadBytes},
    {"lumo_quillmon_missing_ids_total", "Sample ids the expected increment predicted and that never came",
     &StreamSnapshot::missingIds},
    {"lumo_quillmon_duplicates_total", "Samples that repeated the previous id", &StreamSnapshot::duplicates},
    {"lumo_quillmon_backward_jumps_total", "Sample ids that went backwards in the same writer",
     &StreamSnapshot::backwardJumps},
    {"lumo_quillmon_middleware_lost_total", "Samples the writer wrote and the reader never took (sequence holes)",
     &StreamSnapshot::middlewareLost},
    {"lumo_quillmon_monitor_rejected_total", "Sequence holes this reader made itself: changes it refused for good",
     &StreamSnapshot::monitorRejected},
    {"lumo_quillmon_publisher_skipped_total", "Missing ids that no sequence hole explains: never written",
     &StreamSnapshot::publisherSkipped},
    {"lumo_quillmon_undecodable_total", "Samples whose bytes were not an AgnosticTopic", &StreamSnapshot::undecodable},
};

struct ReaderEvent
{
    const char* name;
    uint64_t quillModel::EventCounts::*count;
};

// As the report's reader record names them.
const ReaderEvent READER_EVENTS[] = {
    {"matched", &quillModel::EventCounts::matched},
    {"unmatched", &quillModel::EventCounts::unmatched},
    {"deadlines_missed", &quillModel::EventCounts::deadlinesMissed},
    {"incompatible_qos", &quillModel::EventCounts::incompatibleQos},
    {"samples_lost", &quillModel::EventCounts::samplesLost},
    {"samples_rejected", &quillModel::EventCounts::samplesRejected},
    {"liveliness_changes", &quillModel::EventCounts::livelinessChanges},
};

Labels With(Labels labels, const char* name, std::string value)
{
    labels.push_back({name, std::move(value)});
    return labels;
}

void AddCounts(StreamSnapshot& into, const StreamSnapshot& from)
{
    for (const auto& count : WRITER_COUNTS) {
        into.*count.count += from.*count.count;
    }
    into.checksPassed += from.checksPassed;
    into.checksFailed += from.checksFailed;
}

// The bucket index and the bound in seconds of each `le`.
const std::vector<std::pair<size_t, double>>& Bounds()
{
    static const std::vector<std::pair<size_t, double>> bounds = [] {
        std::vector<std::pair<size_t, double>> made;
        for (int exponent = FIRST_BOUND_EXPONENT; exponent <= LAST_BOUND_EXPONENT; ++exponent) {
            const uint64_t ns = (uint64_t{1} << exponent) - 1;
            made.emplace_back(quillModel::latencyBuckets::IndexOf(ns), static_cast<double>(ns) / NS_PER_S);
        }
        return made;
    }();
    return bounds;
}

ClientMetric Histogram(Labels labels, const StreamSnapshot& stream)
{
    ClientMetric metric;
    metric.label = std::move(labels);
    auto& histogram = metric.histogram;
    uint64_t cumulative = 0;
    size_t next = 0;
    for (const auto& [index, seconds] : Bounds()) {
        for (; next <= index && next < stream.latencyCounts.size(); ++next) {
            cumulative += stream.latencyCounts[next];
        }
        histogram.bucket.push_back({cumulative, seconds});
    }
    for (; next < stream.latencyCounts.size(); ++next) {
        cumulative += stream.latencyCounts[next];
    }
    histogram.sample_count = cumulative;
    histogram.sample_sum = static_cast<double>(stream.latencySumNs) / NS_PER_S;
    return metric;
}

// Every family of one scrape, in a fixed order.
struct Families
{
    std::vector<MetricFamily> writerCounts;
    MetricFamily checks = Family("lumo_quillmon_payload_checks_total",
                                 "Verdicts of the payload check on the writer's samples", MetricType::Counter);
    MetricFamily restarts = Family("lumo_quillmon_restarts_total",
                                   "1 when this writer started an earlier, departed writer's ids over",
                                   MetricType::Counter);
    MetricFamily latency = Family("lumo_quillmon_latency_seconds",
                                  "Source timestamp to reception timestamp of the writer's samples (valid on one host "
                                  "or with synchronised clocks)",
                                  MetricType::Histogram);
    MetricFamily events = Family("lumo_quillmon_status_events_total", "The reader's status events, by kind",
                                 MetricType::Counter);
    MetricFamily matched = Family("lumo_quillmon_matched_writers", "Writers matched with the reader now",
                                  MetricType::Gauge);
    MetricFamily unlisted = Family("lumo_quillmon_unlisted_writers",
                                   "Writers counted in the reader's writer=\"unlisted\" series", MetricType::Gauge);

    Families()
    {
        for (const auto& count : WRITER_COUNTS) {
            writerCounts.push_back(Family(count.name, count.help, MetricType::Counter));
        }
    }

    void AddWriter(const Labels& reader, std::string writer, const StreamSnapshot& stream, uint64_t restartCount)
    {
        const Labels labels = With(reader, "writer", std::move(writer));
        for (size_t i = 0; i < std::size(WRITER_COUNTS); ++i) {
            writerCounts[i].metric.push_back(
                Metric(labels, static_cast<double>(stream.*WRITER_COUNTS[i].count), MetricType::Counter));
        }
        checks.metric.push_back(
            Metric(With(labels, "result", "passed"), static_cast<double>(stream.checksPassed), MetricType::Counter));
        checks.metric.push_back(
            Metric(With(labels, "result", "failed"), static_cast<double>(stream.checksFailed), MetricType::Counter));
        restarts.metric.push_back(Metric(labels, static_cast<double>(restartCount), MetricType::Counter));
        if (!stream.latencyCounts.empty()) {
            latency.metric.push_back(Histogram(labels, stream));
        }
    }

    std::vector<MetricFamily> All() &&
    {
        std::vector<MetricFamily> all = std::move(writerCounts);
        for (auto* family : {&checks, &restarts, &latency, &events, &matched, &unlisted}) {
            all.push_back(std::move(*family));
        }
        return all;
    }
};

} // namespace

std::vector<double> LatencyBoundsSeconds()
{
    std::vector<double> seconds;
    for (const auto& bound : Bounds()) {
        seconds.push_back(bound.second);
    }
    return seconds;
}

TallyMetrics::TallyMetrics(std::shared_ptr<const quillModel::TallyList> tallies, Clock::duration grace)
    : tallies_(std::move(tallies))
    , grace_(grace)
{
}

std::vector<ReaderSnapshot> TallyMetrics::Snapshots() const
{
    const auto tallies = tallies_->All();
    std::vector<ReaderSnapshot> readers;
    readers.reserve(tallies.size());
    for (const auto& tally : tallies) {
        readers.push_back(tally->Snapshot());
    }
    return readers;
}

std::vector<MetricFamily> TallyMetrics::Collect(bool shown)
{
    std::lock_guard lock(inOrder_);
    return Collect(Snapshots(), Clock::now(), shown);
}

void TallyMetrics::Track()
{
    std::lock_guard lock(inOrder_);
    Track(Snapshots(), Clock::now());
}

bool TallyMetrics::Folded(const WriterId& id, const StreamSnapshot& stream, Clock::time_point now, bool shown)
{
    if (folded_.count(id) != 0) {
        return true; // for good: its series must not come back below its last value
    }
    if (stream.presence == quillModel::Presence::Alive) {
        departed_.erase(id); // back: a later departure starts over
        return false;
    }
    auto& departure = departed_.try_emplace(id, Departure{now}).first->second;
    if (!departure.shown && now - departure.since < grace_) {
        departure.shown = shown;
        return false;
    }
    departed_.erase(id);
    folded_.insert(id);
    return true;
}

void TallyMetrics::Forget(const std::set<WriterId>& present)
{
    // A stream whose slot went to another writer is in the tally's own
    // unlisted counts now.
    std::erase_if(folded_, [&](const WriterId& id) { return present.count(id) == 0; });
    std::erase_if(departed_, [&](const auto& entry) { return present.count(entry.first) == 0; });
}

void TallyMetrics::Track(const std::vector<ReaderSnapshot>& readers, Clock::time_point now)
{
    std::lock_guard lock(mutex_);
    std::set<WriterId> present;
    for (size_t r = 0; r < readers.size(); ++r) {
        for (const auto& stream : readers[r].streams) {
            WriterId id{r, stream.writer};
            Folded(id, stream, now, false);
            present.insert(std::move(id));
        }
    }
    Forget(present);
}

std::vector<MetricFamily> TallyMetrics::Collect(const std::vector<ReaderSnapshot>& readers, Clock::time_point now,
                                                bool shown)
{
    std::lock_guard lock(mutex_);
    Families families;
    std::set<WriterId> present;
    for (size_t r = 0; r < readers.size(); ++r) {
        const ReaderSnapshot& reader = readers[r];
        const Labels labels{{"topic", WellFormedUtf8(reader.topic)}, {"reader", std::to_string(reader.readerIndex)}};
        StreamSnapshot unlisted = reader.unlisted;
        uint64_t unlistedWriters = reader.unlistedWriters;
        for (const auto& stream : reader.streams) {
            const uint64_t restarted = stream.restartOf.empty() ? 0 : 1;
            WriterId id{r, stream.writer};
            if (Folded(id, stream, now, shown)) {
                AddCounts(unlisted, stream);
                ++unlistedWriters;
            } else {
                families.AddWriter(labels, stream.writer, stream, restarted);
            }
            present.insert(std::move(id));
        }
        // Restarts are a writer's own: its series goes when it is folded.
        families.AddWriter(labels, UNLISTED_WRITER, unlisted, 0);
        for (const auto& event : READER_EVENTS) {
            families.events.metric.push_back(Metric(With(labels, "event", event.name),
                                                    static_cast<double>(reader.events.*event.count),
                                                    MetricType::Counter));
        }
        const uint64_t matchedNow = reader.events.matched > reader.events.unmatched
                                        ? reader.events.matched - reader.events.unmatched
                                        : 0;
        families.matched.metric.push_back(Metric(labels, static_cast<double>(matchedNow), MetricType::Gauge));
        families.unlisted.metric.push_back(Metric(labels, static_cast<double>(unlistedWriters), MetricType::Gauge));
    }
    Forget(present);
    return std::move(families).All();
}

} // namespace quillMetrics
