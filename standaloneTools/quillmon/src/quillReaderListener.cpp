#include "quillReaderListener.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <unistd.h>

#include <fastdds/dds/core/status/SubscriptionMatchedStatus.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <log4cplus/loggingmacros.h>

#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/componentFramework/Logging.h"
#include "lumo/componentFramework/Retcode.h"
#include "lumo/componentFramework/StatusTexts.h"
#include "quillLog.h"
#include "quillPayloadScan.h"

using lumo::componentFramework::AgnosticTopic;
using lumo::componentFramework::GetLogger;
using lumo::componentFramework::RetcodeToString;
namespace compat = lumo::componentFramework::compat;
namespace fdds = eprosima::fastdds::dds;

std::atomic<int> gSleepPeriod{0};
std::atomic<bool> gCheckRamp{false};
std::string gExpectedPayloadPattern;
std::atomic<int> gExpectedSampleIdIncrement{1};
std::atomic<bool> gExitRequested{false};

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is written from a signal handler");
static_assert(sizeof(std::atomic<bool>) == 1);

#define QUILL_LOG(level, ...) QUILL_LOG_TO(logger_, level, __VA_ARGS__)

namespace {

constexpr double NANOSECONDS_PER_SECOND = 1e9;
constexpr float REPORT_PERIOD_SEC = 60.0f;
using quillPayloadScan::RAMP_STEP;
using quillPayloadScan::RAMP_TOLERANCE;
constexpr std::string_view ALTERNATING_FLOAT_RAMP = "alternating_float_ramp";

// Element k of the payload read as a host-order IEEE-754 float, in place.
inline float FloatAt(const uint8_t* bytes, int64_t k)
{
    float value;
    std::memcpy(&value, bytes + 4 * k, sizeof value);
    return value;
}

// An element for the ramp's length line, or "-" where the payload has none.
std::string ElementText(const uint8_t* bytes, int64_t count, int64_t k)
{
    return (k >= 0 && k < count) ? lumo::format("{}", FloatAt(bytes, k)) : std::string("-");
}

// The payload checks run their block scans (quillPayloadScan.h) ahead of
// their element loops; with AVX2 at hand, the copy built for it.
bool HasAvx2()
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
#else
    return false;
#endif
}

int32_t SkipRampBlocks(const uint8_t* bytes, int32_t first, int32_t count, double base)
{
#if defined(__x86_64__)
    if (HasAvx2()) {
        return quillPayloadScan::RampScanAvx2(bytes, first, count, base);
    }
#endif
    return quillPayloadScan::RampScan(bytes, first, count, base);
}

void SkipPatternBlocks(const uint8_t* bytes, int64_t& k, int64_t count, float& expected, float step)
{
#if defined(__x86_64__)
    if (HasAvx2()) {
        quillPayloadScan::PatternScanAvx2(bytes, k, count, expected, step);
        return;
    }
#endif
    quillPayloadScan::PatternScan(bytes, k, count, expected, step);
}

} // namespace

QuillReaderListener::QuillReaderListener(const char* topicName, unsigned short readerIndex)
    : QuillReaderListener(topicName, readerIndex, &std::chrono::system_clock::now)
{
}

QuillReaderListener::QuillReaderListener(const char* topicName, unsigned short readerIndex, Clock clock)
    : logger_(GetLogger("lumo"))
    , totalSamplesReceived_(0)
    , totalSampleErrors_(0)
    , topicName_(topicName)
    , lastSampleId_(0)
    , currentSampleId_(0)
    , lastCallTime_()
    , lastIntervalSec_(0.0)
    , elapsedSec_(0.0)
    , secSinceReport_(0.0f)
    , firstSample_(true)
    , dataSeq_()
    , infoSeq_()
    , readerIndex_(readerIndex)
    , ready_(false)
    , clock_(clock)
{
}

QuillReaderListener::~QuillReaderListener() = default;

int64_t QuillReaderListener::TotalSamplesReceived() const
{
    std::lock_guard lock(statsMutex_);
    return totalSamplesReceived_;
}

uint64_t QuillReaderListener::TotalSampleErrors() const
{
    std::lock_guard lock(statsMutex_);
    return totalSampleErrors_;
}

// ---------------------------------------------------------------- sample intake

