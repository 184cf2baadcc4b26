#include "reportRecords.h"

#include <algorithm>
#include <ctime>

#include "jsonText.h"
#include "lumo/Format.h"

namespace quillReport {

namespace {

constexpr const char* LATENCY_BASIS =
    "source timestamp to reception timestamp; valid on one host or with synchronised clocks";

JsonObject Head(const char* kind, const RecordTime& time)
{
    JsonObject record;
    record.Integer("schema", SCHEMA_VERSION)
        .Text("record", kind)
        .Text("time", IsoTime(time.wall))
        .Number("t", time.sinceStart);
    return record;
}

double Rate(uint64_t samples, double periodSec)
{
    return periodSec > 0.0 ? static_cast<double>(samples) / periodSec : 0.0;
}

std::string ConditionArray(const std::vector<Condition>& conditions)
{
    std::string text = "[";
    for (const auto condition : conditions) {
        text += text.size() > 1 ? "," : "";
        text += JsonString(ConditionName(condition));
    }
    return text + "]";
}

std::string Latency(const StreamSnapshot& stream)
{
    if (stream.latencySamples == 0) {
        return "null";
    }
    const uint64_t low = stream.latencyMinNs > 0 ? static_cast<uint64_t>(stream.latencyMinNs) : 0;
    const uint64_t high = stream.latencyMaxNs > 0 ? static_cast<uint64_t>(stream.latencyMaxNs) : 0;
    JsonObject latency;
    latency.Unsigned("count", stream.latencySamples)
        .Unsigned("negative", stream.negativeLatencies)
        .Integer("min", stream.latencyMinNs)
        .Unsigned("p50", Quantile(stream.latencyCounts, 0.5, low, high))
        .Unsigned("p99", Quantile(stream.latencyCounts, 0.99, low, high))
        .Integer("max", stream.latencyMaxNs)
        .Text("basis", LATENCY_BASIS);
    return latency.Close();
}

// The latency of one period's samples. Its bucket counts are the difference
// of two cumulative snapshots, so its extremes are known to a bucket: the
// bounds of its lowest and highest non-empty bucket, kept within the
// stream's own extremes.
std::string PeriodLatency(const StreamSnapshot& stream, const std::vector<uint64_t>& counts)
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
        return "null";
    }
    const uint64_t low = stream.latencyMinNs > 0 ? static_cast<uint64_t>(stream.latencyMinNs) : 0;
    const uint64_t high = std::max(low, stream.latencyMaxNs > 0 ? static_cast<uint64_t>(stream.latencyMaxNs) : 0);
    const uint64_t min = std::clamp(latencyBuckets::LowerBound(lowest), low, high);
    const uint64_t max = std::clamp(latencyBuckets::UpperBound(highest), low, high);
    JsonObject latency;
    latency.Unsigned("count", count)
        .Unsigned("min", min)
        .Unsigned("p50", Quantile(counts, 0.5, min, max))
        .Unsigned("p99", Quantile(counts, 0.99, min, max))
        .Unsigned("max", max);
    return latency.Close();
}

std::string Events(const ReaderSnapshot& reader)
{
    JsonObject events;
    events.Unsigned("matched", reader.events.matched)
        .Unsigned("unmatched", reader.events.unmatched)
        .Unsigned("deadlines_missed", reader.events.deadlinesMissed)
        .Unsigned("incompatible_qos", reader.events.incompatibleQos)
        .Unsigned("samples_lost", reader.events.samplesLost)
        .Unsigned("samples_rejected", reader.events.samplesRejected)
        .Unsigned("liveliness_changes", reader.events.livelinessChanges)
        .Unsigned("not_recorded", reader.eventsDropped);
    return events.Close();
}

std::string Options(const RunDescription& run)
{
    std::string topics = "[";
    for (const auto& topic : run.topics) {
        topics += topics.size() > 1 ? "," : "";
        topics += JsonString(topic);
    }
    topics += "]";
    JsonObject options;
    options.Raw("topics", topics)
        .Unsigned("domain_id", run.domainId)
        .Text("qos_profile", run.qosProfile)
        .Text("qos_file", run.qosFile)
        .Unsigned("expected_sample_id_increment", run.expectedIncrement)
        .Text("payload_check", run.payloadCheck)
        .Text("report", run.reportPath)
        .Number("report_period_s", run.reportPeriodSec)
        .Raw("duration_s", run.durationSec ? JsonNumber(*run.durationSec) : "null")
        .Raw("fail_on", ConditionArray(run.failOn));
    return options.Close();
}

} // namespace

std::string IsoTime(std::chrono::system_clock::time_point time)
{
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&whole, &utc);
    return lumo::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                        utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
}

std::string StartRecord(const RunDescription& run, const RecordTime& time)
{
    return Head("start", time).Raw("options", Options(run)).Text("fast_dds", run.fastDdsVersion).Close();
}

std::string EventRecord(const std::string& topic, uint32_t readerIndex, const StatusEvent& event,
                        const RecordTime& time)
{
    // When it happened, on the report's own clock too.
    const double before = std::chrono::duration<double>(time.wall - event.time).count();
    std::string record = Head("event", RecordTime{event.time, std::max(0.0, time.sinceStart - before)})
                             .Text("topic", topic)
                             .Unsigned("reader", readerIndex)
                             .Text("event", event.kind)
                             .Close();
    if (!event.fields.empty()) {
        record.back() = ',';
        record += event.fields;
        record += '}';
    }
    return record;
}

