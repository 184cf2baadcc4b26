// Continuity per writer stream, step by step: middleware loss, publisher
// skips, wrap-around. Expected values are literal.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <map>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <log4cplus/logger.h>

#include "model/streamContinuity.h"

using namespace quillModel;

namespace {

struct Expect
{
    Continuity kind;
    uint64_t missing;
    uint64_t lost;
    uint64_t skipped;
};

void ExpectStep(StreamContinuity& stream, uint32_t id, uint64_t sequence, uint32_t increment, Expect expect)
{
    const auto step = stream.Observe(id, sequence, increment);
    EXPECT_EQ(step.kind, expect.kind) << "id " << id;
    EXPECT_EQ(step.missingIds, expect.missing) << "id " << id;
    EXPECT_EQ(step.middlewareLost, expect.lost) << "id " << id;
    EXPECT_EQ(step.publisherSkipped, expect.skipped) << "id " << id;
}

} // namespace

TEST(StreamContinuity, SequenceHolesAreMiddlewareLossAndTheRestOfAnIdGapIsAPublisherSkip)
{
    StreamContinuity stream;
    ExpectStep(stream, 10, 5, 1, {Continuity::First, 0, 0, 0});
    ExpectStep(stream, 11, 6, 1, {Continuity::InOrder, 0, 0, 0});
    // Two writes never delivered.
    ExpectStep(stream, 14, 9, 1, {Continuity::Gap, 2, 2, 0});
    // One id never written: the sequence goes on without a hole.
    ExpectStep(stream, 16, 10, 1, {Continuity::Gap, 1, 0, 1});
    // Both at once: 4 ids missing, 1 write lost, so 3 skipped by the publisher.
    ExpectStep(stream, 21, 12, 1, {Continuity::Gap, 4, 1, 3});
    ExpectStep(stream, 21, 13, 1, {Continuity::Duplicate, 0, 0, 0});
    ExpectStep(stream, 3, 14, 1, {Continuity::Backward, 0, 0, 0});
    ExpectStep(stream, 4, 15, 1, {Continuity::InOrder, 0, 0, 0});
}

TEST(StreamContinuity, IdsWrapModulo32BitsWithTheExpectedIncrement)
{
    StreamContinuity stream;
    ExpectStep(stream, 4294967290u, 1, 3, {Continuity::First, 0, 0, 0});
    ExpectStep(stream, 4294967293u, 2, 3, {Continuity::InOrder, 0, 0, 0});
    ExpectStep(stream, 0, 3, 3, {Continuity::InOrder, 0, 0, 0});
    // 0 -> 9 with step 3: ids 3 and 6 missing.
    ExpectStep(stream, 9, 4, 3, {Continuity::Gap, 2, 0, 2});
    // Unknown sequence numbers attribute nothing to the middleware.
    ExpectStep(stream, 15, UNKNOWN_SEQUENCE, 3, {Continuity::Gap, 1, 0, 1});
    ExpectStep(stream, 4294967200u, 5, 3, {Continuity::Backward, 0, 0, 0});

    // At or behind, across the wrap both ways.
    EXPECT_TRUE(AtOrBehind(4294967290u, 5));
    EXPECT_FALSE(AtOrBehind(3, 4294967290u));
    EXPECT_TRUE(AtOrBehind(7, 7));
    EXPECT_FALSE(AtOrBehind(8, 7));
}
