// The per-reader listener of lumoQuillmon: takes every sample of its reader,
// checks it, keeps the reception statistics and logs every status event.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/core/status/SampleRejectedStatus.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <log4cplus/logger.h>

#include "lumo/Format.h"
#include "lumo/componentFramework/AgnosticTopic.h"
#include "model/readerTally.h"

// Run settings, written once by the driver before any reader exists.
extern std::atomic<int> gSleepPeriod;               // microseconds slept after each take; 0: none
extern std::atomic<bool> gCheckRamp;                // run CheckRamp on every sample
extern std::string gExpectedPayloadPattern;         // run CheckExpectedPayloadPattern when not empty
extern std::atomic<int> gExpectedSampleIdIncrement; // step between consecutive sample ids
// Stop flag: set by SIGINT/SIGTERM and by a failed payload check, never reset.
extern std::atomic<bool> gExitRequested;

class QuillReaderListener : public eprosima::fastdds::dds::DataReaderListener
{
public:
    // Source of the wall-clock time used for the reception intervals; tests
    // pass a clock of their own.
    using Clock = std::chrono::system_clock::time_point (*)();

    QuillReaderListener(const char* topicName, unsigned short readerIndex);
    QuillReaderListener(const char* topicName, unsigned short readerIndex, Clock clock);
    ~QuillReaderListener() override;

    QuillReaderListener(const QuillReaderListener&) = delete;
    QuillReaderListener& operator=(const QuillReaderListener&) = delete;

    void on_data_available(eprosima::fastdds::dds::DataReader* reader) override;
    void on_subscription_matched(eprosima::fastdds::dds::DataReader* reader,
                                 const eprosima::fastdds::dds::SubscriptionMatchedStatus& status) override;
    void on_requested_deadline_missed(eprosima::fastdds::dds::DataReader* reader,
                                      const eprosima::fastdds::dds::RequestedDeadlineMissedStatus& status) override;
    void on_liveliness_changed(eprosima::fastdds::dds::DataReader* reader,
                               const eprosima::fastdds::dds::LivelinessChangedStatus& status) override;
    void on_sample_rejected(eprosima::fastdds::dds::DataReader* reader,
                            const eprosima::fastdds::dds::SampleRejectedStatus& status) override;
    void on_requested_incompatible_qos(eprosima::fastdds::dds::DataReader* reader,
                                       const eprosima::fastdds::dds::RequestedIncompatibleQosStatus& status) override;
    void on_sample_lost(eprosima::fastdds::dds::DataReader* reader,
                        const eprosima::fastdds::dds::SampleLostStatus& status) override;

    // Payload checks of the sample whose id is currentSampleId_. A failure
    // logs an ERROR line and sets gExitRequested.
    void CheckRamp(lumo::componentFramework::AgnosticTopic& sample);
    void CheckExpectedPayloadPattern(lumo::componentFramework::AgnosticTopic& sample);

    // Per-writer tallies for the report and --fail-on; set before the reader
    // is enabled, never otherwise. Without one the data path is unchanged.
    void AttachTally(std::shared_ptr<quillModel::ReaderTally> tally) { tally_ = std::move(tally); }

    // Consistent reads of the counters while callbacks may still run.
    int64_t TotalSamplesReceived() const;
    uint64_t TotalSampleErrors() const;

    log4cplus::Logger& logger_;
    // Reception statistics: written by the data callback and by the status
    // callbacks (on other Fast DDS threads), read by the driver's exit report;
    // every access holds statsMutex_.
    int64_t totalSamplesReceived_;
    uint64_t totalSampleErrors_;
    const std::string topicName_;
    // Data path only (serialised by intakeMutex_).
    uint32_t lastSampleId_;
    uint32_t currentSampleId_;
    std::chrono::system_clock::time_point lastCallTime_;
    double lastIntervalSec_;
    double elapsedSec_; // statsMutex_
    float secSinceReport_;
    bool firstSample_; // statsMutex_
    eprosima::fastdds::dds::LoanableSequence<lumo::componentFramework::AgnosticTopic> dataSeq_;
    eprosima::fastdds::dds::LoanableSequence<eprosima::fastdds::dds::SampleInfo> infoSeq_;
    const uint32_t readerIndex_;
    // Set once by the driver after every reader exists; until then incoming
    // data stays in the reader.
    std::atomic<bool> ready_;

protected:
    // For listeners of other sample types: the reader's rate, the counters
    // and the first-sample and mismatch lines, for a sample whose id is
    // currentSampleId_; then the same without an id to check.
    void UpdateRate();
    void IntakeSample(uint64_t payloadBytes);
    void IntakeUnnumbered(uint64_t payloadBytes, uint64_t lostBefore);
    void Throttle();
    const std::shared_ptr<quillModel::ReaderTally>& Tally() const { return tally_; }
    // Serialises one reader's data callbacks.
    std::mutex intakeMutex_;

private:
    quillModel::PayloadVerdict RunPayloadCheck(lumo::componentFramework::AgnosticTopic& sample);
    // The checks proper: false when the sample failed (logged, stop flag set).
    bool RampHolds(lumo::componentFramework::AgnosticTopic& sample);
    bool PatternHolds(lumo::componentFramework::AgnosticTopic& sample);
    void ReturnLoan(eprosima::fastdds::dds::DataReader* reader);
    void ReturnLoanIfLoaned(eprosima::fastdds::dds::DataReader* reader);

    Clock clock_;
    std::shared_ptr<quillModel::ReaderTally> tally_;
    mutable std::mutex statsMutex_;
};

// Name of a sample-rejected reason, formatted like a string (fill, align,
// width and precision apply to the name).
template <>
struct LUMO_FORMAT_NAMESPACE::formatter<eprosima::fastdds::dds::SampleRejectedStatusKind>
    : LUMO_FORMAT_NAMESPACE::formatter<std::string_view>
{
    // By reference: the value is read as raw bits, so that a reason outside
    // the enumeration (a newer peer's) is never loaded as an enum value.
    static std::string_view Name(const eprosima::fastdds::dds::SampleRejectedStatusKind& kind);

    template <typename FormatContext>
    auto format(const eprosima::fastdds::dds::SampleRejectedStatusKind& kind, FormatContext& ctx) const
    {
        return LUMO_FORMAT_NAMESPACE::formatter<std::string_view>::format(Name(kind), ctx);
    }
};
