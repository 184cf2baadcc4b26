// The report's counting, on hand-made sample infos: continuity and loss
// attribution per writer stream, the latency buckets, JSON strings from
// hostile text, the --fail-on conditions, the final totals, and the report
// writer against a reader that delivers while the run ends, and the metrics
// made from the tallies. Expected values are literal.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <nlohmann/json.hpp>

#include "metrics/tallyMetrics.h"
#include "model/failOn.h"
#include "model/latencyHistogram.h"
#include "model/monitorRun.h"
#include "model/readerTally.h"
#include "model/streamContinuity.h"
#include "report/reportRecords.h"
#include "report/reportRun.h"

namespace fdds = eprosima::fastdds::dds;
using namespace quillModel;
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

SampleFacts Sample(uint32_t id, size_t bytes = 8)
{
    return SampleFacts{id, bytes};
}

fdds::InstanceHandle_t Handle(uint8_t writer)
{
    return Info(writer, 1).publication_handle;
}

constexpr uint16_t HOST = 0x0207;
constexpr uint8_t FAST_DDS = 0x0f;
constexpr uint8_t CYCLONE_DDS = 0x10;

// A writer of a process of its own: its GUID begins with vendor 01.`vendor`,
// then, for Fast DDS, the host id (little-endian), then the process.
struct Writer
{
    uint8_t id;
    uint16_t host = HOST;
    uint8_t vendor = FAST_DDS;
};

// A sample info of the writer, received at `ms` milliseconds.
fdds::SampleInfo WriterInfo(const Writer& writer, uint64_t sequence, int64_t ms)
{
    fdds::SampleInfo info = Info(writer.id, sequence);
    info.publication_handle.value[0] = 0x01;
    info.publication_handle.value[1] = writer.vendor;
    info.publication_handle.value[2] = static_cast<uint8_t>(writer.host & 0xff);
    info.publication_handle.value[3] = static_cast<uint8_t>(writer.host >> 8);
    info.publication_handle.value[4] = writer.id;
    info.reception_timestamp.seconds(static_cast<int32_t>(100 + ms / 1000));
    info.reception_timestamp.nanosec(static_cast<uint32_t>(ms % 1000) * 1000000u);
    return info;
}

// What discovery heard of the writers' participants' addresses.
HostLookup Announced(const std::vector<std::pair<Writer, std::vector<std::string>>>& announced)
{
    std::map<std::string, std::vector<std::string>> byPrefix;
    for (const auto& [writer, addresses] : announced) {
        byPrefix[PrefixText(KeyOf(WriterInfo(writer, 1, 0).publication_handle))] = addresses;
    }
    return [byPrefix](const std::string& prefix) {
        const auto found = byPrefix.find(prefix);
        return found == byPrefix.end() ? std::vector<std::string>{} : found->second;
    };
}

std::string GuidOf(const fdds::SampleInfo& info)
{
    return GuidText(KeyOf(info.publication_handle));
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

TEST(ReportRecords, AnyBytesInATopicNameGiveOneValidLineThatKeepsTheWellFormedText)
{
    // Quotes, controls, well-formed UTF-8, then broken sequences: a stray
    // continuation, a cut sequence, an overlong form, a surrogate.
    RunDescription run;
    run.topics = {std::string("q\"b\\\n\x01\0\xc3\xa9|\x80|\xe2\x82|\xc0\xaf|\xed\xa0\x80", 21)};
    const std::string line = StartRecord(run, RecordTime{});
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto topic = nlohmann::json::parse(line).at("options").at("topics").at(0).get<std::string>();
    // One U+FFFD per maximal ill-formed subsequence, as Unicode recommends.
    const std::string fffd = "\xef\xbf\xbd";
    EXPECT_EQ(topic, std::string("q\"b\\\n\x01\0\xc3\xa9|", 10) + fffd + "|" + fffd + "|" + fffd + fffd + "|" + fffd +
                         fffd + fffd);
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
    const auto one = snapshot.streams[0];
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
    EXPECT_EQ(snapshot.streams[2].restartOf, one.writer);
    EXPECT_EQ(snapshot.streams[2].missingIds, 0u);
    EXPECT_EQ(snapshot.streams[0].presence, Presence::Unmatched);
    EXPECT_EQ(snapshot.events.unmatched, 1u);
    EXPECT_EQ(snapshot.Samples(), 10u);
    const auto events = tally.TakeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(EventRecord("T", 0, events[0], RecordTime{events[0].time, 0.0})),
              nlohmann::json::parse(R"({"schema":1,"record":"event","time":")" + IsoTime(events[0].time) +
                                    R"(","t":0.0,"topic":"T","reader":0,"event":"subscription_unmatched",)"
                                    R"("writer":"10.11.12.13.14.15.16.17.18.19.1a.1b|1c.1d.1e.1","current_count":0,)"
                                    R"("current_count_change":-1,"total_count":0,"total_count_change":0})"));
}

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

