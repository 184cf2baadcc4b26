// A reader's tally on hand-made sample infos: writers counted apart, and
// those that come, go and restart. Expected values are literal.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <nlohmann/json.hpp>

#include "model/failOn.h"
#include "model/readerTally.h"
#include "report/reportRecords.h"
#include "tallyInputs.h"

namespace fdds = eprosima::fastdds::dds;
using namespace quillModel;
using namespace quillReport;
using namespace tallyInputs;

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
        // Raw samples without ids: RTPS sequence numbers alone judge them.
        {"without ids, a late first sequence number is no loss, a dispose's is delivered, a hole is lost",
         [](ReaderTally& t) {
             t.Observe(Info(1, 21), Unnumbered(100), PayloadVerdict::NotChecked);
             auto dispose = Info(1, 22);
             dispose.valid_data = false;
             t.ObserveNoData(dispose);
             t.Observe(Info(1, 23), Unnumbered(100), PayloadVerdict::NotChecked);
             t.Observe(Info(1, 26), Unnumbered(50), PayloadVerdict::NotChecked);
         },
         [](const ReaderSnapshot& r) {
             const auto& s = r.streams.at(0);
             EXPECT_EQ(s.samples, 3u);
             EXPECT_EQ(s.payloadBytes, 250u);
             EXPECT_EQ(s.middlewareLost, 2u);
             EXPECT_EQ(s.lastSequence, 26u);
             EXPECT_EQ(s.missingIds + s.gaps + s.duplicates + s.backwardJumps + s.publisherSkipped, 0u);
         }},
        {"without ids, a dispose of one writer between two samples of another is no loss for either",
         [](ReaderTally& t) {
             t.Observe(Info(1, 1), Unnumbered(), PayloadVerdict::NotChecked);
             t.Observe(Info(2, 1), Unnumbered(), PayloadVerdict::NotChecked);
             auto dispose = Info(1, 2);
             dispose.valid_data = false;
             t.ObserveNoData(dispose);
             t.Observe(Info(2, 2), Unnumbered(), PayloadVerdict::NotChecked);
             t.Observe(Info(1, 3), Unnumbered(), PayloadVerdict::NotChecked);
         },
         [](const ReaderSnapshot& r) {
             EXPECT_EQ(r.streams.at(0).middlewareLost + r.streams.at(1).middlewareLost, 0u);
         }},
        // Refusals name no writer: the first hole after them is theirs.
        {"a refusal that is never sent again is the monitor's own, not middleware loss",
         [](ReaderTally& t) {
             fdds::SampleRejectedStatus refused;
             refused.total_count_change = 2;
             t.Observe(Info(1, 1), Sample(0), PayloadVerdict::NotChecked);
             t.OnSampleRejected(refused, true);
             t.Observe(Info(1, 5), Sample(4), PayloadVerdict::NotChecked);
             refused.total_count_change = 1;
             t.OnSampleRejected(refused, false); // sent again: no hole of its own
             t.Observe(Info(1, 7), Sample(6), PayloadVerdict::NotChecked);
         },
         [](const ReaderSnapshot& r) {
             const auto& s = r.streams.at(0);
             EXPECT_EQ(s.monitorRejected, 2u);
             EXPECT_EQ(s.middlewareLost, 2u);
             EXPECT_EQ(s.missingIds, 4u);
             EXPECT_EQ(s.publisherSkipped, 0u);
             EXPECT_EQ(r.events.samplesRejected, 3u);
         }},
        {"without ids, a writer whose sequence numbers start at the departed one's last is its restart",
         [&](ReaderTally& t) {
             for (uint32_t i = 1; i <= 10; ++i) {
                 t.Observe(WriterInfo({1}, i, 10 * i), Unnumbered(), PayloadVerdict::NotChecked);
             }
             unmatch(t, WriterInfo({1}, 1, 0));
             t.Observe(WriterInfo({2}, 10, 200), Unnumbered(), PayloadVerdict::NotChecked);
         },
         restartOfFirst},
        {"without ids, a writer of the same host whose sequence numbers start over is a restart",
         [&](ReaderTally& t) {
             for (uint32_t i = 1; i <= 50; ++i) {
                 t.Observe(WriterInfo({1}, i, 10 * i), Unnumbered(), PayloadVerdict::NotChecked);
             }
             unmatch(t, WriterInfo({1}, 1, 0));
             t.Observe(WriterInfo({2}, 1, 1000), Unnumbered(), PayloadVerdict::NotChecked);
         },
         restartOfFirst},
        {"without ids, a new writer whose sequence numbers run past the departed one's is no restart",
         [&](ReaderTally& t) {
             for (uint32_t i = 1; i <= 50; ++i) {
                 t.Observe(WriterInfo({1}, i, 10 * i), Unnumbered(), PayloadVerdict::NotChecked);
             }
             unmatch(t, WriterInfo({1}, 1, 0));
             t.Observe(WriterInfo({2}, 51, 1000), Unnumbered(), PayloadVerdict::NotChecked);
         },
         noRestart},
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

TEST(RefusalLeavesAHole, OnlyWhatNoWriterSendsAgain)
{
    struct Case
    {
        fdds::SampleRejectedStatusKind reason;
        bool reliable;
        bool hole;
    };
    for (const auto& c : std::vector<Case>{
             {fdds::REJECTED_BY_INSTANCES_LIMIT, true, true},
             {fdds::REJECTED_BY_SAMPLES_LIMIT, true, false},
             {fdds::REJECTED_BY_SAMPLES_PER_INSTANCE_LIMIT, true, false},
             {fdds::REJECTED_BY_SAMPLES_LIMIT, false, true},
             {fdds::NOT_REJECTED, false, false},
         }) {
        SCOPED_TRACE(::testing::Message() << c.reason << (c.reliable ? " reliable" : " best effort"));
        EXPECT_EQ(RefusalLeavesAHole(c.reason, c.reliable), c.hole);
    }
}
