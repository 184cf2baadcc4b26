// Sample intake of the reader listener on a real Fast DDS reader, fed by a
// writer in this process over loopback. Log lines are checked by exact text.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fastdds/dds/core/status/LivelinessChangedStatus.hpp>

#include "LogCapture.h"
#include "TestNames.h"
#include "lumo/componentFramework/DdsPub.h"
#include "lumo/componentFramework/DdsSub.h"
#include "quillReaderListener.h"

using namespace std::chrono_literals;
using lumo::componentFramework::AgnosticTopic;
using lumo::componentFramework::DdsPub;
using lumo::componentFramework::DdsSub;
using lumo::test::LogCapture;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

std::atomic<int64_t> gFakeNanos{0};

std::chrono::system_clock::time_point FakeNow()
{
    return std::chrono::system_clock::time_point(std::chrono::nanoseconds(gFakeNanos.load()));
}

void AdvanceClock(std::chrono::nanoseconds step)
{
    gFakeNanos += step.count();
}

// Literal elements, not the publisher's builder: the expected lines spell them out.
std::vector<uint8_t> Floats(std::initializer_list<float> values)
{
    std::vector<uint8_t> bytes(values.size() * sizeof(float));
    std::memcpy(bytes.data(), std::data(values), bytes.size());
    return bytes;
}

class SampleIntake : public ::testing::Test
{
protected:
    void SetUp() override
    {
        gSleepPeriod = 0;
        gCheckRamp = false;
        gExpectedPayloadPattern.clear();
        gExpectedSampleIdIncrement = 1;
        gExitRequested = false;
        gFakeNanos = 1'700'000'000'000'000'000;
    }

    void TearDown() override
    {
        if (sub_) {
            sub_->DestroyAllDataReaders();
        }
        pub_.reset();
        sub_.reset();
    }

    // Reader (ready unless told otherwise) and writer, matched; the reader's
    // match event has been logged, so the count starts at -1.
    void Start(bool ready = true)
    {
        topic_ = lumo::test::UniqueTopic("Intake");
        prefix_ = "[" + topic_ + "][0]";
        listener_ = std::make_shared<QuillReaderListener>(topic_.c_str(), 0, &FakeNow);
        sub_ = std::make_unique<DdsSub>(LUMO_TEST_QOS_FILE, "Test_Reliable", lumo::test::TestDomain(), "intakeTest");
        sub_->CreateParticipant();
        sub_->CreateSubscriber();
        sub_->CreateManyDataReaders({{topic_, listener_, ""}});
        listener_->ready_ = ready;
        sub_->EnableAllDataReaders();
        pub_ = std::make_unique<DdsPub>(LUMO_TEST_QOS_FILE, "Test_Reliable", lumo::test::TestDomain(), "intakeTest");
        pub_->CreateParticipant();
        pub_->CreatePublisher();
        pub_->CreateManyDataWriters({topic_});
        ASSERT_TRUE(pub_->WaitForMatchedReaders(0, 1, 20s));
        ASSERT_TRUE(log_.WaitFor(prefix_, 20s));
        // The match line comes first and the reset just after it, on the
        // Fast DDS thread: wait for the reset too.
        WaitUntil([this] { return listener_->TotalSamplesReceived() == -1; });
        ASSERT_EQ(listener_->TotalSamplesReceived(), -1) << ::testing::PrintToString(Messages());
        log_.Clear();
    }

    void Write(uint32_t id, std::vector<uint8_t> payload = {})
    {
        AgnosticTopic sample;
        sample.sampleId(id);
        sample.payload(std::move(payload));
        ASSERT_TRUE(pub_->Write(0, sample));
    }

    // Writes one sample and waits until the listener has counted it, so that
    // each sample gets a data-available call of its own.
    void WriteOne(uint32_t id, std::vector<uint8_t> payload = {})
    {
        const auto before = listener_->TotalSamplesReceived();
        Write(id, std::move(payload));
        WaitForCount(before + 1);
    }