// Writers seen by one reader, step by step, and what the tally makes of them.
TEST(ReaderTally, WritersThatComeGoAndRestartAreCountedAndLinkedAsTheyShould)
{
    struct Case
    {
        std::string name;
        std::function<void(ReaderTally&)> steps;
        std::function<void(const ReaderSnapshot&)> expect;
    };
    const auto unmatch = [](ReaderTally& tally, const fdds::SampleInfo& info) {
        fdds::SubscriptionMatchedStatus status;
        status.current_count_change = -1;
        status.last_publication_handle = info.publication_handle;
        tally.OnSubscriptionMatched(status);
    };
    // The writer sends ids first..first+count-1, `every` ms apart from `ms`.
    const auto send = [](ReaderTally& tally, const Writer& w, uint32_t first, uint32_t count, int64_t ms,
                         int64_t every = 10) {
        for (uint32_t i = 0; i < count; ++i) {
            tally.Observe(WriterInfo(w, i + 1, ms + every * i), Sample(first + i), PayloadVerdict::NotChecked);
        }
    };
    const auto restartOfFirst = [](const ReaderSnapshot& r) {
        EXPECT_EQ(r.streams.at(1).restartOf, r.streams.at(0).writer);
        EXPECT_EQ(r.restarts, 1u);
        EXPECT_EQ(r.streams.at(1).missingIds, 0u);
    };
    const auto noRestart = [](const ReaderSnapshot& r) {
        for (const auto& stream : r.streams) {
            EXPECT_EQ(stream.restartOf, "") << stream.writer;
        }
        EXPECT_EQ(r.restarts, 0u);
    };
    std::vector<Case> cases{
        {"an undecodable first sample, then a hole in the sequence numbers",
         [](ReaderTally& t) {
             t.ObserveUndecodable(Info(1, 5));
             t.Observe(Info(1, 10), Sample(0), PayloadVerdict::NotChecked);
         },
         [](const ReaderSnapshot& r) {
             EXPECT_EQ(r.streams.at(0).middlewareLost, 4u);
             EXPECT_EQ(r.streams.at(0).undecodable, 1u);
         }},
        {"an undecodable sample right after a hole",
         [](ReaderTally& t) {
             t.Observe(Info(1, 1), Sample(0), PayloadVerdict::NotChecked);
             t.ObserveUndecodable(Info(1, 4));
             t.Observe(Info(1, 5), Sample(3), PayloadVerdict::NotChecked);
         },
         [](const ReaderSnapshot& r) { EXPECT_EQ(r.streams.at(0).middlewareLost, 2u); }},
        {"an unmatch before the writer's first take, then its restart",
         [&](ReaderTally& t) {
             unmatch(t, Info(1, 1));
             t.Observe(Info(1, 1), Sample(0), PayloadVerdict::NotChecked);
             t.Observe(Info(1, 2), Sample(1), PayloadVerdict::NotChecked);
             t.Observe(Info(2, 1), Sample(0), PayloadVerdict::NotChecked);
         },
         [](const ReaderSnapshot& r) {
             EXPECT_EQ(r.streams.at(0).presence, Presence::Unmatched);
             EXPECT_EQ(r.streams.at(1).restartOf, r.streams.at(0).writer);
             EXPECT_EQ(r.restarts, 1u);
         }},
        // Another process of the host: another process id in its GUID.
        {"a restart on the same host (the GUID's host id) before the old writer's unmatch",
         [&](ReaderTally& t) {
             send(t, {1}, 0, 485, 0);
             send(t, {2}, 0, 3, 4840 + 500);
         },
         restartOfFirst},
        // Cyclone DDS's GUIDs say nothing of the host; its announced address does.
        {"a Cyclone DDS restart on the same address before the old writer's unmatch",
         [&](ReaderTally& t) {
             const Writer killed{1, HOST, CYCLONE_DDS};
             const Writer restarted{2, HOST + 1, CYCLONE_DDS};
             t.SetHostLookup(Announced({{killed, {"127.0.0.1"}}, {restarted, {"127.0.0.1"}}}));
             send(t, killed, 0, 485, 0);
             send(t, restarted, 0, 3, 4840 + 300);
         },
         restartOfFirst},
        {"a writer taken for restarted that sends again was not",
         [&](ReaderTally& t) {
             send(t, {1}, 0, 50, 0);
             send(t, {2}, 0, 1, 1000);
             t.Observe(WriterInfo({1}, 51, 1010), Sample(50), PayloadVerdict::NotChecked);
         },
         noRestart},
        // Every new one long enough after writer 1's and 2's last samples
        // that theirs would be a restart on their host.
        {"a second writer beside a running one, or from another host, is no restart",
         [&](ReaderTally& t) {
             const Writer foreign{5, HOST, CYCLONE_DDS}; // Fast DDS's host id bytes, by chance
             const Writer elsewhere{6, HOST, CYCLONE_DDS};
             t.SetHostLookup(Announced({{{1}, {"10.1.0.5", "127.0.0.1"}}, {elsewhere, {"127.0.0.1", "10.1.0.6"}}}));
             send(t, {1}, 0, 50, 0);
             send(t, {2}, 0, 1, 495);
             send(t, {3, HOST + 1}, 0, 1, 2000);
             send(t, {4, HOST + 0x100}, 0, 1, 2000);
             send(t, foreign, 0, 1, 2000);
             send(t, elsewhere, 0, 1, 2000);
         },
         noRestart},
        // Three of its intervals are 300 ms: 250 ms is between two samples.
        {"a second writer while a slow one is between samples is no restart",
         [&](ReaderTally& t) {
             send(t, {1}, 0, 10, 0, 100);
             send(t, {2}, 0, 1, 900 + 250);
         },
         noRestart},
        {"a 65th writer with a gap and a failed check",
         [](ReaderTally& t) {
             for (uint8_t w = 1; w <= ReaderTally::MAX_STREAMS; ++w) {
                 t.Observe(Info(w, 1), Sample(0), PayloadVerdict::Passed);
             }
             t.Observe(Info(200, 1), Sample(0), PayloadVerdict::Passed);
             t.Observe(Info(200, 2), Sample(11), PayloadVerdict::Failed);
         },
         [](const ReaderSnapshot& r) {
             EXPECT_EQ(r.streams.size(), ReaderTally::MAX_STREAMS);
             EXPECT_EQ(r.unlistedWriters, 1u);
             EXPECT_EQ(r.unlisted.samples, 2u);
             EXPECT_EQ(r.unlisted.missingIds, 10u);
             EXPECT_EQ(r.unlisted.checksFailed, 1u);
             EXPECT_EQ(r.Samples(), ReaderTally::MAX_STREAMS + 2);
             const auto verdict = Judge({r}, {Condition::Missing, Condition::Pattern}, 0);
             EXPECT_EQ(verdict.failed, (std::vector<Condition>{Condition::Missing, Condition::Pattern}));
         }},
        // Writers 3 and 5 depart, 5 last heard later; writer 201 came
        // while all 64 were present.
        {"the slot of the writer departed longest ago goes to a new one, its counts stay, an unlisted one stays",
         [&](ReaderTally& t) {
             for (uint8_t w = 1; w <= ReaderTally::MAX_STREAMS; ++w) {
                 t.Observe(Info(w, 1), Sample(0), PayloadVerdict::NotChecked);
             }
             t.Observe(Info(3, 3), Sample(5), PayloadVerdict::NotChecked);
             t.Observe(Info(5, 2, 101), Sample(1), PayloadVerdict::NotChecked);
             t.Observe(Info(201, 1, 101), Sample(0), PayloadVerdict::NotChecked);
             unmatch(t, Info(5, 1));
             unmatch(t, Info(3, 1));
             t.Observe(Info(201, 2, 102), Sample(1), PayloadVerdict::NotChecked);
             t.Observe(Info(200, 1, 102), Sample(100), PayloadVerdict::NotChecked);
         },
         [](const ReaderSnapshot& r) {
             EXPECT_EQ(r.streams.size(), ReaderTally::MAX_STREAMS);
             EXPECT_EQ(r.streams.at(2).writer, GuidOf(Info(200, 1)));
             EXPECT_EQ(r.streams.at(4).writer, GuidOf(Info(5, 1)));
             EXPECT_EQ(r.unlistedWriters, 2u);
             EXPECT_EQ(r.unlisted.samples, 4u);
             EXPECT_EQ(r.unlisted.missingIds, 4u);
             EXPECT_EQ(r.unlisted.middlewareLost, 1u);
             EXPECT_EQ(r.Samples(), ReaderTally::MAX_STREAMS + 5);
         }},
    };
    // How long after writer 1's last sample writer 2 may start over and be
    // its restart: 30 s, ten of writer 1's mean intervals when longer, never
    // past 10 minutes. Writer 1 departed, or went quiet on the same host.
    struct Window
    {
        const char* name;
        int64_t everyMs;
        uint32_t samples;
        int64_t afterMs;
        bool departed;
        bool restart;
    };
    for (const auto& w : std::vector<Window>{
             {"30 s after a departed writer", 10, 50, 30'000, true, true},
             {"just past 30 s after a departed writer", 10, 50, 30'001, true, false},
             {"5 minutes after a writer that went quiet on the same host", 10, 50, 300'000, false, false},
             {"ten intervals of a slow writer", 10'000, 5, 100'000, true, true},
             {"just past ten intervals of a slow writer", 10'000, 5, 100'001, true, false},
             {"10 minutes after a writer of longer intervals", 100'000, 2, 600'000, true, true},
             {"just past 10 minutes after a writer of longer intervals", 100'000, 2, 600'001, true, false},
         }) {
        cases.push_back({w.name,
                         [&, w](ReaderTally& t) {
                             send(t, {1}, 0, w.samples, 0, w.everyMs);
                             if (w.departed) {
                                 unmatch(t, WriterInfo({1}, 1, 0));
                             }
                             send(t, {2}, 0, 2, (w.samples - 1) * w.everyMs + w.afterMs);
                         },
                         [w](const ReaderSnapshot& r) {
                             EXPECT_EQ(r.restarts, w.restart ? 1u : 0u);
                             EXPECT_EQ(r.streams.at(1).restartOf, w.restart ? r.streams.at(0).writer : "");
                         }});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReaderTally tally("T", 0, 1);
        c.steps(tally);
        c.expect(tally.Snapshot());
    }
}

TEST(ReportRecords, FinalTotalsSumEveryStreamOfEveryReaderAndTheUnlistedWriters)
{
    ReaderSnapshot first;
    first.streams.resize(2);
    first.streams[0].samples = 10;
    first.streams[0].missingIds = 3;
    first.streams[0].middlewareLost = 1;
    first.streams[1].samples = 20;
    first.streams[1].missingIds = 4;
    first.streams[1].duplicates = 2;
    first.unlisted.samples = 5;
    first.unlisted.missingIds = 10;
    first.unlistedWriters = 1;
    ReaderSnapshot second;
    second.streams.resize(1);
    second.streams[0].samples = 7;
    second.streams[0].missingIds = 1;
    second.streams[0].checksFailed = 2;
    const auto record = nlohmann::json::parse(FinalRecord(RunDescription{}, {first, second}, Verdict{}, RecordTime{}));
    const auto& totals = record.at("totals");
    EXPECT_EQ(totals.at("readers"), 2);
    EXPECT_EQ(totals.at("writers"), 4);
    EXPECT_EQ(totals.at("samples"), 42);
    EXPECT_EQ(totals.at("missing_ids"), 18);
    EXPECT_EQ(totals.at("middleware_lost"), 1);
    EXPECT_EQ(totals.at("duplicates"), 2);
    EXPECT_EQ(totals.at("checks_failed"), 2);
}

// The run ends while a reader still delivers at full speed, the duration a
// multiple of the period: the writer's clock and the run's line up.
TEST(ReportRun, PeriodSamplesAddUpToTheFinalCountAndNoFinalRecordFallsBehind)
{
    log4cplus::Logger logger = log4cplus::Logger::getInstance("reportRunTest");
    const std::string path = "/tmp/lumo-report-unit-" + std::to_string(getpid()) + ".jsonl";
    for (int iteration = 0; iteration < 200; ++iteration) {
        RunDescription run;
        run.report.path = path;
        run.report.periodSec = 0.001;
        run.model.durationSec = 0.005;
        run.model.viewed = true;
        MonitorRun model(run.model, logger);
        ReportRun report(run, model, logger);
        const auto tally = model.TallyFor("T", 0);
        std::atomic<bool> done{false};
        std::thread reader([&] {
            for (uint32_t id = 0; !done.load(); ++id) {
                tally->Observe(Info(1, id + 1), Sample(id), PayloadVerdict::NotChecked);
            }
        });
        while (tally->Snapshot().Samples() == 0) {
            std::this_thread::yield();
        }
        std::atomic<bool> stop{false};
        model.Start();
        report.Start();
        model.WaitForStop(stop);
        report.StopPeriodic();
        model.Conclude(0);
        report.WriteFinal();
        done.store(true);
        reader.join();

        std::ifstream file(path);
        uint64_t periodSum = 0;
        uint64_t lastPeriodic = 0;
        uint64_t final = 0;
        for (std::string line; std::getline(file, line);) {
            const auto record = nlohmann::json::parse(line);
            if (record.at("record") != "writer") {
                continue;
            }
            periodSum += record.at("period_samples").get<uint64_t>();
            (record.at("final") ? final : lastPeriodic) = record.at("samples").get<uint64_t>();
        }
        ASSERT_GT(final, 0u) << "iteration " << iteration;
        ASSERT_GE(final, lastPeriodic) << "iteration " << iteration;
        ASSERT_EQ(periodSum, final) << "iteration " << iteration;
    }
    std::remove(path.c_str());
}

namespace {

// The value of the one series of `family` with these label values (topic
// and reader are T and 3), or -1.
double Value(const std::vector<prometheus::MetricFamily>& families, const std::string& family,
             const std::string& writer, const std::string& extraName = "", const std::string& extraValue = "")
{
    std::vector<prometheus::ClientMetric::Label> labels{{"topic", "T"}, {"reader", "3"}};
    if (!writer.empty()) {
        labels.push_back({"writer", writer});
    }
    if (!extraName.empty()) {
        labels.push_back({extraName, extraValue});
    }
    for (const auto& candidate : families) {
        for (const auto& metric : candidate.metric) {
            if (candidate.name == family && metric.label == labels) {
                return candidate.type == prometheus::MetricType::Counter ? metric.counter.value : metric.gauge.value;
            }
        }
    }
    return -1.0;
}

} // namespace

// A departed writer keeps its series for the grace time, then its counts
// move into writer="unlisted"; the latency histogram counts up to exact
// bucket bounds.
TEST(TallyMetrics, ADepartedWriterMovesIntoTheUnlistedSeriesAfterItsGraceAndLatencyBucketsAreCumulative)
{
    auto tally = std::make_shared<ReaderTally>("T", 3, 1);
    tally->Observe(Info(1, 1, 100, 1023), Sample(0), PayloadVerdict::Passed);
    tally->Observe(Info(1, 2, 100, 3000), Sample(2), PayloadVerdict::Failed);
    tally->Observe(Info(2, 1, 100, 2'000'000), Sample(7), PayloadVerdict::NotChecked);
    fdds::SubscriptionMatchedStatus matched;
    matched.current_count_change = 1;
    for (const uint8_t writer : {1, 2}) {
        matched.last_publication_handle = Handle(writer);
        tally->OnSubscriptionMatched(matched);
    }
    quillMetrics::TallyMetrics patient({tally}, std::chrono::hours(1));
    quillMetrics::TallyMetrics hasty({tally}, std::chrono::seconds(0));
    const std::string one = "10.11.12.13.14.15.16.17.18.19.1a.1b|1c.1d.1e.1";
    const std::string two = "10.11.12.13.14.15.16.17.18.19.1a.1b|1c.1d.1e.2";

    auto families = hasty.Collect();
    EXPECT_EQ(Value(families, "lumo_quillmon_samples_total", one), 2.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_missing_ids_total", one), 1.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_payload_checks_total", one, "result", "failed"), 1.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_samples_total", two), 1.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_samples_total", "unlisted"), 0.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_matched_writers", ""), 2.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_status_events_total", "", "event", "matched"), 2.0);
    // 1023 and 3000 ns: one up to 1023 ns (a bound is in its bucket), both up to 4095 ns.
    const prometheus::ClientMetric* latency = nullptr;
    for (const auto& family : families) {
        for (const auto& metric : family.metric) {
            if (family.name == "lumo_quillmon_latency_seconds" && metric.label.back().value == one) {
                latency = &metric;
            }
        }
    }
    ASSERT_NE(latency, nullptr);
    const auto& buckets = latency->histogram.bucket;
    ASSERT_EQ(buckets.size(), 25u);
    EXPECT_EQ(buckets[0].upper_bound, 1023e-9);
    EXPECT_EQ(buckets[0].cumulative_count, 1u);
    EXPECT_EQ(buckets[1].upper_bound, 2047e-9);
    EXPECT_EQ(buckets[1].cumulative_count, 1u);
    EXPECT_EQ(buckets[2].cumulative_count, 2u);
    EXPECT_EQ(buckets.back().cumulative_count, 2u);
    EXPECT_EQ(latency->histogram.sample_count, 2u);
    EXPECT_DOUBLE_EQ(latency->histogram.sample_sum, 4023e-9);

    matched.current_count_change = -1;
    matched.last_publication_handle = Handle(1);
    tally->OnSubscriptionMatched(matched);
    families = patient.Collect();
    EXPECT_EQ(Value(families, "lumo_quillmon_samples_total", one), 2.0) << "within its grace";
    EXPECT_EQ(Value(families, "lumo_quillmon_matched_writers", ""), 1.0);
    families = hasty.Collect();
    EXPECT_EQ(Value(families, "lumo_quillmon_samples_total", one), -1.0) << "past its grace";
    EXPECT_EQ(Value(families, "lumo_quillmon_samples_total", "unlisted"), 2.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_missing_ids_total", "unlisted"), 1.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_payload_checks_total", "unlisted", "result", "passed"), 1.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_unlisted_writers", ""), 1.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_samples_total", two), 1.0);
    // Dropped for good, even if it is reported alive again.
    matched.current_count_change = 1;
    tally->OnSubscriptionMatched(matched);
    tally->Observe(Info(1, 3, 100, 1000), Sample(3), PayloadVerdict::Passed);
    families = hasty.Collect();
    EXPECT_EQ(Value(families, "lumo_quillmon_samples_total", one), -1.0);
    EXPECT_EQ(Value(families, "lumo_quillmon_samples_total", "unlisted"), 3.0);
}

