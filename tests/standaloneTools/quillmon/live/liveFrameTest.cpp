// The live view's rows from real tallies: per-period rates and latencies,
// the trend's length, fault marks and restart names; the last screen against
// the report's final records.
#include "live/liveFrame.h"

#include <algorithm>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "report/reportRecords.h"
#include "tallyInputs.h"

using namespace tallyInputs;
using quillLive::LiveHistory;
using quillLive::LiveRow;

namespace {

// `count` samples of `writer` from id `first`, each `latencyNs` late.
void Feed(ReaderTally& tally, uint8_t writer, uint32_t first, uint32_t count, uint32_t latencyNs)
{
    for (uint32_t id = first; id < first + count; ++id) {
        tally.Observe(Info(writer, id + 1, 100, latencyNs), Sample(id), PayloadVerdict::NotChecked);
    }
}

void Match(ReaderTally& tally, uint8_t writer)
{
    fdds::SubscriptionMatchedStatus matched;
    matched.current_count_change = 1;
    matched.last_publication_handle = Handle(writer);
    tally.OnSubscriptionMatched(matched);
}

const LiveRow& RowNamed(const quillLive::LiveFrame& frame, const std::string& name)
{
    const auto row = std::find_if(frame.rows.begin(), frame.rows.end(),
                                  [&](const LiveRow& r) { return r.name == name; });
    EXPECT_NE(row, frame.rows.end()) << name;
    return *row;
}

} // namespace

TEST(LiveHistory, EachPeriodHasItsOwnRateAndLatenciesAndTheReaderSumsItsWriters)
{
    ReaderTally tally("T", 0, 1);
    LiveHistory history;
    Match(tally, 1);
    Feed(tally, 1, 0, 100, 1'000'000); // 1 ms late
    auto frame = history.Update({tally.Snapshot()}, 2.0, {});
    const auto& first = RowNamed(frame, "writer 1");
    EXPECT_DOUBLE_EQ(first.rate, 50.0);
    ASSERT_TRUE(first.p99Ns.has_value());
    EXPECT_NEAR(static_cast<double>(*first.p99Ns), 1e6, 1e6 / 16);

    // The next period: 300 samples in 0.5 s, 10 ms late, and a second
    // writer with 50; the first period's latencies are not in it.
    Feed(tally, 1, 100, 300, 10'000'000);
    Match(tally, 2);
    Feed(tally, 2, 0, 50, 10'000'000);
    frame = history.Update({tally.Snapshot()}, 2.5, {});
    const auto& writer = RowNamed(frame, "writer 1");
    EXPECT_DOUBLE_EQ(writer.rate, 600.0);
    EXPECT_EQ(writer.samples, 400U);
    EXPECT_NEAR(static_cast<double>(*writer.p50Ns), 1e7, 1e7 / 16);
    EXPECT_EQ(writer.trend, (std::vector<double>{50.0, 600.0}));
    const auto& reader = RowNamed(frame, "T");
    EXPECT_TRUE(reader.reader);
    EXPECT_EQ(reader.samples, 450U);
    EXPECT_DOUBLE_EQ(reader.rate, 700.0);
    EXPECT_NEAR(static_cast<double>(*reader.p50Ns), 1e7, 1e7 / 16);
    EXPECT_EQ(reader.presence, "2 writers");
    EXPECT_EQ(frame.rows.front().name, "T") << "the reader's row first, then its writers'";

    // A period without samples has no latency and a rate of 0; the trend
    // keeps the last periods only.
    for (int period = 0; period < 40; ++period) {
        frame = history.Update({tally.Snapshot()}, 3.0 + period, {});
    }
    const auto& idle = RowNamed(frame, "writer 1");
    EXPECT_DOUBLE_EQ(idle.rate, 0.0);
    EXPECT_FALSE(idle.p50Ns.has_value());
    EXPECT_EQ(idle.trend.size(), LiveHistory::TREND_PERIODS);

    // Writer 1 back after its slot was given away: a stream of its own
    // again, counted from nothing.
    auto back = tally.Snapshot();
    back.streams[0].samples = 10;
    frame = history.Update({back}, 43.0, {});
    EXPECT_DOUBLE_EQ(RowNamed(frame, "writer 1").rate, 10.0);
}

