// CheckRamp and CheckExpectedPayloadPattern on crafted payloads: their log
// lines by exact text and the stop flag.
#include <cmath>
#include <cstring>
#include <limits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "quillReaderListener.h"

using lumo::componentFramework::AgnosticTopic;
using namespace lumo::test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

// Crafted elements, not the publisher's builder: off-ramp values, NaN, and filler after them.
AgnosticTopic Sample(std::vector<float> values, size_t extraBytes = 0)
{
    std::vector<uint8_t> bytes(values.size() * sizeof(float) + extraBytes, 0xAB);
    if (!values.empty()) {
        std::memcpy(bytes.data(), values.data(), values.size() * sizeof(float));
    }
    AgnosticTopic sample;
    sample.payload(std::move(bytes));
    return sample;
}

class PayloadChecks : public ::testing::Test
{
protected:
    void SetUp() override
    {
        gExitRequested = false;
        gExpectedPayloadPattern = "alternating_float_ramp";
    }
    void TearDown() override { gExpectedPayloadPattern.clear(); }

    // Runs one check on `listener` for a sample with id `id`.
    void Ramp(AgnosticTopic sample, uint32_t id = 7)
    {
        listener_.currentSampleId_ = id;
        listener_.CheckRamp(sample);
    }
    void Pattern(AgnosticTopic sample, uint32_t id, QuillReaderListener& listener)
    {
        listener.currentSampleId_ = id;
        listener.CheckExpectedPayloadPattern(sample);
    }

    LogCapture log_;
    QuillReaderListener listener_{"pos", 2};
};

TEST_F(PayloadChecks, RampPassesOnTheRampAndStopsAtTheFirstElementOffIt)
{
    Ramp(Sample({5.0f, 5.001f, 5.002f}));
    EXPECT_THAT(log_.Records(),
                ElementsAre(LogRecord{log4cplus::INFO_LOG_LEVEL,
                                      "[pos][2] SampleId: 7. CheckRamp length: 12 [5 5.001 5.002 5.002]"}));
    EXPECT_FALSE(gExitRequested);

    log_.Clear();
    Ramp(Sample({5.0f, 5.001f, 5.003f, 9.0f, 5.004f}));
    const auto records = log_.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].message, "[pos][2] SampleId: 7. CheckRamp length: 20 [5 5.001 5.003 5.004]");
    EXPECT_EQ(records[1], (LogRecord{log4cplus::ERROR_LOG_LEVEL,
                                     "[pos][2] SampleId: 7. CheckRamp error: 2 [5 5.003 0.0009997825622560796]"}));
    EXPECT_TRUE(gExitRequested);
}

// Elements print in the shortest single-precision form and the deviation in
// the shortest double-precision form, scientific where that is shorter.
TEST_F(PayloadChecks, RampLinesPrintValuesInTheirShortestForm)
{
    Ramp(Sample({0.0001f, 0.0011f, 0.0021f, 0.0031f}));
    EXPECT_THAT(log_.Messages(),
                ElementsAre("[pos][2] SampleId: 7. CheckRamp length: 16 [1e-04 0.0011 0.0021 0.0031]"));
    EXPECT_FALSE(gExitRequested);

    log_.Clear();
    Ramp(Sample({0.0f, 1e15f, -0.0f, 100000.0f}));
    EXPECT_THAT(log_.Messages(), ElementsAre("[pos][2] SampleId: 7. CheckRamp length: 16 [0 1e+15 -0 1e+05]",
                                             "[pos][2] SampleId: 7. CheckRamp error: 1 [0 1e+15 999999986991104]"));

    log_.Clear();
    Ramp(Sample({-0.0f, -0.0005f, -INFINITY}));
    EXPECT_THAT(log_.Messages(),
                ElementsAre("[pos][2] SampleId: 7. CheckRamp length: 12 [-0 -5e-04 -inf -inf]",
                            "[pos][2] SampleId: 7. CheckRamp error: 1 [-0 -5e-04 -0.0015000000237487257]"));

    log_.Clear();
    Ramp(Sample({1e-04f, 100000.0f}));
    EXPECT_EQ(log_.Messages().back(), "[pos][2] SampleId: 7. CheckRamp error: 1 [1e-04 1e+05 99999.9989]");
    Ramp(Sample({0.0f, INFINITY}));
    EXPECT_EQ(log_.Messages().back(), "[pos][2] SampleId: 7. CheckRamp error: 1 [0 inf inf]");
}

TEST_F(PayloadChecks, RampToleranceIsAbsoluteAndStrict)
{
    // 1000.001 in single precision is 1000.0009765625: 2.34e-5 off.
    Ramp(Sample({1000.0f, 1000.001f}));
    EXPECT_TRUE(gExitRequested);
    EXPECT_THAT(log_.Messages().back(),
                ::testing::StartsWith("[pos][2] SampleId: 7. CheckRamp error: 1 [1000 1000.001 -2.34"));

    gExitRequested = false;
    log_.Clear();
    Ramp(Sample({100.0f, 100.001f}));
    EXPECT_FALSE(gExitRequested);

    // Just inside and just outside 1e-5.
    Ramp(Sample({0.0f, 0.001f + 9.5e-6f}));
    EXPECT_FALSE(gExitRequested);
    Ramp(Sample({0.0f, 0.001f + 1.05e-5f}));
    EXPECT_TRUE(gExitRequested);
}