std::string WriterRecord(const ReaderSnapshot& reader, size_t stream, const std::string& payloadCheck,
                         uint64_t periodSamples, const std::vector<uint64_t>& periodLatency, double periodSec,
                         bool final, const RecordTime& time)
{
    const StreamSnapshot& s = reader.streams.at(stream);
    const std::string restartOf = s.restartOf.empty() ? "null" : JsonString(s.restartOf);
    JsonObject check;
    check.Text("kind", payloadCheck).Unsigned("passed", s.checksPassed).Unsigned("failed", s.checksFailed);
    return Head("writer", time)
        .Text("topic", reader.topic)
        .Unsigned("reader", reader.readerIndex)
        .Text("writer", s.writer)
        .Raw("restart_of", restartOf)
        .Text("presence", PresenceName(s.presence))
        .Unsigned("samples", s.samples)
        .Unsigned("payload_bytes", s.payloadBytes)
        .Unsigned("first_id", s.firstId)
        .Unsigned("last_id", s.lastId)
        .Unsigned("last_sequence", s.lastSequence)
        .Unsigned("missing_ids", s.missingIds)
        .Unsigned("gaps", s.gaps)
        .Unsigned("duplicates", s.duplicates)
        .Unsigned("backward_jumps", s.backwardJumps)
        .Unsigned("middleware_lost", s.middlewareLost)
        .Unsigned("publisher_skipped", s.publisherSkipped)
        .Unsigned("undecodable", s.undecodable)
        .Number("period_s", periodSec)
        .Unsigned("period_samples", periodSamples)
        .Number("rate_hz", Rate(periodSamples, periodSec))
        .Raw("latency_ns", Latency(s))
        .Raw("latency_period", PeriodLatency(s, periodLatency))
        .Raw("payload_check", check.Close())
        .Bool("final", final)
        .Close();
}

std::string ReaderRecord(const ReaderSnapshot& reader, uint64_t periodSamples, double periodSec, bool final,
                         const RecordTime& time)
{
    return Head("reader", time)
        .Text("topic", reader.topic)
        .Unsigned("reader", reader.readerIndex)
        .Unsigned("samples", reader.Samples())
        .Unsigned("writers", reader.streams.size())
        .Unsigned("restarts", reader.restarts)
        .Unsigned("untracked_samples", reader.unlisted.samples)
        .Unsigned("unlisted_writers", reader.unlistedWriters)
        .Number("period_s", periodSec)
        .Unsigned("period_samples", periodSamples)
        .Number("rate_hz", Rate(periodSamples, periodSec))
        .Raw("events", Events(reader))
        .Bool("final", final)
        .Close();
}

std::string FinalRecord(const RunDescription& run, const std::vector<ReaderSnapshot>& readers, const Verdict& verdict,
                        const RecordTime& time)
{
    uint64_t writers = 0, samples = 0, missing = 0, duplicates = 0, backward = 0, restarts = 0, middleware = 0,
             skipped = 0, checksFailed = 0, deadlines = 0, incompatible = 0, lost = 0, rejected = 0;
    for (const auto& reader : readers) {
        writers += reader.streams.size() + reader.unlistedWriters;
        samples += reader.Samples();
        restarts += reader.restarts;
        deadlines += reader.events.deadlinesMissed;
        incompatible += reader.events.incompatibleQos;
        lost += reader.events.samplesLost;
        rejected += reader.events.samplesRejected;
        const auto add = [&](const StreamSnapshot& s) {
            missing += s.missingIds;
            duplicates += s.duplicates;
            backward += s.backwardJumps;
            middleware += s.middlewareLost;
            skipped += s.publisherSkipped;
            checksFailed += s.checksFailed;
        };
        std::for_each(reader.streams.begin(), reader.streams.end(), add);
        add(reader.unlisted);
    }
    JsonObject totals;
    totals.Unsigned("readers", readers.size())
        .Unsigned("writers", writers)
        .Unsigned("samples", samples)
        .Unsigned("missing_ids", missing)
        .Unsigned("duplicates", duplicates)
        .Unsigned("backward_jumps", backward)
        .Unsigned("restarts", restarts)
        .Unsigned("middleware_lost", middleware)
        .Unsigned("publisher_skipped", skipped)
        .Unsigned("checks_failed", checksFailed)
        .Unsigned("deadlines_missed", deadlines)
        .Unsigned("incompatible_qos", incompatible)
        .Unsigned("samples_lost", lost)
        .Unsigned("samples_rejected", rejected);
    JsonObject verdictObject;
    verdictObject.Text("result", verdict.failed.empty() ? "pass" : "fail")
        .Raw("fail_on", ConditionArray(run.failOn))
        .Raw("happened", ConditionArray(verdict.happened))
        .Raw("failed", ConditionArray(verdict.failed))
        .Integer("exit_status", verdict.exitStatus);
    return Head("final", time)
        .Raw("options", Options(run))
        .Text("qos_profile", run.qosProfile)
        .Text("fast_dds", run.fastDdsVersion)
        .Raw("totals", totals.Close())
        .Raw("verdict", verdictObject.Close())
        .Close();
}

} // namespace quillReport
