// The status callbacks of the reader listener: their lines by exact text and
// level, and the two statistics resets.
#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fastdds/dds/core/status/BaseStatus.hpp>
#include <fastdds/dds/core/status/DeadlineMissedStatus.hpp>
#include <fastdds/dds/core/status/IncompatibleQosStatus.hpp>
#include <fastdds/dds/core/status/LivelinessChangedStatus.hpp>
#include <fastdds/dds/core/status/SubscriptionMatchedStatus.hpp>

#include "LogCapture.h"
#include "lumo/Format.h"
#include "quillReaderListener.h"

using namespace lumo::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
namespace fdds = eprosima::fastdds::dds;

namespace {

fdds::SampleRejectedStatus Rejected(uint32_t reason, uint32_t change, uint32_t total)
{
    fdds::SampleRejectedStatus status;
    // Raw bits: a reason beyond the enumeration must reach the formatter as is.
    std::memcpy(&status.last_reason, &reason, sizeof status.last_reason);
    status.total_count_change = change;
    status.total_count = total;
    return status;
}

fdds::LivelinessChangedStatus Liveliness(int32_t alive, int32_t notAlive, int32_t aliveChange, int32_t notAliveChange)
{
    fdds::LivelinessChangedStatus status;
    status.alive_count = alive;
    status.not_alive_count = notAlive;
    status.alive_count_change = aliveChange;
    status.not_alive_count_change = notAliveChange;
    return status;
}

void SetStatistics(QuillReaderListener& listener, int64_t samples, uint64_t errors, double elapsed)
{
    listener.totalSamplesReceived_ = samples;
    listener.totalSampleErrors_ = errors;
    listener.elapsedSec_ = elapsed;
    listener.firstSample_ = false;
}

class StatusReporting : public ::testing::Test
{
protected:
    LogCapture log_;
    QuillReaderListener listener_{"pos", 2};
};

TEST_F(StatusReporting, EventsWithoutCountersLogThePrefixAlone)
{
    listener_.on_requested_deadline_missed(nullptr, fdds::RequestedDeadlineMissedStatus());
    listener_.on_requested_incompatible_qos(nullptr, fdds::RequestedIncompatibleQosStatus());
    listener_.on_subscription_matched(nullptr, fdds::SubscriptionMatchedStatus());
    EXPECT_THAT(log_.Records(), ElementsAre(LogRecord{log4cplus::ERROR_LOG_LEVEL, "[pos][2]"},
                                            LogRecord{log4cplus::ERROR_LOG_LEVEL, "[pos][2]"},
                                            LogRecord{log4cplus::INFO_LOG_LEVEL, "[pos][2]"}));
}

TEST_F(StatusReporting, LostAndRejectedSamplesAreReportedWithoutTouchingCounters)
{
    SetStatistics(listener_, 9, 3, 1.5);
    fdds::SampleLostStatus lost;
    lost.total_count = 5;
    lost.total_count_change = 2;
    listener_.on_sample_lost(nullptr, lost);
    listener_.on_sample_rejected(nullptr, Rejected(2, 1, 7));
    listener_.on_sample_rejected(nullptr, Rejected(4, 1, 8));
    listener_.on_sample_rejected(nullptr, Rejected(5, 1, 9));
    listener_.on_sample_rejected(nullptr, Rejected(0xFFFFFFFF, 0, 9));
    const std::string rejected = "[pos][2] SampleRejectedStatus.last_reason: ";
    EXPECT_THAT(log_.Records(),
                ElementsAre(LogRecord{log4cplus::ERROR_LOG_LEVEL, "[pos][2] total_count: 5 total_count_change: 2"},
                            LogRecord{log4cplus::WARN_LOG_LEVEL,
                                      rejected +
                                          "REJECTED_BY_SAMPLES_LIMIT. SampleRejectedStatus.total_count_change: 1. "
                                          "SampleRejectedStatus.total_count: 7"},
                            LogRecord{log4cplus::WARN_LOG_LEVEL,
                                      rejected +
                                          "REJECTED_BY_UNKNOWN_INSTANCE. SampleRejectedStatus.total_count_change: "
                                          "1. SampleRejectedStatus.total_count: 8"},
                            LogRecord{log4cplus::WARN_LOG_LEVEL,
                                      rejected + "unknown. SampleRejectedStatus.total_count_change: 1. "
                                                 "SampleRejectedStatus.total_count: 9"},
                            LogRecord{log4cplus::WARN_LOG_LEVEL,
                                      rejected + "unknown. SampleRejectedStatus.total_count_change: 0. "
                                                 "SampleRejectedStatus.total_count: 9"}));
    EXPECT_EQ(listener_.TotalSamplesReceived(), 9);
    EXPECT_EQ(listener_.TotalSampleErrors(), 3u);
    EXPECT_FALSE(listener_.firstSample_);
}

TEST_F(StatusReporting, RejectedReasonFormatsLikeAString)
{
    const auto status = Rejected(1, 0, 0);
    EXPECT_EQ(lumo::format("<{:>30}>", status.last_reason), "<   REJECTED_BY_INSTANCES_LIMIT>");
    EXPECT_EQ(lumo::format("<{:*<14.8}>", status.last_reason), "<REJECTED******>");
    EXPECT_EQ(lumo::format("{}", Rejected(0, 0, 0).last_reason), "NOT_REJECTED");
    EXPECT_EQ(lumo::format("{}", Rejected(3, 0, 0).last_reason), "REJECTED_BY_SAMPLES_PER_INSTANCE_LIMIT");
}

TEST_F(StatusReporting, MatchAndUnmatchResetToMinusOne)
{
    SetStatistics(listener_, 40, 3, 12.0);
    fdds::SubscriptionMatchedStatus unmatched;
    unmatched.current_count = 0;
    unmatched.current_count_change = -1;
    listener_.on_subscription_matched(nullptr, unmatched);
    EXPECT_EQ(listener_.TotalSamplesReceived(), -1);
    EXPECT_EQ(listener_.TotalSampleErrors(), 0u);
    EXPECT_EQ(listener_.elapsedSec_, 0.0);
    EXPECT_TRUE(listener_.firstSample_);
}

TEST_F(StatusReporting, LivelinessChangeReportsThenResetsToZeroKeepingErrors)
{
    SetStatistics(listener_, 5, 3, 2.0);
    listener_.on_liveliness_changed(nullptr, Liveliness(0, 1, -1, 1));
    EXPECT_THAT(log_.Records(),
                ElementsAre(LogRecord{log4cplus::INFO_LOG_LEVEL,
                                      "[pos][2] alive_count: 0 not_alive_count: 1 alive_count_change: -1 "
                                      "not_alive_count_change: 1"},
                            LogRecord{log4cplus::INFO_LOG_LEVEL, "[pos][2] Total sample received: 5 Avg: 0.4. Freq: "
                                                                 "2.5. Total sample errors: 3"}));
    EXPECT_EQ(listener_.TotalSamplesReceived(), 0);
    EXPECT_EQ(listener_.TotalSampleErrors(), 3u);
    EXPECT_TRUE(listener_.firstSample_);
    EXPECT_EQ(listener_.elapsedSec_, 0.0);

    // A count of 0, or the -1 of a match, gives the counters line only.
    for (int64_t samples : {0, -1}) {
        log_.Clear();
        SetStatistics(listener_, samples, 3, 1.0);
        listener_.on_liveliness_changed(nullptr, Liveliness(1, 0, 1, 0));
        EXPECT_THAT(log_.Messages(),
                    ElementsAre(
                        "[pos][2] alive_count: 1 not_alive_count: 0 alive_count_change: 1 not_alive_count_change: 0"));
        EXPECT_EQ(listener_.TotalSamplesReceived(), 0);
    }

    // Round figures print in scientific notation where that is shorter.
    log_.Clear();
    SetStatistics(listener_, 4, 0, 400000.0);
    listener_.on_liveliness_changed(nullptr, Liveliness(1, 0, 1, 0));
    EXPECT_EQ(log_.Messages().back(),
              "[pos][2] Total sample received: 4 Avg: 1e+05. Freq: 1e-05. Total sample errors: 0");
    SetStatistics(listener_, 2, 1, 0.001);
    listener_.on_liveliness_changed(nullptr, Liveliness(1, 0, 1, 0));
    EXPECT_EQ(log_.Messages().back(),
              "[pos][2] Total sample received: 2 Avg: 5e-04. Freq: 2000. Total sample errors: 1");

    // No interval measured yet: Freq is infinite.
    log_.Clear();
    SetStatistics(listener_, 1, 0, 0.0);
    listener_.on_liveliness_changed(nullptr, Liveliness(1, 0, 1, 0));
    EXPECT_EQ(log_.Messages().back(), "[pos][2] Total sample received: 1 Avg: 0. Freq: inf. Total sample errors: 0");
}

TEST_F(StatusReporting, DisabledLevelsPrintNothingButResetAllTheSame)
{
    listener_.logger_.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    SetStatistics(listener_, 5, 2, 2.0);
    listener_.on_liveliness_changed(nullptr, Liveliness(0, 1, -1, 1));
    EXPECT_EQ(listener_.TotalSamplesReceived(), 0);
    EXPECT_EQ(listener_.TotalSampleErrors(), 2u);
    listener_.on_subscription_matched(nullptr, fdds::SubscriptionMatchedStatus());
    EXPECT_EQ(listener_.TotalSamplesReceived(), -1);
    EXPECT_EQ(listener_.TotalSampleErrors(), 0u);
    listener_.on_sample_rejected(nullptr, Rejected(1, 1, 1));
    EXPECT_THAT(log_.Records(), IsEmpty());
}

} // namespace
