#include "reportRecords.h"

#include <algorithm>
#include <ctime>

#include <nlohmann/json.hpp>

#include "lumo/Format.h"
#include "lumo/componentFramework/StatusTexts.h"
#include "model/periodCounts.h"

namespace quillReport {

using quillModel::Condition;
using quillModel::ParticipantEvent;
using quillModel::Quantile;
using quillModel::ReaderSnapshot;
using quillModel::StatusEvent;
using quillModel::StreamSnapshot;
using quillModel::Verdict;

namespace {

// In the order the fields are written.
using Json = nlohmann::ordered_json;

constexpr const char* LATENCY_BASIS =
    "source timestamp to reception timestamp; valid on one host or with synchronised clocks";

// One line of JSON. Text from the command line or the wire may hold any
// bytes: each one that is not well-formed UTF-8 becomes U+FFFD.
std::string Line(const Json& record)
{
    return record.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json Head(const char* kind, const RecordTime& time)
{
    return Json{{"schema", SCHEMA_VERSION}, {"record", kind}, {"time", IsoTime(time.wall)}, {"t", time.sinceStart}};
}

double Rate(uint64_t samples, double periodSec)
{
    return periodSec > 0.0 ? static_cast<double>(samples) / periodSec : 0.0;
}

Json ConditionArray(const std::vector<Condition>& conditions)
{
    Json names = Json::array();
    for (const auto condition : conditions) {
        names.push_back(ConditionName(condition));
    }
    return names;
}

Json Latency(const StreamSnapshot& stream)
{
    if (stream.latencySamples == 0) {
        return nullptr;
    }
    const uint64_t low = stream.latencyMinNs > 0 ? static_cast<uint64_t>(stream.latencyMinNs) : 0;
    const uint64_t high = stream.latencyMaxNs > 0 ? static_cast<uint64_t>(stream.latencyMaxNs) : 0;
    return Json{{"count", stream.latencySamples},
                {"negative", stream.negativeLatencies},
                {"min", stream.latencyMinNs},
                {"p50", Quantile(stream.latencyCounts, 0.5, low, high)},
                {"p99", Quantile(stream.latencyCounts, 0.99, low, high)},
                {"max", stream.latencyMaxNs},
                {"basis", LATENCY_BASIS}};
}

// The latency of one period's samples, from the difference of two
// cumulative snapshots' bucket counts.
Json PeriodLatency(const StreamSnapshot& stream, const std::vector<uint64_t>& counts)
{
    const auto latency = quillModel::LatencyOfPeriod(counts, stream.latencyMinNs, stream.latencyMaxNs);
    if (!latency) {
        return nullptr;
    }
    return Json{{"count", latency->count},
                {"min", latency->min},
                {"p50", latency->p50},
                {"p99", latency->p99},
                {"max", latency->max}};
}

Json Events(const ReaderSnapshot& reader)
{
    return Json{{"matched", reader.events.matched},
                {"unmatched", reader.events.unmatched},
                {"deadlines_missed", reader.events.deadlinesMissed},
                {"incompatible_qos", reader.events.incompatibleQos},
                {"samples_lost", reader.events.samplesLost},
                {"samples_rejected", reader.events.samplesRejected},
                {"liveliness_changes", reader.events.livelinessChanges},
                {"not_recorded", reader.eventsDropped}};
}

Json Options(const RunDescription& run)
{
    Json options{{"topics", run.topics},
                 {"domain_id", run.domainId},
                 {"qos_profile", run.qosProfile},
                 {"qos_file", run.qosFile},
                 {"expected_sample_id_increment", run.model.expectedIncrement},
                 {"payload_check", run.payloadCheck},
                 {"report", run.report.path.value_or("")},
                 {"report_period_s", run.report.periodSec},
                 {"duration_s", run.model.durationSec ? Json(*run.model.durationSec) : Json(nullptr)},
                 {"fail_on", ConditionArray(run.model.failOn)}};
    if (run.anyType) {
        options["any_type"] = true;
        options["all_topics"] = run.anyType->allTopics ? Json(*run.anyType->allTopics) : Json(nullptr);
        options["seq_field"] = run.anyType->seqField ? Json(*run.anyType->seqField) : Json(nullptr);
    }
    return options;
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
    Json record = Head("start", time);
    record["options"] = Options(run);
    record["fast_dds"] = run.fastDdsVersion;
    return Line(record);
}

std::string EventRecord(const std::string& topic, uint32_t readerIndex, const StatusEvent& event,
                        const RecordTime& time)
{
    // When it happened, on the report's own clock too.
    const double before = std::chrono::duration<double>(time.wall - event.time).count();
    Json record = Head("event", RecordTime{event.time, std::max(0.0, time.sinceStart - before)});
    record["topic"] = topic;
    record["reader"] = readerIndex;
    record["event"] = event.kind;
    if (event.writer) {
        record["writer"] = GuidText(*event.writer);
    } else if (!event.writerGuid.empty()) {
        record["writer"] = event.writerGuid;
    }
    if (event.nameField != nullptr) {
        record[event.nameField] = event.name;
    }
    if (event.kind == std::string_view("requested_incompatible_qos")) {
        Json policies = Json::object();
        for (const auto& [id, count] : event.policies) {
            policies[std::string(lumo::componentFramework::QosPolicyName(id))] = count;
        }
        record["policies"] = std::move(policies);
    }
    for (const auto& [name, value] : event.counts) {
        record[name] = value;
    }
    return Line(record);
}

std::string ParticipantEventRecord(const ParticipantEvent& event, const RecordTime& time)
{
    using Outcome = lumo::ddsSecurity::ParticipantAuthentication::Outcome;
    const auto& who = event.participant;
    const auto textOrNull = [](const std::string& text) { return text.empty() ? Json(nullptr) : Json(text); };
    const double before = std::chrono::duration<double>(time.wall - event.time).count();
    Json record = Head("event", RecordTime{event.time, std::max(0.0, time.sinceStart - before)});
    const bool refused = who.outcome != Outcome::Unsecured;
    record["event"] = refused ? "participant_refused" : "security_required";
    record["participant"] = who.guidPrefix;
    record["name"] = textOrNull(who.name);
    record["host"] = textOrNull(who.host);
    record["vendor"] = textOrNull(who.vendorId);
    if (refused) {
        record["reason"] = who.reason;
    } else {
        record["identity_class"] = who.identityClass;
    }
    return Line(record);
}

std::string WriterRecord(const ReaderSnapshot& reader, size_t stream, const std::string& payloadCheck,
                         uint64_t periodSamples, const std::vector<uint64_t>& periodLatency, double periodSec,
                         bool final, const RecordTime& time)
{
    const StreamSnapshot& s = reader.streams.at(stream);
    Json record = Head("writer", time);
    record["topic"] = reader.topic;
    record["reader"] = reader.readerIndex;
    record["writer"] = s.writer;
    record["restart_of"] = s.restartOf.empty() ? Json(nullptr) : Json(s.restartOf);
    record["presence"] = PresenceName(s.presence);
    record["samples"] = s.samples;
    record["payload_bytes"] = s.payloadBytes;
    record["first_id"] = s.firstId;
    record["last_id"] = s.lastId;
    record["last_sequence"] = s.lastSequence;
    record["missing_ids"] = s.missingIds;
    record["gaps"] = s.gaps;
    record["duplicates"] = s.duplicates;
    record["backward_jumps"] = s.backwardJumps;
    record["middleware_lost"] = s.middlewareLost;
    record["monitor_rejected"] = s.monitorRejected;
    record["publisher_skipped"] = s.publisherSkipped;
    record["undecodable"] = s.undecodable;
    record["period_s"] = periodSec;
    record["period_samples"] = periodSamples;
    record["rate_hz"] = Rate(periodSamples, periodSec);
    record["latency_ns"] = Latency(s);
    record["latency_period"] = PeriodLatency(s, periodLatency);
    record["payload_check"] = Json{{"kind", payloadCheck}, {"passed", s.checksPassed}, {"failed", s.checksFailed}};
    record["final"] = final;
    return Line(record);
}

std::string ReaderRecord(const ReaderSnapshot& reader, uint64_t periodSamples, double periodSec, bool final,
                         const RecordTime& time)
{
    Json record = Head("reader", time);
    record["topic"] = reader.topic;
    record["reader"] = reader.readerIndex;
    record["samples"] = reader.Samples();
    record["writers"] = reader.streams.size();
    record["restarts"] = reader.restarts;
    record["untracked_samples"] = reader.unlisted.samples;
    record["unlisted_writers"] = reader.unlistedWriters;
    record["period_s"] = periodSec;
    record["period_samples"] = periodSamples;
    record["rate_hz"] = Rate(periodSamples, periodSec);
    record["events"] = Events(reader);
    record["final"] = final;
    return Line(record);
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
    Json record = Head("final", time);
    record["options"] = Options(run);
    record["qos_profile"] = run.qosProfile;
    record["fast_dds"] = run.fastDdsVersion;
    record["totals"] = Json{{"readers", readers.size()},
                            {"writers", writers},
                            {"samples", samples},
                            {"missing_ids", missing},
                            {"duplicates", duplicates},
                            {"backward_jumps", backward},
                            {"restarts", restarts},
                            {"middleware_lost", middleware},
                            {"publisher_skipped", skipped},
                            {"checks_failed", checksFailed},
                            {"deadlines_missed", deadlines},
                            {"incompatible_qos", incompatible},
                            {"samples_lost", lost},
                            {"samples_rejected", rejected}};
    record["verdict"] = Json{{"result", verdict.failed.empty() ? "pass" : "fail"},
                             {"fail_on", ConditionArray(run.model.failOn)},
                             {"happened", ConditionArray(verdict.happened)},
                             {"failed", ConditionArray(verdict.failed)},
                             {"exit_status", verdict.exitStatus}};
    return Line(record);
}

} // namespace quillReport