    void WaitForCount(int64_t count)
    {
        WaitUntil([this, count] { return listener_->TotalSamplesReceived() >= count; });
        ASSERT_EQ(listener_->TotalSamplesReceived(), count);
    }

    template <typename Condition>
    static void WaitUntil(Condition done)
    {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
    }

    std::vector<std::string> Messages() const { return log_.Messages(); }

    LogCapture log_{log4cplus::TRACE_LOG_LEVEL};
    std::string topic_;
    std::string prefix_;
    std::shared_ptr<QuillReaderListener> listener_;
    std::unique_ptr<DdsSub> sub_;
    std::unique_ptr<DdsPub> pub_;
};

TEST_F(SampleIntake, ContinuityCountsEachDiscontinuityOnceAndResynchronises)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    for (uint32_t id : {10u, 11u, 12u, 14u, 15u, 15u, 3u, 4u}) {
        WriteOne(id);
    }
    // A burst that Fast DDS may hand over in one take or several.
    for (uint32_t id = 5; id <= 9; ++id) {
        Write(id);
    }
    WaitForCount(12);
    EXPECT_EQ(listener_->TotalSampleErrors(), 3u);
    EXPECT_THAT(Messages(), ElementsAre(prefix_ + " SampleId: 10 Payload size: 0",
                                        prefix_ + " sample id mismatch last: 12 current: 14",
                                        prefix_ + " sample id mismatch last: 15 current: 15",
                                        prefix_ + " sample id mismatch last: 15 current: 3"));
}

TEST_F(SampleIntake, ContinuityWrapsModulo2To32AndHonoursTheIncrement)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    WriteOne(4294967295u);
    WriteOne(0);
    EXPECT_EQ(listener_->TotalSampleErrors(), 0u);

    gExpectedSampleIdIncrement = 2;
    WriteOne(2);
    WriteOne(4);
    WriteOne(5);
    EXPECT_EQ(listener_->TotalSampleErrors(), 1u);

    gExpectedSampleIdIncrement = 0;
    WriteOne(5);
    WriteOne(5);
    WriteOne(6);
    EXPECT_EQ(listener_->TotalSampleErrors(), 2u);

    // An increment above 2^31 is stored as a negative setting and still
    // steps modulo 2^32: 4294967295 behaves as -1.
    gExpectedSampleIdIncrement = -1;
    WriteOne(5);
    EXPECT_EQ(listener_->TotalSampleErrors(), 2u);
    EXPECT_THAT(Messages(), ElementsAre(prefix_ + " SampleId: 4294967295 Payload size: 0",
                                        prefix_ + " sample id mismatch last: 4 current: 5",
                                        prefix_ + " sample id mismatch last: 5 current: 6"));
}

TEST_F(SampleIntake, NothingHappensUntilReadyThenWaitingDataIsTaken)
{
    ASSERT_NO_FATAL_FAILURE(Start(false));
    for (uint32_t id : {1u, 2u, 3u}) {
        Write(id);
    }
    ASSERT_TRUE(pub_->WaitForAcknowledgments(0, 20s)); // all three sit in the reader
    EXPECT_THAT(Messages(), IsEmpty());
    EXPECT_EQ(listener_->TotalSamplesReceived(), -1);

    listener_->ready_ = true;
    Write(4);
    WaitForCount(3);
    EXPECT_THAT(Messages(), ElementsAre(prefix_ + " SampleId: 1 Payload size: 0"));
}

TEST_F(SampleIntake, ABacklogBeyondFastDdsDefaultReadLimitIsTakenInOneCall)
{
    // More samples waiting than Fast DDS returns per take by default (32):
    // the one call that the next sample brings must take them all.
    ASSERT_NO_FATAL_FAILURE(Start(false));
    for (uint32_t id = 1; id <= 100; ++id) {
        Write(id);
    }
    ASSERT_TRUE(pub_->WaitForAcknowledgments(0, 20s));
    gSleepPeriod = 1;
    listener_->ready_ = true;
    Write(101);
    WaitForCount(100);
    EXPECT_THAT(Messages(), ElementsAre(prefix_ + " SampleId: 1 Payload size: 0",
                                        prefix_ + " SampleId: 101 Going sleep for: 1 us."));
}

