// The payload checks on long payloads, where they scan whole blocks ahead of
// their element loops: the outcome (stop flag, and the element and deviation
// reported) must be what a plain element-by-element reading of the rules
// gives, wherever the first bad element falls relative to the blocks, and
// whatever the instruction set the scans were built for.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogCapture.h"
#include "PayloadCheckReference.h"
#include "lumo/Format.h"
#include "payloadPatterns.h"
#include "quillPayloadScan.h"
#include "quillReaderListener.h"

using lumo::componentFramework::AgnosticTopic;
using namespace lumo::test;

namespace {

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float Inf = std::numeric_limits<float>::infinity();

AgnosticTopic Sample(const std::vector<float>& values, size_t extraBytes = 0)
{
    std::vector<uint8_t> bytes(values.size() * sizeof(float) + extraBytes, 0x5A);
    if (!values.empty()) {
        std::memcpy(bytes.data(), values.data(), values.size() * sizeof(float));
    }
    AgnosticTopic sample;
    sample.payload(std::move(bytes));
    return sample;
}

// The publisher's own payload (its builder), as elements. Its ramp from any
// start between -64 and 64 passes the check for the lengths used here.
std::vector<float> Published(const PayloadPattern& pattern, uint32_t id, size_t count)
{
    std::vector<uint8_t> bytes(count * sizeof(float));
    FillPayload(pattern, id, bytes);
    return FloatsOf(bytes);
}

// The running single-precision sum the check follows, not the publisher's
// r + k: the two part beyond 2^24, which a test below wants.
std::vector<float> Pattern(uint32_t readerIndex, uint32_t id, size_t count)
{
    std::vector<float> values(count);
    const float step = (id % 2 == 0) ? 1.0f : -1.0f;
    float expected = step * static_cast<float>(readerIndex);
    for (auto& value : values) {
        value = expected;
        expected += step;
    }
    return values;
}

class LongPayloads : public ::testing::Test
{
protected:
    void SetUp() override
    {
        gExitRequested = false;
        gExpectedPayloadPattern = "alternating_float_ramp";
    }
    void TearDown() override { gExpectedPayloadPattern.clear(); }

    // Runs CheckRamp and compares with the element-by-element reading:
    // the stop flag, and the exact error line when there is one.
    void ExpectRampAsReference(const std::vector<float>& values, size_t extraBytes = 0)
    {
        SCOPED_TRACE(lumo::format("{} elements, first {}", values.size(), values.empty() ? 0.0f : values[0]));
        LogCapture log(log4cplus::ERROR_LOG_LEVEL);
        gExitRequested = false;
        AgnosticTopic sample = Sample(values, extraBytes);
        listener_.currentSampleId_ = 11;
        listener_.CheckRamp(sample);
        const auto off = FirstOffRamp(values);
        EXPECT_EQ(gExitRequested.load(), off.has_value());
        if (off) {
            const size_t i = *off;
            const double deviation = static_cast<double>(values[i]) -
                                     (static_cast<double>(values[0]) + static_cast<double>(i) * 0.001);
            EXPECT_EQ(log.Messages(),
                      std::vector<std::string>{lumo::format("[long][5] SampleId: 11. CheckRamp error: {} [{} {} {}]", i,
                                                            values[0], values[i], deviation)});
        } else {
            EXPECT_TRUE(log.Messages().empty());
        }
    }

    void ExpectPatternAsReference(const std::vector<float>& values, uint32_t readerIndex, uint32_t id)
    {
        SCOPED_TRACE(lumo::format("{} elements, reader {}, id {}", values.size(), readerIndex, id));
        LogCapture log(log4cplus::INFO_LOG_LEVEL);
        gExitRequested = false;
        QuillReaderListener listener("long", static_cast<unsigned short>(readerIndex));
        listener.currentSampleId_ = id;
        AgnosticTopic sample = Sample(values);
        listener.CheckExpectedPayloadPattern(sample);
        const bool matches = MatchesPattern(values, readerIndex, id);
        EXPECT_EQ(gExitRequested.load(), !matches);
        const std::string expected =
            matches
                ? lumo::format("[long][{}] SampleId: {}. Payload pattern verified: alternating_float_ramp length: {}",
                               readerIndex, id, values.size() * 4)
                : lumo::format("[long][{}] SampleId: {}. Payload pattern mismatch: alternating_float_ramp", readerIndex,
                               id);
        EXPECT_EQ(log.Messages(), std::vector<std::string>{expected});
    }