TEST(LiveHistory, FaultsAreMarkedWhereTheyHappened)
{
    struct Case
    {
        std::string name;
        std::vector<std::pair<uint32_t, uint32_t>> idRuns; // writer 1's ids: [from, to)
        bool writerFault;
        uint64_t restarts;
        std::string restartOf; // set on the snapshot: the model linked writer 1 to an earlier one
    };
    const std::vector<Case> cases{
        {"in order", {{0, 10}}, false, 0, ""},
        {"ids missing", {{0, 5}, {7, 10}}, true, 0, ""},
        {"an id twice", {{0, 5}, {4, 10}}, true, 0, ""},
        {"ids going back", {{0, 8}, {2, 4}}, true, 1, ""},
        {"a restart of a departed writer", {{0, 10}}, true, 1, "01.0f.92.14.bf.4e.38.6a.de.26.0d.58|0.0.1.3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReaderTally tally("T", 0, 1);
        uint64_t sequence = 1;
        for (const auto& [from, to] : c.idRuns) {
            for (uint32_t id = from; id < to; ++id) {
                tally.Observe(Info(1, sequence++), Sample(id), PayloadVerdict::NotChecked);
            }
        }
        auto snapshot = tally.Snapshot();
        snapshot.streams[0].restartOf = c.restartOf;
        snapshot.restarts += c.restartOf.empty() ? 0 : 1;
        LiveHistory history;
        const auto frame = history.Update({snapshot}, 1.0, {});
        const auto& writer = frame.rows.at(1);
        EXPECT_EQ(writer.fault, c.writerFault);
        EXPECT_EQ(writer.restarts, c.restarts);
        EXPECT_EQ(RowNamed(frame, "T").fault, c.writerFault);
    }
    // A reader that took nothing is a fault of its own (--fail-on no-data).
    ReaderTally silent("S", 1, 1);
    LiveHistory history;
    const auto frame = history.Update({silent.Snapshot()}, 1.0, {});
    ASSERT_EQ(frame.rows.size(), 1U);
    EXPECT_TRUE(frame.rows[0].fault);
    EXPECT_EQ(frame.rows[0].presence, "0 writers");
}

TEST(LiveHistory, SeventyWritersAreAllCountedAndTheLastScreenShowsTheReportsFinalFigures)
{
    constexpr uint8_t WRITERS = 70;
    ReaderTally tally("T", 0, 1);
    for (uint8_t writer = 1; writer <= WRITERS; ++writer) {
        Match(tally, writer);
        Feed(tally, writer, 0, 10, 1'000'000);
    }
    // The report's last periodic record, then 20 samples of each writer,
    // writer N's N * 100 us late; the view's last screen, then 10 at 2 ms.
    quillModel::PeriodBaseline report;
    report.Advance({tally.Snapshot()}, 1.0);
    for (uint8_t writer = 1; writer <= WRITERS; ++writer) {
        Feed(tally, writer, 10, 20, writer * 100'000U);
    }
    LiveHistory history;
    history.Update({tally.Snapshot()}, 1.2, {});
    for (uint8_t writer = 1; writer <= WRITERS; ++writer) {
        Feed(tally, writer, 30, 10, 2'000'000);
    }
    const auto last = tally.Snapshot();
    const auto period = report.Advance({last}, 0.4);
    const auto frame = history.Update({last}, 1.4, {}, &period);

    EXPECT_EQ(frame.unlistedWriters, WRITERS - ReaderTally::MAX_STREAMS);
    const auto& reader = RowNamed(frame, "T");
    EXPECT_EQ(reader.presence, "70 writers");
    const auto readerRecord = nlohmann::json::parse(
        quillReport::ReaderRecord(last, period.readers[0].samples, period.seconds, true, {}));
    EXPECT_DOUBLE_EQ(reader.rate, readerRecord["rate_hz"].get<double>());
    for (size_t s = 0; s < last.streams.size(); ++s) {
        SCOPED_TRACE(s);
        const auto& added = period.readers[0].streams[s];
        const auto record = nlohmann::json::parse(
            quillReport::WriterRecord(last, s, "none", added.samples, added.latencyCounts, period.seconds, true, {}));
        const auto& row = frame.rows.at(s + 1);
        EXPECT_EQ(row.guid, record["writer"].get<std::string>());
        EXPECT_DOUBLE_EQ(row.rate, record["rate_hz"].get<double>());
        EXPECT_EQ(row.p50Ns, record["latency_period"]["p50"].get<uint64_t>());
    }
}
