#include "publisherRun.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include <fastdds/dds/core/status/PublicationMatchedStatus.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>

#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/toolsCommon/Log.h"
#include "payloadPatterns.h"
#include "sampleIds.h"

using lumo::componentFramework::AgnosticTopic;
using lumo::componentFramework::DdsPub;
using Clock = std::chrono::steady_clock;

namespace {

// Longest sleep between looks at the stop flag: a signal does not cut a
// sleep short (the library resumes it), so long waits go in slices.
constexpr auto STOP_POLL = std::chrono::milliseconds(50);
constexpr auto MATCH_POLL = std::chrono::milliseconds(100);
constexpr auto PROGRESS_PERIOD = std::chrono::seconds(5);
// Anything longer is as good as never, and stays clear of overflow.
constexpr double NEVER_SEC = 1e9;

Clock::duration Seconds(double seconds)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(seconds, NEVER_SEC)));
}

// False when `stop` was set before the deadline.
bool SleepUntil(Clock::time_point deadline, const std::atomic<bool>& stop)
{
    while (!stop.load()) {
        const auto now = Clock::now();
        if (now >= deadline) {
            return true;
        }
        std::this_thread::sleep_until(std::min(deadline, now + STOP_POLL));
    }
    return false;
}

int MatchedReaders(const DdsPub& dds, size_t index)
{
    eprosima::fastdds::dds::PublicationMatchedStatus status;
    dds.Writer(index)->get_publication_matched_status(status);
    return status.current_count;
}

std::string Limit(uint64_t value, const char* unit)
{
    return value == 0 ? std::string("unlimited") : lumo::format("{}{}", value, unit);
}

std::string Limit(double value, const char* unit)
{
    return value == 0.0 ? std::string("unlimited") : lumo::format("{}{}", value, unit);
}

// One topic's writer state across the run.
struct TopicStream
{
    TopicStream(const PubSettings& settings, size_t index)
        : ids(settings.ids)
        , pattern{settings.payloadKind, settings.rampStart, settings.readerIndexBase + static_cast<uint32_t>(index)}
    {
        report.topic = settings.topics[index];
        report.readerIndex = pattern.readerIndex;
        sample.payload().resize(settings.payloadSize);
    }

    SampleIdSequence ids;
    PayloadPattern pattern;
    AgnosticTopic sample;
    TopicReport report;
    // The payload is rebuilt only when it has to change: only the id's
    // parity matters to any pattern, and a corrupted one must be restored.
    bool filled = false;
    bool filledOdd = false;
    bool spoilt = false;
};

void PublishOne(DdsPub& dds, size_t index, TopicStream& stream, uint64_t number,
                const std::optional<uint64_t>& corruptSample, log4cplus::Logger& logger)
{
    const uint32_t id = stream.ids.Next();
    stream.report.idsSkipped = stream.ids.IdsSkipped();
    stream.report.idsRepeated = stream.ids.IdsRepeated();
    stream.sample.sampleId(id);

    const bool odd = stream.pattern.kind == PayloadKind::AlternatingFloatRamp && (id & 1u) != 0;
    if (!stream.filled || stream.spoilt || odd != stream.filledOdd) {
        FillPayload(stream.pattern, id, stream.sample.payload());
        stream.filled = true;
        stream.filledOdd = odd;
        stream.spoilt = false;
    }
    if (corruptSample == number && CorruptPayload(stream.sample.payload())) {
        stream.spoilt = true;
        ++stream.report.samplesCorrupted;
        QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "[{}][{}] SampleId: {} payload corrupted (sample {})",
                     stream.report.topic, stream.report.readerIndex, id, number);
    }

    if (dds.Write(index, stream.sample)) {
        ++stream.report.samplesWritten;
        QUILL_LOG_TO(logger, log4cplus::DEBUG_LOG_LEVEL, "[{}][{}] SampleId: {} written (sample {}, {} bytes)",
                     stream.report.topic, stream.report.readerIndex, id, number,
                     static_cast<uint64_t>(stream.sample.payload().size()));
    } else {
        ++stream.report.writeFailures;
        QUILL_LOG_TO(logger, log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {} write failed (sample {})",
                     stream.report.topic, stream.report.readerIndex, id, number);
    }
}

} // namespace

std::string SummaryLine(const TopicReport& report)
{
    return lumo::
        format("[{}][{}] samples written: {} ids skipped: {} ids repeated: {} samples corrupted: {} write failures: {}",
               report.topic, report.readerIndex, report.samplesWritten, report.idsSkipped, report.idsRepeated,
               report.samplesCorrupted, report.writeFailures);
}

