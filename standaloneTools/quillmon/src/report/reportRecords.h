// The records of the JSON Lines report, one line each (README.md documents
// every field). Every record carries "schema" (SCHEMA_VERSION), "record"
// (its kind), "time" (UTC, ISO 8601) and "t" (seconds since the start).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/failOn.h"
#include "model/participantEvents.h"
#include "model/readerTally.h"
#include "model/runSettings.h"
#include "reportSettings.h"

namespace quillReport {

inline constexpr int SCHEMA_VERSION = 1;

// What the run was asked to do.
struct RunDescription
{
    std::vector<std::string> topics;
    uint32_t domainId = 0;
    std::string qosProfile;
    std::string qosFile;
    std::string payloadCheck; // "none", "ramp" or the pattern's name
    std::string fastDdsVersion;
    quillModel::RunSettings model; // the expected increment, --duration, --fail-on
    ReportSettings report;         // where the records go, how often
    // Reading any type, as given: said in the records only when asked for.
    struct AnyType
    {
        std::optional<std::string> allTopics; // the glob of --all-topics
        std::optional<std::string> seqField;  // "OFFSET:WIDTH[:le|be]"
    };
    std::optional<AnyType> anyType;
};

// When a record is written: the wall clock and the seconds since the start.
struct RecordTime
{
    std::chrono::system_clock::time_point wall;
    double sinceStart = 0.0;
};

// "2026-12-08T04:05:06.789Z"
std::string IsoTime(std::chrono::system_clock::time_point time);

std::string StartRecord(const RunDescription& run, const RecordTime& time);
std::string EventRecord(const std::string& topic, uint32_t readerIndex, const quillModel::StatusEvent& event,
                        const RecordTime& time);
// A participant kept away: "participant_refused" or "security_required".
std::string ParticipantEventRecord(const quillModel::ParticipantEvent& event, const RecordTime& time);
// `periodSamples`: samples since the previous record of the stream, over
// `periodSec` seconds; `periodLatency`: the latency bucket counts of those
// samples.
std::string WriterRecord(const quillModel::ReaderSnapshot& reader, size_t stream, const std::string& payloadCheck,
                         uint64_t periodSamples, const std::vector<uint64_t>& periodLatency, double periodSec,
                         bool final, const RecordTime& time);
std::string ReaderRecord(const quillModel::ReaderSnapshot& reader, uint64_t periodSamples, double periodSec, bool final,
                         const RecordTime& time);
std::string FinalRecord(const RunDescription& run, const std::vector<quillModel::ReaderSnapshot>& readers,
                        const quillModel::Verdict& verdict, const RecordTime& time);

} // namespace quillReport