void QuillReaderListener::on_data_available(fdds::DataReader* reader)
{
    if (!ready_.load(std::memory_order_acquire)) {
        return;
    }
    // Fast DDS may deliver one reader's data on more than one thread (one per
    // transport); the loan sequences allow one take at a time.
    std::lock_guard intake(intakeMutex_);
    UpdateRate();
    try {
        const auto rc = reader->take(dataSeq_, infoSeq_, fdds::LENGTH_UNLIMITED, fdds::ANY_SAMPLE_STATE,
                                     fdds::ANY_VIEW_STATE, fdds::ANY_INSTANCE_STATE);
        if (!compat::IsOk(rc)) {
            QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {} Error: {}.", topicName_, readerIndex_,
                      currentSampleId_, RetcodeToString(compat::RetcodeValue(rc)));
            return;
        }
        const auto count = dataSeq_.length();
        for (fdds::LoanableCollection::size_type i = 0; i < count; ++i) {
            if (!infoSeq_[i].valid_data) {
                continue;
            }
            AgnosticTopic& sample = dataSeq_[i];
            // A sample whose bytes could not be decoded carries no data either
            // (see AgnosticTopic::wellFormed).
            if (!sample.wellFormed()) {
                if (tally_) {
                    tally_->ObserveUndecodable(infoSeq_[i]);
                }
                continue;
            }
            currentSampleId_ = sample.sampleId();
            const auto verdict = RunPayloadCheck(sample);
            if (tally_) {
                tally_->Observe(infoSeq_[i], quillModel::SampleFacts{sample.sampleId(), sample.payload().size()},
                                verdict);
            }
            IntakeSample(sample.payload().size());
        }
        ReturnLoan(reader);
        Throttle();
    } catch (const std::exception& e) {
        QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {} Exception: {}.", topicName_, readerIndex_,
                  currentSampleId_, e.what());
        // The rest of the call is skipped, but the samples must not stay on
        // loan: the next take into these sequences would fail, for good.
        ReturnLoanIfLoaned(reader);
    } catch (...) {
        QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {} Unknown Exception", topicName_, readerIndex_,
                  currentSampleId_);
        ReturnLoanIfLoaned(reader);
    }
}

void QuillReaderListener::UpdateRate()
{
    bool report = false;
    int64_t samples = 0;
    uint64_t errors = 0;
    double elapsed = 0.0;
    {
        std::lock_guard lock(statsMutex_);
        if (!firstSample_) {
            const auto nanoseconds =
                std::chrono::duration_cast<std::chrono::nanoseconds>(clock_() - lastCallTime_).count();
            const double interval = static_cast<double>(nanoseconds) / NANOSECONDS_PER_SECOND;
            lastIntervalSec_ = interval;
            elapsedSec_ += interval;
            secSinceReport_ = static_cast<float>(secSinceReport_ + interval);
            if (secSinceReport_ > REPORT_PERIOD_SEC) {
                report = true;
                samples = totalSamplesReceived_;
                errors = totalSampleErrors_;
                elapsed = elapsedSec_;
                secSinceReport_ = 0.0f;
            }
        }
    }
    if (report) {
        QUILL_LOG(log4cplus::INFO_LOG_LEVEL,
                  "[{}][{}]\tTotal sample received: {} Avg: {}. Freq: {}. Total sample errors so far: {}", topicName_,
                  readerIndex_, samples, elapsed / static_cast<double>(samples), static_cast<double>(samples) / elapsed,
                  errors);
    }
    lastCallTime_ = clock_();
}

quillModel::PayloadVerdict QuillReaderListener::RunPayloadCheck(AgnosticTopic& sample)
{
    using quillModel::PayloadVerdict;
    if (!gExpectedPayloadPattern.empty()) {
        return PatternHolds(sample) ? PayloadVerdict::Passed : PayloadVerdict::Failed;
    }
    if (gCheckRamp.load()) {
        return RampHolds(sample) ? PayloadVerdict::Passed : PayloadVerdict::Failed;
    }
    return PayloadVerdict::NotChecked;
}

void QuillReaderListener::IntakeSample(uint64_t payloadBytes)
{
    bool first = false;
    bool mismatch = false;
    uint32_t last = 0;
    {
        std::lock_guard lock(statsMutex_);
        first = firstSample_;
        last = lastSampleId_;
        if (!first) {
            const uint32_t expected = lastSampleId_ + static_cast<uint32_t>(gExpectedSampleIdIncrement.load());
            if (currentSampleId_ != expected) {
                mismatch = true;
                ++totalSampleErrors_;
            }
        }
        ++totalSamplesReceived_;
        firstSample_ = false;
        lastSampleId_ = currentSampleId_;
    }
    if (first) {
        QUILL_LOG(log4cplus::INFO_LOG_LEVEL, "[{}][{}] SampleId: {} Payload size: {}", topicName_, readerIndex_,
                  currentSampleId_, payloadBytes);
    } else if (mismatch) {
        QUILL_LOG(log4cplus::INFO_LOG_LEVEL, "[{}][{}] sample id mismatch last: {} current: {}", topicName_,
                  readerIndex_, last, currentSampleId_);
    }
}