    QuillReaderListener listener_{"long", 5};
};

// Lengths around the block sizes, and positions of a bad element at every
// place in and around the first blocks and at the very end.
const size_t LENGTHS[] = {2, 15, 16, 17, 18, 31, 32, 33, 34, 47, 48, 49, 63, 64, 65, 100, 257, 1000};

std::vector<size_t> PositionsFor(size_t count)
{
    std::vector<size_t> positions;
    for (size_t p = 1; p < std::min<size_t>(count, 70); ++p) {
        positions.push_back(p);
    }
    positions.push_back(count - 1);
    return positions;
}

TEST_F(LongPayloads, RampReportsTheFirstElementOffTheRampWhereverItLies)
{
    for (const size_t count : LENGTHS) {
        for (const size_t position : PositionsFor(count)) {
            for (const float fault : {2e-5f, -2e-5f, 0.5f, -Inf, Inf}) {
                auto values = Published({PayloadKind::Ramp, -3.25}, 0, count);
                values[position] += fault;
                ExpectRampAsReference(values);
                // A second fault further on is never the one reported.
                if (position + 3 < count) {
                    values[position + 3] += 1.0f;
                    ExpectRampAsReference(values, 3);
                }
            }
        }
    }
}

TEST_F(LongPayloads, RampToleranceNaNAndMagnitudeAsTheElementLoop)
{
    for (const size_t count : LENGTHS) {
        // Starts where single-precision rounding alone nears or passes the
        // tolerance, so that some elements pass by a hair and others fail.
        for (const float start : {0.0f, -0.0f, 1.0f, 63.5f, 100.0f, 127.9f, 128.0f, 1000.0f, -5000.0f}) {
            ExpectRampAsReference(Published({PayloadKind::Ramp, start}, 0, count));
        }
        // NaN never fails; a NaN first element makes every element pass.
        auto values = Published({PayloadKind::Ramp, 2.0}, 0, count);
        values[count / 2] = NaN;
        ExpectRampAsReference(values);
        values[0] = NaN;
        values[count - 1] = 1e30f;
        ExpectRampAsReference(values);
    }
    // Deviations within a few single-precision steps of the tolerance: the
    // slightest widening or narrowing of the test changes the verdict.
    std::mt19937 random(6);
    std::uniform_real_distribution<double> nearTolerance(1e-5 - 1.5e-7, 1e-5 + 1.5e-7);
    std::uniform_int_distribution<size_t> anywhere(1, 79);
    for (int round = 0; round < 400; ++round) {
        auto values = Published({PayloadKind::Ramp, 0.5}, 0, 80);
        const size_t position = anywhere(random);
        const double sign = (round % 2 == 0) ? 1.0 : -1.0;
        values[position] = static_cast<float>(0.5 + static_cast<double>(position) * 0.001 +
                                              sign * nearTolerance(random));
        ExpectRampAsReference(values);
    }
}

TEST_F(LongPayloads, PatternMismatchAnywhereIsFoundAndMatchesAreVerified)
{
    for (const size_t count : LENGTHS) {
        for (const uint32_t readerIndex : {0u, 1u, 14u, 65535u}) {
            for (const uint32_t id : {8u, 9u}) {
                ExpectPatternAsReference(Pattern(readerIndex, id, count), readerIndex, id);
                for (const size_t position : PositionsFor(count)) {
                    for (const float fault : {NaN, 1.0f, -1.0f}) {
                        auto values = Pattern(readerIndex, id, count);
                        values[position] = std::isnan(fault) ? NaN : values[position] + fault;
                        ExpectPatternAsReference(values, readerIndex, id);
                    }
                }
                // The two zeros compare equal: reader 0 may start with either.
                auto values = Pattern(readerIndex, id, count);
                if (readerIndex == 0) {
                    values[0] = -values[0];
                    ExpectPatternAsReference(values, readerIndex, id);
                }
            }
        }
    }
}

TEST_F(LongPayloads, PatternPastTwoToTheTwentyFourKeepsTheRunningSingleSum)
{
    // From reader 65535, element 16711681 on the expected value is 2^24 and
    // stays there (2^24 + 1 rounds back in single precision).
    const uint32_t readerIndex = 65535;
    // Whole blocks only, and a few elements more.
    for (const size_t count : {(size_t{1} << 24) - readerIndex + 47, (size_t{1} << 24) - readerIndex + 40}) {
        for (const uint32_t id : {2u, 3u}) {
            auto values = Pattern(readerIndex, id, count);
            ExpectPatternAsReference(values, readerIndex, id);
            EXPECT_EQ(std::fabs(values.back()), 16777216.0f);
            // What the publisher sends instead (each r + k rounded to single
            // precision): 2^24 + 2 where the check still expects 2^24.
            values = Published({PayloadKind::AlternatingFloatRamp, 0.0, readerIndex}, id, count);
            ExpectPatternAsReference(values, readerIndex, id);
            // Built block by block (each block's start plus 0..15, in single
            // precision): equal to the running sum until it reaches 2^24,
            // then 2^24 + 2 where the running sum stays at 2^24.
            const float step = (id % 2 == 0) ? 1.0f : -1.0f;
            float blockStart = step * static_cast<float>(readerIndex);
            for (size_t k = 0; k < count; k += 16) {
                for (size_t j = 0; j < 16 && k + j < count; ++j) {
                    values[k + j] = blockStart + step * static_cast<float>(j);
                }
                blockStart += 16.0f * step;
            }
            ExpectPatternAsReference(values, readerIndex, id);
            values = Pattern(readerIndex, id, count);
            values[count - 60] = NaN;
            ExpectPatternAsReference(values, readerIndex, id);
        }
    }
}

// The listener runs one build of the scans; both must stop at the block that
// holds the first bad element, or run to the last whole block.
TEST_F(LongPayloads, BothBuildsOfTheScansStopAtTheBlockOfTheFirstBadElement)
{
    const bool avx2 = __builtin_cpu_supports("avx2");
    for (const size_t count : LENGTHS) {
        // count itself: no bad element at all.
        auto positions = PositionsFor(count);
        positions.push_back(count);
        for (const size_t position : positions) {
            auto ramp = Published({PayloadKind::Ramp, 7.0}, 0, count);
            if (position < count) {
                ramp[position] += 1e-4f;
            }
            const auto bytes = Sample(ramp).payload();
            const auto n = static_cast<int32_t>(count);
            const int32_t wholeBlocksEnd = 1 + (n - 1) / 16 * 16;
            const int32_t expected = std::min(wholeBlocksEnd, 1 + static_cast<int32_t>(position - 1) / 16 * 16);
            EXPECT_EQ(quillPayloadScan::RampScan(bytes.data(), 1, n, ramp[0]), expected) << count << " " << position;
            if (avx2) {
                EXPECT_EQ(quillPayloadScan::RampScanAvx2(bytes.data(), 1, n, ramp[0]), expected)
                    << count << " " << position;
            }

            const auto pattern = Sample([&] {
                                     auto values = Pattern(3, 4, count);
                                     if (position < count) {
                                         values[position] = NaN;
                                     }
                                     return values;
                                 }())
                                     .payload();
            const int64_t patternEnd = std::min<int64_t>(static_cast<int64_t>(count) / 16 * 16,
                                                         static_cast<int64_t>(position) / 16 * 16);
            for (const bool wide : {false, true}) {
                if (wide && !avx2) {
                    continue;
                }
                int64_t k = 0;
                float running = 3.0f;
                if (wide) {
                    quillPayloadScan::PatternScanAvx2(pattern.data(), k, static_cast<int64_t>(count), running, 1.0f);
                } else {
                    quillPayloadScan::PatternScan(pattern.data(), k, static_cast<int64_t>(count), running, 1.0f);
                }
                EXPECT_EQ(k, patternEnd) << count << " " << position << " " << wide;
                EXPECT_EQ(running, 3.0f + static_cast<float>(patternEnd)) << count << " " << position;
            }
        }
    }
}

} // namespace