TEST_F(PayloadChecks, RampNeverFailsOnNaNOrOnFewerThanTwoElements)
{
    Ramp(Sample({1.0f, NaN, 1.002f}));
    Ramp(Sample({NaN, 7.0f, -3.0f}));
    EXPECT_FALSE(gExitRequested);

    log_.Clear();
    Ramp(Sample({}));
    Ramp(Sample({}, 3));
    Ramp(Sample({42.0f}));
    Ramp(Sample({42.0f}, 3));
    EXPECT_FALSE(gExitRequested);
    // Elements the payload does not have show as "-"; nothing is read past it.
    EXPECT_THAT(log_.Messages(), ElementsAre("[pos][2] SampleId: 7. CheckRamp length: 0 [- - - -]",
                                             "[pos][2] SampleId: 7. CheckRamp length: 3 [- - - -]",
                                             "[pos][2] SampleId: 7. CheckRamp length: 4 [42 - - 42]",
                                             "[pos][2] SampleId: 7. CheckRamp length: 7 [42 - - 42]"));

    log_.Clear();
    Ramp(Sample({3.0f, 3.001f}));
    Ramp(Sample({3.0f, 3.001f, 3.002f}, 2)); // 14 bytes: three elements
    EXPECT_THAT(log_.Messages(), ElementsAre("[pos][2] SampleId: 7. CheckRamp length: 8 [3 3.001 - 3.001]",
                                             "[pos][2] SampleId: 7. CheckRamp length: 14 [3 3.001 3.002 3.002]"));
    EXPECT_FALSE(gExitRequested);
}

TEST_F(PayloadChecks, DisabledLevelsSilenceTheChecksButNotTheStopFlag)
{
    listener_.logger_.setLogLevel(log4cplus::FATAL_LOG_LEVEL);
    Ramp(Sample({1.0f, 2.0f, 3.0f}));
    EXPECT_TRUE(gExitRequested);

    gExitRequested = false;
    Pattern(Sample({1.0f}), 0, listener_);
    EXPECT_TRUE(gExitRequested);
    EXPECT_THAT(log_.Records(), IsEmpty());
}

TEST_F(PayloadChecks, PatternFollowsReaderIndexAndSampleIdParity)
{
    QuillReaderListener third("pos", 3);
    Pattern(Sample({3, 4, 5}), 8, third);
    Pattern(Sample({-3, -4, -5}), 9, third);
    EXPECT_FALSE(gExitRequested);
    Pattern(Sample({3, 4, 5}), 9, third);
    EXPECT_TRUE(gExitRequested);
    EXPECT_THAT(
        log_.Records(),
        ElementsAre(LogRecord{log4cplus::INFO_LOG_LEVEL,
                              "[pos][3] SampleId: 8. Payload pattern verified: alternating_float_ramp length: 12"},
                    LogRecord{log4cplus::INFO_LOG_LEVEL,
                              "[pos][3] SampleId: 9. Payload pattern verified: alternating_float_ramp length: 12"},
                    LogRecord{log4cplus::ERROR_LOG_LEVEL,
                              "[pos][3] SampleId: 9. Payload pattern mismatch: alternating_float_ramp"}));
}

TEST_F(PayloadChecks, PatternEdgeValues)
{
    QuillReaderListener first("pos", 0);
    // Odd id on reader 0 wants -0.0 first; +0.0 compares equal.
    Pattern(Sample({-0.0f, -1.0f}), 1, first);
    Pattern(Sample({0.0f, -1.0f}), 1, first);
    Pattern(Sample({}), 4, first);
    EXPECT_FALSE(gExitRequested);
    EXPECT_EQ(log_.Messages().back(),
              "[pos][0] SampleId: 4. Payload pattern verified: alternating_float_ramp length: 0");

    for (const auto& bad : {Sample({0, 1, 3}), Sample({0, NaN, 2}), Sample({NaN})}) {
        gExitRequested = false;
        log_.Clear();
        Pattern(bad, 2, first);
        EXPECT_TRUE(gExitRequested);
        EXPECT_THAT(log_.Messages(),
                    ElementsAre("[pos][0] SampleId: 2. Payload pattern mismatch: alternating_float_ramp"));
    }
}

TEST_F(PayloadChecks, PatternRefusesOddSizesAndUnknownNamesForEverySample)
{
    gExitRequested = false;
    Pattern(Sample({2.0f}, 2), 0, listener_);
    EXPECT_TRUE(gExitRequested);
    EXPECT_THAT(log_.Records(), ElementsAre(LogRecord{log4cplus::ERROR_LOG_LEVEL,
                                                      "[pos][2] SampleId: 0. Payload size 6 is incompatible with "
                                                      "alternating_float_ramp"}));

    for (const std::string name : {"Alternating_float_ramp", "alternating_float_ramp ", "ramp"}) {
        gExpectedPayloadPattern = name;
        gExitRequested = false;
        log_.Clear();
        Pattern(Sample({2.0f, 3.0f}), 6, listener_);
        Pattern(Sample({}, 1), 7, listener_);
        EXPECT_TRUE(gExitRequested);
        EXPECT_THAT(log_.Messages(),
                    ElementsAre("[pos][2] SampleId: 6. Unsupported expected payload pattern: " + name,
                                "[pos][2] SampleId: 7. Unsupported expected payload pattern: " + name));
    }
}

} // namespace
