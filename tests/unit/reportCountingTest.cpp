// The report's counting, on hand-made sample infos: continuity and loss
// attribution per writer stream, the latency buckets, JSON strings from
// hostile text, and the --fail-on conditions. Expected values are literal.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "report/failOn.h"
#include "report/jsonText.h"
#include "report/latencyHistogram.h"
#include "report/readerTally.h"
#include "report/streamContinuity.h"

namespace fdds = eprosima::fastdds::dds;
using lumo::componentFramework::AgnosticTopic;
using namespace quillReport;

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

fdds::SampleInfo Info(uint8_t writer, uint64_t sequence, int32_t sentSec = 100, uint32_t latencyNs = 0)
{
    fdds::SampleInfo info;
    info.valid_data = true;
    for (int i = 0; i < 16; ++i) {
        info.publication_handle.value[i] = static_cast<uint8_t>(i == 15 ? writer : 0x10 + i);
    }
    info.sample_identity.sequence_number().high = static_cast<int32_t>(sequence >> 32);
    info.sample_identity.sequence_number().low = static_cast<uint32_t>(sequence);
    info.source_timestamp.seconds(sentSec);
    info.source_timestamp.nanosec(0);
    info.reception_timestamp.seconds(sentSec);
    info.reception_timestamp.nanosec(latencyNs);
    return info;
}

AgnosticTopic Sample(uint32_t id, size_t bytes = 8)
{
    AgnosticTopic sample;
    sample.sampleId(id);
    sample.payload(std::vector<uint8_t>(bytes, 0));
    return sample;
}

fdds::InstanceHandle_t Handle(uint8_t writer)
{
    return Info(writer, 1).publication_handle;
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
}

TEST(LatencyHistogram, BucketsCoverEveryValueWithinOneSixteenthAndQuantilesStayInRange)
{
    for (const uint64_t value : {0ull, 31ull, 32ull, 33ull, 1000ull, 123456789ull, ~0ull}) {
        const size_t index = latencyBuckets::IndexOf(value);
        ASSERT_LT(index, latencyBuckets::COUNT);
        EXPECT_LE(latencyBuckets::LowerBound(index), value);
        EXPECT_GE(latencyBuckets::UpperBound(index), value);
        EXPECT_LE(latencyBuckets::UpperBound(index) - latencyBuckets::LowerBound(index), value / 16);
    }
    EXPECT_EQ(latencyBuckets::IndexOf(31), 31u);
    EXPECT_EQ(latencyBuckets::LowerBound(latencyBuckets::IndexOf(1000)), 992u);
    EXPECT_EQ(latencyBuckets::UpperBound(latencyBuckets::IndexOf(1000)), 1023u);

    LatencyHistogram histogram;
    for (int i = 0; i < 98; ++i) {
        histogram.Record(1000);
    }
    histogram.Record(50000);
    histogram.Record(70000);
    const auto counts = histogram.Counts();
    EXPECT_EQ(Quantile(counts, 0.5, 1000, 70000), 1023u);
    EXPECT_EQ(Quantile(counts, 0.99, 1000, 70000), 51199u);
    EXPECT_EQ(Quantile(counts, 1.0, 1000, 70000), 70000u); // the bucket's bound, cut to the maximum
    EXPECT_EQ(Quantile(std::vector<uint64_t>(latencyBuckets::COUNT, 0), 0.5, 0, 0), 0u);
}