TEST_F(SampleIntake, PayloadChecksRunPerSampleWithThePatternFirst)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    gCheckRamp = true;
    WriteOne(7, Floats({1.0f, 1.001f, 1.002f}));
    EXPECT_THAT(Messages(), ElementsAre(prefix_ + " SampleId: 7. CheckRamp length: 12 [1 1.001 1.002 1.002]",
                                        prefix_ + " SampleId: 7 Payload size: 12"));
    EXPECT_FALSE(gExitRequested);

    log_.Clear();
    gExpectedPayloadPattern = "alternating_float_ramp";
    WriteOne(8, Floats({0.0f, 1.0f}));
    WriteOne(9, Floats({0.0f, 1.0f})); // odd id: the pattern wants 0, -1
    EXPECT_THAT(Messages(),
                ElementsAre(prefix_ + " SampleId: 8. Payload pattern verified: alternating_float_ramp length: 8",
                            prefix_ + " SampleId: 9. Payload pattern mismatch: alternating_float_ramp"));
    // The failed sample is still counted, and the stop is requested.
    EXPECT_TRUE(gExitRequested);
    EXPECT_EQ(listener_->TotalSampleErrors(), 0u);
}

TEST_F(SampleIntake, ThrottlingSleepsOncePerSuccessfulTake)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    gSleepPeriod = 1000;
    WriteOne(1);
    WriteOne(2);
    EXPECT_EQ(log_.Count(prefix_ + " SampleId: 1 Going sleep for: 1000 us."), 1u);
    EXPECT_EQ(log_.Count(prefix_ + " SampleId: 2 Going sleep for: 1000 us."), 1u);

    // A take that finds nothing is an error and is not followed by a sleep.
    log_.Clear();
    listener_->on_data_available(sub_->Reader(0));
    EXPECT_THAT(Messages(), ElementsAre(prefix_ + " SampleId: 2 Error: RETCODE_NO_DATA."));
    EXPECT_EQ(log_.Records().front().level, log4cplus::ERROR_LOG_LEVEL);
}

TEST_F(SampleIntake, StatisticsFollowTheMeasuredIntervalsAndBothResets)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    // After the match the count starts at -1: five samples count as four.
    for (uint32_t id = 1; id <= 5; ++id) {
        WriteOne(id);
        AdvanceClock(500ms);
    }
    eprosima::fastdds::dds::LivelinessChangedStatus lost;
    lost.alive_count = 0;
    lost.not_alive_count = 1;
    lost.alive_count_change = -1;
    lost.not_alive_count_change = 1;
    log_.Clear();
    listener_->on_liveliness_changed(sub_->Reader(0), lost);
    EXPECT_THAT(Messages(),
                ElementsAre(prefix_ +
                                " alive_count: 0 not_alive_count: 1 alive_count_change: -1 not_alive_count_change: 1",
                            prefix_ + " Total sample received: 4 Avg: 0.5. Freq: 2. Total sample errors: 0"));

    // After a liveliness reset the count starts at 0.
    for (uint32_t id = 6; id <= 10; ++id) {
        WriteOne(id);
        AdvanceClock(500ms);
    }
    log_.Clear();
    listener_->on_liveliness_changed(sub_->Reader(0), lost);
    EXPECT_THAT(Messages(),
                Contains(prefix_ + " Total sample received: 5 Avg: 0.4. Freq: 2.5. Total sample errors: 0"));

    // One sample: no interval measured yet.
    WriteOne(11);
    log_.Clear();
    listener_->on_liveliness_changed(sub_->Reader(0), lost);
    EXPECT_THAT(Messages(), Contains(prefix_ + " Total sample received: 1 Avg: 0. Freq: inf. Total sample errors: 0"));
    EXPECT_EQ(listener_->TotalSamplesReceived(), 0);
}