void QuillReaderListener::IntakeUnnumbered(uint64_t payloadBytes, uint64_t lostBefore)
{
    bool first = false;
    {
        std::lock_guard lock(statsMutex_);
        first = firstSample_;
        // Without ids, the samples the middleware lost are the lost ones.
        totalSampleErrors_ += lostBefore;
        ++totalSamplesReceived_;
        firstSample_ = false;
    }
    if (first) {
        QUILL_LOG(log4cplus::INFO_LOG_LEVEL, "[{}][{}] First sample without a sample id, payload size: {}", topicName_,
                  readerIndex_, payloadBytes);
    }
}

void QuillReaderListener::ReturnLoan(fdds::DataReader* reader)
{
    const auto rc = reader->return_loan(dataSeq_, infoSeq_);
    if (!compat::IsOk(rc)) {
        QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {} Error during return loan: {}.", topicName_,
                  readerIndex_, currentSampleId_, RetcodeToString(compat::RetcodeValue(rc)));
    }
}

void QuillReaderListener::ReturnLoanIfLoaned(fdds::DataReader* reader)
{
    // Only a take that succeeded left a loan (the sequences then own nothing).
    if (!dataSeq_.has_ownership()) {
        ReturnLoan(reader);
    }
}

void QuillReaderListener::Throttle()
{
    if (gSleepPeriod.load() != 0) {
        QUILL_LOG(log4cplus::INFO_LOG_LEVEL, "[{}][{}] SampleId: {} Going sleep for: {} us.", topicName_, readerIndex_,
                  currentSampleId_, gSleepPeriod.load());
        usleep(static_cast<useconds_t>(gSleepPeriod.load()));
    }
}

// ---------------------------------------------------------------- payload checks

void QuillReaderListener::CheckRamp(AgnosticTopic& sample)
{
    RampHolds(sample);
}

void QuillReaderListener::CheckExpectedPayloadPattern(AgnosticTopic& sample)
{
    PatternHolds(sample);
}

bool QuillReaderListener::RampHolds(AgnosticTopic& sample)
{
    const auto& payload = sample.payload();
    const uint8_t* bytes = payload.data();
    const auto length = static_cast<int64_t>(payload.size());
    const auto count = static_cast<int32_t>(length / 4);

    if (logger_.isEnabledFor(log4cplus::INFO_LOG_LEVEL)) {
        if (count >= 3) {
            QUILL_LOG(log4cplus::INFO_LOG_LEVEL, "[{}][{}] SampleId: {}. CheckRamp length: {} [{} {} {} {}]",
                      topicName_, readerIndex_, currentSampleId_, length, FloatAt(bytes, 0), FloatAt(bytes, 1),
                      FloatAt(bytes, 2), FloatAt(bytes, count - 1));
        } else {
            // Fewer than three elements: "-" stands for each one missing.
            QUILL_LOG(log4cplus::INFO_LOG_LEVEL, "[{}][{}] SampleId: {}. CheckRamp length: {} [{} {} {} {}]",
                      topicName_, readerIndex_, currentSampleId_, length, ElementText(bytes, count, 0),
                      ElementText(bytes, count, 1), ElementText(bytes, count, 2),
                      ElementText(bytes, count, int64_t{count} - 1));
        }
    }
    if (count <= 1) {
        return true;
    }
    const double base = FloatAt(bytes, 0);
    for (int32_t i = SkipRampBlocks(bytes, 1, count, base); i < count; ++i) {
        const double expected = base + static_cast<double>(i) * RAMP_STEP;
        const double deviation = static_cast<double>(FloatAt(bytes, i)) - expected;
        if (std::fabs(deviation) > RAMP_TOLERANCE) {
            QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {}. CheckRamp error: {} [{} {} {}]", topicName_,
                      readerIndex_, currentSampleId_, i, FloatAt(bytes, 0), FloatAt(bytes, i), deviation);
            gExitRequested.store(true);
            return false;
        }
    }
    return true;
}

bool QuillReaderListener::PatternHolds(AgnosticTopic& sample)
{
    if (gExpectedPayloadPattern != ALTERNATING_FLOAT_RAMP) {
        QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {}. Unsupported expected payload pattern: {}",
                  topicName_, readerIndex_, currentSampleId_, gExpectedPayloadPattern);
        gExitRequested.store(true);
        return false;
    }
    const auto& payload = sample.payload();
    const auto length = static_cast<uint64_t>(payload.size());
    if (length % 4 != 0) {
        QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {}. Payload size {} is incompatible with {}",
                  topicName_, readerIndex_, currentSampleId_, length, gExpectedPayloadPattern);
        gExitRequested.store(true);
        return false;
    }
    const uint8_t* bytes = payload.data();
    const auto count = static_cast<int64_t>(length / 4);
    float expected = static_cast<float>(readerIndex_);
    float step = 1.0f;
    if ((currentSampleId_ & 1u) != 0) {
        expected = -expected;
        step = -1.0f;
    }
    int64_t k = 0;
    SkipPatternBlocks(bytes, k, count, expected, step);
    for (; k < count; ++k) {
        if (!(FloatAt(bytes, k) == expected)) {
            QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}] SampleId: {}. Payload pattern mismatch: {}", topicName_,
                      readerIndex_, currentSampleId_, gExpectedPayloadPattern);
            gExitRequested.store(true);
            return false;
        }
        expected += step;
    }
    QUILL_LOG(log4cplus::INFO_LOG_LEVEL, "[{}][{}] SampleId: {}. Payload pattern verified: {} length: {}", topicName_,
              readerIndex_, currentSampleId_, gExpectedPayloadPattern, length);
    return true;
}