TEST(JsonText, HostileTextBecomesOneValidJsonString)
{
    EXPECT_EQ(JsonString("plain"), "\"plain\"");
    EXPECT_EQ(JsonString("q\"b\\s/"), "\"q\\\"b\\\\s/\"");
    EXPECT_EQ(JsonString(std::string("\n\r\t\b\f\x01\x1f\x7f", 8)), "\"\\n\\r\\t\\b\\f\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(JsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
    // Well-formed UTF-8 stays; the separators are escaped.
    EXPECT_EQ(JsonString("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"), "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"");
    EXPECT_EQ(JsonString("\xe2\x80\xa8\xe2\x80\xa9"), "\"\\u2028\\u2029\"");
    // Each byte of a broken sequence becomes U+FFFD: a stray continuation,
    // a cut sequence, an overlong form, a surrogate, a code point past U+10FFFF.
    EXPECT_EQ(JsonString("\x80"), "\"\\ufffd\"");
    EXPECT_EQ(JsonString("\xe2\x82"), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");
    EXPECT_EQ(JsonString("\xf4\x90\x80\x80x"), "\"\\ufffd\\ufffd\\ufffd\\ufffdx\"");
    EXPECT_EQ(JsonNumber(0.5), "0.5");
    EXPECT_EQ(JsonNumber(1.0 / 0.0), "null");
}

TEST(ReaderTally, TwoWritersOnOneTopicAreCountedApartAndARestartedWriterIsLinked)
{
    ReaderTally tally("T", 0, 1);
    // Writer 1: ids 0..4 with id 2 skipped by the publisher; writer 2,
    // interleaved: ids 100, 101, 101 (a repeat), 104 after a lost write.
    tally.Observe(Info(1, 1, 100, 2000), Sample(0), PayloadVerdict::Passed);
    tally.Observe(Info(2, 1, 100, 5000), Sample(100), PayloadVerdict::NotChecked);
    tally.Observe(Info(1, 2), Sample(1), PayloadVerdict::Passed);
    tally.Observe(Info(2, 2), Sample(101), PayloadVerdict::NotChecked);
    tally.Observe(Info(1, 3), Sample(3), PayloadVerdict::Failed);
    tally.Observe(Info(2, 3), Sample(101), PayloadVerdict::NotChecked);
    tally.Observe(Info(2, 5), Sample(103), PayloadVerdict::NotChecked);
    tally.ObserveUndecodable(Info(1, 4));
    tally.Observe(Info(1, 5), Sample(4), PayloadVerdict::Passed);

    auto snapshot = tally.Snapshot();
    ASSERT_EQ(snapshot.streams.size(), 2u);
    const auto& one = snapshot.streams[0];
    EXPECT_EQ(one.writer, "10.11.12.13.14.15.16.17.18.19.1a.1b|1c.1d.1e.1");
    EXPECT_EQ(one.samples, 4u);
    EXPECT_EQ(one.payloadBytes, 32u);
    EXPECT_EQ(one.missingIds, 1u);
    EXPECT_EQ(one.publisherSkipped, 1u);
    EXPECT_EQ(one.middlewareLost, 0u) << "the undecodable sample was delivered";
    EXPECT_EQ(one.undecodable, 1u);
    EXPECT_EQ(one.checksPassed, 3u);
    EXPECT_EQ(one.checksFailed, 1u);
    EXPECT_EQ(one.latencySamples, 4u);
    EXPECT_EQ(one.latencyMinNs, 0);
    EXPECT_EQ(one.latencyMaxNs, 2000);
    const auto& two = snapshot.streams[1];
    EXPECT_EQ(two.samples, 4u);
    EXPECT_EQ(two.duplicates, 1u);
    EXPECT_EQ(two.missingIds, 1u);
    EXPECT_EQ(two.middlewareLost, 1u);
    EXPECT_EQ(two.publisherSkipped, 0u);
    EXPECT_EQ(two.firstId, 100u);
    EXPECT_EQ(two.lastId, 103u);
    EXPECT_EQ(two.lastSequence, 5u);

    // Writer 1 leaves; writer 3 starts its ids over: a restart of writer 1,
    // not a loss. Writer 2 is still there and is never taken for restarted.
    fdds::SubscriptionMatchedStatus unmatched;
    unmatched.current_count_change = -1;
    unmatched.last_publication_handle = Handle(1);
    tally.OnSubscriptionMatched(unmatched);
    tally.Observe(Info(3, 1), Sample(0), PayloadVerdict::Passed);
    tally.Observe(Info(3, 2), Sample(1), PayloadVerdict::Passed);
    snapshot = tally.Snapshot();
    ASSERT_EQ(snapshot.streams.size(), 3u);
    EXPECT_EQ(snapshot.restarts, 1u);
    EXPECT_EQ(snapshot.streams[2].restartOf, 0);
    EXPECT_EQ(snapshot.streams[2].missingIds, 0u);
    EXPECT_EQ(snapshot.streams[0].presence, Presence::Unmatched);
    EXPECT_EQ(snapshot.events.unmatched, 1u);
    EXPECT_EQ(snapshot.Samples(), 10u);
    const auto events = tally.TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, "subscription_unmatched");
    EXPECT_EQ(events[0].fields, "\"writer\":\"10.11.12.13.14.15.16.17.18.19.1a.1b|1c.1d.1e.1\",\"current_count\":0,"
                                "\"current_count_change\":-1,\"total_count\":0,\"total_count_change\":0");
}

TEST(FailOn, ConditionListsAndTheVerdict)
{
    const auto parsed = ParseConditions("missing,no-data,missing");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, (std::vector<Condition>{Condition::Missing, Condition::NoData}));
    EXPECT_FALSE(ParseConditions("missing,bogus"));
    EXPECT_FALSE(ParseConditions(""));
    EXPECT_FALSE(ParseConditions("missing,"));

    ReaderSnapshot quiet;
    ReaderSnapshot gappy;
    gappy.streams.resize(1);
    gappy.streams[0].samples = 10;
    gappy.streams[0].missingIds = 3;
    gappy.events.samplesLost = 1;
    const auto verdict = Judge({quiet, gappy}, {Condition::Missing, Condition::Deadline}, 0);
    EXPECT_EQ(verdict.happened, (std::vector<Condition>{Condition::Missing, Condition::Lost, Condition::NoData}));
    EXPECT_EQ(verdict.failed, (std::vector<Condition>{Condition::Missing}));
    EXPECT_EQ(verdict.exitStatus, 2);
    EXPECT_EQ(Judge({gappy}, {Condition::Deadline, Condition::NoData}, 0).exitStatus, 0);
}