namespace {

enum class Look
{
    Scrape, // a GET: the client reads the values
    Head,   // the same families, read by nobody
    Track   // between scrapes
};

struct FoldStep
{
    int atSec; // since the row's start; the grace is 100 s
    Look look;
    std::function<void(ReaderSnapshot&)> change; // to the reader's snapshot, before the look
    // "samples W", "failed W" (payload checks), "restarts W" of writer W;
    // "writers": the unlisted ones. -1: no such series.
    std::map<std::string, double> expected;
};

double Read(const std::vector<prometheus::MetricFamily>& families, const std::string& key)
{
    const std::string what = key.substr(0, key.find(' '));
    const std::string writer = key.substr(key.find(' ') + 1);
    if (what == "failed") {
        return Value(families, "lumo_quillmon_payload_checks_total", writer, "result", "failed");
    }
    if (what == "writers") {
        return Value(families, "lumo_quillmon_unlisted_writers", "");
    }
    return Value(families, "lumo_quillmon_" + what + "_total", writer);
}

// On T/3: writer A (5 samples, 2 failed checks), writer B that restarted
// A's ids, and an unlisted series of one writer, 10 samples, 1 failed check.
ReaderSnapshot CraftedReader()
{
    ReaderSnapshot reader;
    reader.topic = "T";
    reader.readerIndex = 3;
    reader.unlisted.samples = 10;
    reader.unlisted.checksFailed = 1;
    reader.unlistedWriters = 1;
    reader.streams.resize(2);
    reader.streams[0].writer = "A";
    reader.streams[0].samples = 5;
    reader.streams[0].checksFailed = 2;
    reader.streams[1].writer = "B";
    reader.streams[1].restartOf = "A";
    return reader;
}

std::function<void(ReaderSnapshot&)> SetA(quillModel::Presence presence, uint64_t samples, uint64_t failed)
{
    return [=](ReaderSnapshot& reader) {
        reader.streams[0].presence = presence;
        reader.streams[0].samples = samples;
        reader.streams[0].checksFailed = failed;
    };
}

} // namespace

