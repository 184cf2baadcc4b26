// The --fail-on conditions and the verdict. Expected values are literal.

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

#include "model/failOn.h"

using namespace quillModel;

TEST(FailOn, ConditionListsAndTheVerdict)
{
    const auto parsed = ParseConditions("missing,no-data,missing");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, (std::vector<Condition>{Condition::Missing, Condition::NoData}));
    EXPECT_FALSE(ParseConditions("missing,bogus"));
    EXPECT_FALSE(ParseConditions(""));
    EXPECT_FALSE(ParseConditions("missing,"));

    // Each condition, from the one count that makes it happen: on a stream,
    // on the unlisted writers, or on the reader.
    using Setter = std::function<void(ReaderSnapshot&)>;
    const std::vector<std::pair<Condition, Setter>> cases{
        {Condition::Missing, [](ReaderSnapshot& r) { r.streams[0].missingIds = 3; }},
        {Condition::Missing, [](ReaderSnapshot& r) { r.unlisted.missingIds = 10; }},
        {Condition::Duplicates, [](ReaderSnapshot& r) { r.streams[0].duplicates = 1; }},
        {Condition::Restart, [](ReaderSnapshot& r) { r.restarts = 1; }},
        {Condition::Restart, [](ReaderSnapshot& r) { r.streams[0].backwardJumps = 1; }},
        {Condition::MiddlewareLoss, [](ReaderSnapshot& r) { r.streams[0].middlewareLost = 2; }},
        {Condition::Qos, [](ReaderSnapshot& r) { r.events.incompatibleQos = 1; }},
        {Condition::Lost, [](ReaderSnapshot& r) { r.events.samplesLost = 1; }},
        {Condition::Rejected, [](ReaderSnapshot& r) { r.events.samplesRejected = 1; }},
        {Condition::Deadline, [](ReaderSnapshot& r) { r.events.deadlinesMissed = 1; }},
        {Condition::Pattern, [](ReaderSnapshot& r) { r.streams[0].checksFailed = 1; }},
        {Condition::Pattern, [](ReaderSnapshot& r) { r.unlisted.checksFailed = 1; }},
        {Condition::NoData, [](ReaderSnapshot& r) { r.streams[0].samples = 0; }},
    };
    for (const auto& [condition, set] : cases) {
        ReaderSnapshot clean;
        clean.streams.resize(1);
        clean.streams[0].samples = 10;
        ReaderSnapshot faulty = clean;
        set(faulty);
        const auto verdict = Judge({clean, faulty}, {condition}, 0);
        EXPECT_EQ(verdict.happened, std::vector<Condition>{condition}) << ConditionName(condition);
        EXPECT_EQ(verdict.failed, std::vector<Condition>{condition}) << ConditionName(condition);
        EXPECT_EQ(verdict.exitStatus, 2) << ConditionName(condition);
        // Named or not: only the named conditions fail the run.
        const Condition other = condition == Condition::Deadline ? Condition::Lost : Condition::Deadline;
        EXPECT_EQ(Judge({faulty}, {other}, 0).exitStatus, 0) << ConditionName(condition);
        EXPECT_EQ(Judge({clean}, {condition}, 0).exitStatus, 0) << ConditionName(condition);
    }
}