// ---------------------------------------------------------------- status events

void QuillReaderListener::on_subscription_matched(fdds::DataReader*, const fdds::SubscriptionMatchedStatus& status)
{
    QUILL_LOG(log4cplus::INFO_LOG_LEVEL, "[{}][{}]", topicName_, readerIndex_);
    {
        // A writer came or went: the statistics start over. The count starts
        // at -1, so the first sample after a match brings it to 0.
        std::lock_guard lock(statsMutex_);
        totalSampleErrors_ = 0;
        elapsedSec_ = 0.0;
        firstSample_ = true;
        totalSamplesReceived_ = -1;
    }
    if (tally_) {
        tally_->OnSubscriptionMatched(status);
    }
}

void QuillReaderListener::on_requested_deadline_missed(fdds::DataReader*,
                                                       const fdds::RequestedDeadlineMissedStatus& status)
{
    QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}]", topicName_, readerIndex_);
    if (tally_) {
        tally_->OnDeadlineMissed(status);
    }
}

void QuillReaderListener::on_liveliness_changed(fdds::DataReader*, const fdds::LivelinessChangedStatus& status)
{
    QUILL_LOG(log4cplus::INFO_LOG_LEVEL,
              "[{}][{}] alive_count: {} not_alive_count: {} alive_count_change: {} not_alive_count_change: {}",
              topicName_, readerIndex_, status.alive_count, status.not_alive_count, status.alive_count_change,
              status.not_alive_count_change);
    bool report = false;
    int64_t samples = 0;
    uint64_t errors = 0;
    double elapsed = 0.0;
    {
        // Report what was gathered since the previous reset, then start over;
        // the error count survives until the next match.
        std::lock_guard lock(statsMutex_);
        if (totalSamplesReceived_ > 0) {
            report = true;
            samples = totalSamplesReceived_;
            errors = totalSampleErrors_;
            elapsed = elapsedSec_;
        }
        elapsedSec_ = 0.0;
        totalSamplesReceived_ = 0;
        firstSample_ = true;
    }
    if (report) {
        QUILL_LOG(log4cplus::INFO_LOG_LEVEL,
                  "[{}][{}] Total sample received: {} Avg: {}. Freq: {}. Total sample errors: {}", topicName_,
                  readerIndex_, samples, elapsed / static_cast<double>(samples), static_cast<double>(samples) / elapsed,
                  errors);
    }
    if (tally_) {
        tally_->OnLivelinessChanged(status);
    }
}

void QuillReaderListener::on_sample_rejected(fdds::DataReader* reader, const fdds::SampleRejectedStatus& status)
{
    QUILL_LOG(log4cplus::WARN_LOG_LEVEL,
              "[{}][{}] SampleRejectedStatus.last_reason: {}. SampleRejectedStatus.total_count_change: {}. "
              "SampleRejectedStatus.total_count: {}",
              topicName_, readerIndex_, status.last_reason, status.total_count_change, status.total_count);
    if (tally_) {
        const bool reliable = reader != nullptr &&
                              reader->get_qos().reliability().kind == fdds::RELIABLE_RELIABILITY_QOS;
        tally_->OnSampleRejected(status, quillModel::RefusalLeavesAHole(status.last_reason, reliable));
    }
}

void QuillReaderListener::on_requested_incompatible_qos(fdds::DataReader*,
                                                        const fdds::RequestedIncompatibleQosStatus& status)
{
    QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}]", topicName_, readerIndex_);
    if (tally_) {
        tally_->OnIncompatibleQos(status);
    }
}

void QuillReaderListener::on_sample_lost(fdds::DataReader*, const fdds::SampleLostStatus& status)
{
    QUILL_LOG(log4cplus::ERROR_LOG_LEVEL, "[{}][{}] total_count: {} total_count_change: {}", topicName_, readerIndex_,
              status.total_count, status.total_count_change);
    if (tally_) {
        tally_->OnSampleLost(status);
    }
}

// ---------------------------------------------------------------- formatting

std::string_view LUMO_FORMAT_NAMESPACE::formatter<fdds::SampleRejectedStatusKind>::Name(
    const fdds::SampleRejectedStatusKind& kind)
{
    return lumo::componentFramework::SampleRejectedReasonName(kind);
}