bool WaitForReaders(const DdsPub& dds, const PubSettings& settings, log4cplus::Logger& logger,
                    const std::atomic<bool>& stop)
{
    if (settings.waitReaders == 0) {
        return true;
    }
    const bool limited = settings.waitTimeoutSec != 0.0;
    const auto deadline = Clock::now() + Seconds(settings.waitTimeoutSec);
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Waiting for {} reader(s) on every topic ({})",
                 settings.waitReaders, Limit(settings.waitTimeoutSec, " s"));
    for (size_t i = 0; i < dds.WriterCount(); ++i) {
        const uint32_t readerIndex = settings.readerIndexBase + static_cast<uint32_t>(i);
        while (!dds.WaitForMatchedReaders(i, settings.waitReaders, MATCH_POLL)) {
            if (stop.load()) {
                return true;
            }
            if (limited && Clock::now() >= deadline) {
                QUILL_LOG_TO(logger, log4cplus::ERROR_LOG_LEVEL,
                             "ERROR: [{}][{}] {} of {} reader(s) matched within {} s", settings.topics[i], readerIndex,
                             MatchedReaders(dds, i), settings.waitReaders, settings.waitTimeoutSec);
                return false;
            }
        }
        QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "[{}][{}] matched {} reader(s)", settings.topics[i],
                     readerIndex, MatchedReaders(dds, i));
    }
    return true;
}

std::vector<TopicReport> RunPublisher(DdsPub& dds, const PubSettings& settings, log4cplus::Logger& logger,
                                      const std::atomic<bool>& stop)
{
    std::vector<TopicStream> streams;
    streams.reserve(settings.topics.size());
    for (size_t i = 0; i < settings.topics.size(); ++i) {
        streams.emplace_back(settings, i);
    }

    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL,
                 "Publishing on {} topic(s): rate {}, count {}, duration {}, payload {} of {} bytes",
                 static_cast<uint64_t>(streams.size()),
                 settings.rate == 0.0 ? std::string("as fast as possible") : lumo::format("{}/s", settings.rate),
                 Limit(settings.count, ""), Limit(settings.durationSec, " s"), PayloadKindName(settings.payloadKind),
                 settings.payloadSize);

    const bool paced = settings.rate != 0.0;
    const bool timed = settings.durationSec != 0.0;
    const auto start = Clock::now();
    const auto end = start + Seconds(settings.durationSec);
    auto nextProgress = start + PROGRESS_PERIOD;
    const char* reason = "stop requested";
    for (uint64_t number = 0;; ++number) {
        if (stop.load()) {
            break;
        }
        if (settings.count != 0 && number >= settings.count) {
            reason = "count reached";
            break;
        }
        if (paced) {
            // Deadlines from the start, not from the previous write: a slow
            // write does not push every later sample back.
            const auto deadline = start + Seconds(static_cast<double>(number) / settings.rate);
            if (timed && deadline >= end) {
                reason = "duration elapsed";
                break;
            }
            if (!SleepUntil(deadline, stop)) {
                break;
            }
        } else if (timed && Clock::now() >= end) {
            reason = "duration elapsed";
            break;
        }

        for (size_t i = 0; i < streams.size(); ++i) {
            PublishOne(dds, i, streams[i], number, settings.corruptSample, logger);
        }

        if (const auto now = Clock::now(); now >= nextProgress) {
            nextProgress = now + PROGRESS_PERIOD;
            for (const auto& stream : streams) {
                QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "[{}][{}] written so far: {} write failures: {}",
                             stream.report.topic, stream.report.readerIndex, stream.report.samplesWritten,
                             stream.report.writeFailures);
            }
        }
    }
    const std::chrono::duration<double> elapsed = Clock::now() - start;
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Publishing ended ({}) after {:.3f} s", reason, elapsed.count());

    std::vector<TopicReport> reports;
    reports.reserve(streams.size());
    for (const auto& stream : streams) {
        reports.push_back(stream.report);
    }
    return reports;
}

void AwaitAcknowledgments(const DdsPub& dds, const PubSettings& settings, const std::vector<TopicReport>& reports,
                          log4cplus::Logger& logger)
{
    if (settings.ackTimeoutSec == 0.0) {
        return;
    }
    const auto deadline = Clock::now() + Seconds(settings.ackTimeoutSec);
    for (size_t i = 0; i < dds.WriterCount(); ++i) {
        const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
        if (!dds.WaitForAcknowledgments(i, std::chrono::duration_cast<std::chrono::milliseconds>(left))) {
            QUILL_LOG_TO(logger, log4cplus::WARN_LOG_LEVEL, "[{}][{}] not every sample was acknowledged within {} s",
                         reports[i].topic, reports[i].readerIndex, settings.ackTimeoutSec);
        }
    }
}

void Linger(const PubSettings& settings, const std::atomic<bool>& stop)
{
    if (settings.lingerSec != 0.0) {
        SleepUntil(Clock::now() + Seconds(settings.lingerSec), stop);
    }
}