// Crafted snapshots, step by step in time: when a departed writer's series
// fold into writer="unlisted" and what each series says on the way. No
// counter a client has read goes back.
TEST(TallyMetrics, DepartedWritersFoldOnceShownOrAfterTheGraceAndEverySeriesSaysItsCount)
{
    using quillModel::Presence;
    const auto keep = [](ReaderSnapshot&) {};
    // The tally gives A's slot to another writer and sums A itself.
    const auto slotTaken = [](ReaderSnapshot& reader) {
        reader.unlisted.samples += reader.streams[0].samples;
        reader.unlisted.checksFailed += reader.streams[0].checksFailed;
        reader.unlistedWriters += 1;
        reader.streams.erase(reader.streams.begin());
    };
    const std::vector<std::pair<const char*, std::vector<FoldStep>>> rows{
        {"a departed writer's final counts are shown once, then folded with its failed checks",
         {{0,
           Look::Scrape,
           keep,
           {{"samples A", 5}, {"samples unlisted", 10}, {"writers", 1}, {"restarts A", 0}, {"restarts B", 1}}},
          {1, Look::Scrape, SetA(Presence::Unmatched, 6, 3), {{"samples A", 6}, {"failed A", 3}}},
          {2,
           Look::Scrape,
           keep,
           {{"samples A", -1}, {"samples unlisted", 16}, {"failed unlisted", 4}, {"writers", 2}, {"restarts B", 1}}},
          {3, Look::Scrape, slotTaken, {{"samples unlisted", 16}, {"failed unlisted", 4}, {"writers", 2}}}}},
        {"unscraped, a departed writer is folded after the grace; HEAD shows nobody its counts",
         {{0, Look::Track, SetA(Presence::NotAlive, 5, 2), {}},
          {50, Look::Head, keep, {{"samples A", 5}}},
          {99, Look::Track, keep, {}},
          {99, Look::Head, keep, {{"samples A", 5}}},
          {100, Look::Track, keep, {}},
          {101, Look::Head, keep, {{"samples A", -1}, {"samples unlisted", 15}}}}},
        {"a writer back within the grace and gone again is shown again before its fold",
         {{0, Look::Scrape, SetA(Presence::Unmatched, 5, 2), {{"samples A", 5}}},
          {10, Look::Track, SetA(Presence::Alive, 7, 2), {}},
          {90, Look::Track, SetA(Presence::NotAlive, 8, 2), {}},
          {105, Look::Scrape, keep, {{"samples A", 8}}},
          {106, Look::Scrape, keep, {{"samples A", -1}, {"samples unlisted", 18}}}}},
    };
    const auto start = quillMetrics::TallyMetrics::Clock::now();
    for (const auto& [name, steps] : rows) {
        quillMetrics::TallyMetrics metrics({}, std::chrono::seconds(100));
        std::vector<ReaderSnapshot> readers{CraftedReader()};
        for (const auto& step : steps) {
            step.change(readers[0]);
            const auto now = start + std::chrono::seconds(step.atSec);
            if (step.look == Look::Track) {
                metrics.Track(readers, now);
                continue;
            }
            const auto families = metrics.Collect(readers, now, step.look == Look::Scrape);
            for (const auto& [key, value] : step.expected) {
                EXPECT_EQ(Read(families, key), value) << name << ", at " << step.atSec << " s: " << key;
            }
        }
    }
}