TEST_F(SampleIntake, PeriodicStatisticsLineAfterMoreThanSixtySecondsOfIntervals)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    WriteOne(1); // count 0 after the match
    AdvanceClock(61s);
    log_.Clear();
    WriteOne(3);
    // Printed at the start of the call, before its sample: count 0, so Avg
    // is infinite; then the gap is found.
    EXPECT_THAT(Messages(),
                ElementsAre(prefix_ + "\tTotal sample received: 0 Avg: inf. Freq: 0. Total sample errors so far: 0",
                            prefix_ + " sample id mismatch last: 1 current: 3"));

    // Exactly 60 s is not more than 60 s; the timer restarted at the line.
    AdvanceClock(60s);
    log_.Clear();
    WriteOne(4);
    EXPECT_THAT(Messages(), IsEmpty());
    AdvanceClock(1s);
    WriteOne(5);
    EXPECT_THAT(Messages(), ElementsAre(prefix_ + "\tTotal sample received: 2 Avg: 61. Freq: 0.01639344262295082. "
                                                  "Total sample errors so far: 1"));
}

TEST_F(SampleIntake, DisabledLevelsSuppressTextButNotCounting)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    listener_->logger_.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    gSleepPeriod = 1;
    WriteOne(1);
    WriteOne(5);
    EXPECT_EQ(listener_->TotalSampleErrors(), 1u);
    EXPECT_EQ(listener_->TotalSamplesReceived(), 1);
    EXPECT_THAT(Messages(), IsEmpty());
}

// An exception inside the guarded region must not leave the samples on loan:
// the reader would refuse every later take, for the rest of the run. Both
// handlers: a standard exception and one of any other type.
TEST_F(SampleIntake, ExceptionIsLoggedAndTheLoanIsReturned)
{
    for (const bool standard : {true, false}) {
        SCOPED_TRACE(standard ? "std::exception" : "other exception");
        ASSERT_NO_FATAL_FAILURE(Start());
        log_.ThrowOn("Payload size", standard);
        WriteOne(10);
        const std::string caught = standard ? prefix_ + " SampleId: 10 Exception: injected failure."
                                            : prefix_ + " SampleId: 10 Unknown Exception";
        ASSERT_TRUE(log_.WaitFor(caught, 5s));
        log_.ThrowOn("");
        WriteOne(11);
        WriteOne(12);
        EXPECT_EQ(listener_->TotalSampleErrors(), 0u);
        EXPECT_THAT(Messages(), Not(Contains(::testing::HasSubstr("Error"))));
        EXPECT_THAT(Messages(), ElementsAre(prefix_ + " SampleId: 10 Payload size: 0", caught));
        TearDown();
    }
}

// Fast DDS runs status callbacks on other threads than the data callback,
// and the driver reads the counters while both may run. Run all three at once
// (ThreadSanitizer checks this build too), then check the state is whole.
TEST_F(SampleIntake, StatusEventsAndExitReadsRaceSafelyWithIntake)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    listener_->logger_.setLogLevel(log4cplus::ERROR_LOG_LEVEL); // keep the storm quiet
    std::atomic<bool> writing{true};
    std::thread writer([this, &writing] {
        for (uint32_t id = 0; id < 3000; ++id) {
            AgnosticTopic sample;
            sample.sampleId(id);
            pub_->Write(0, sample);
        }
        writing = false;
    });
    eprosima::fastdds::dds::LivelinessChangedStatus alive;
    int64_t lowest = 0;
    while (writing) {
        listener_->on_liveliness_changed(sub_->Reader(0), alive);
        listener_->on_subscription_matched(sub_->Reader(0), {});
        lowest = std::min(lowest, listener_->TotalSamplesReceived());
        (void)listener_->TotalSampleErrors();
    }
    writer.join();
    ASSERT_TRUE(pub_->WaitForAcknowledgments(0, 20s));
    EXPECT_GE(lowest, -1);

    // Whatever interleaving happened, the statistics restart cleanly.
    listener_->on_liveliness_changed(sub_->Reader(0), alive);
    EXPECT_EQ(listener_->TotalSamplesReceived(), 0);
    WriteOne(5000);
    WriteOne(5001);
    EXPECT_EQ(listener_->TotalSamplesReceived(), 2);
}

} // namespace
