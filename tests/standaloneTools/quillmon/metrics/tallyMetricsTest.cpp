// The metrics made from the tallies: departed writers folded into the
// unlisted series, cumulative latency buckets. Expected values are literal.

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

#include "metrics/tallyMetrics.h"
#include "model/readerTally.h"
#include "tallyInputs.h"

namespace fdds = eprosima::fastdds::dds;
using namespace quillModel;
using namespace tallyInputs;

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

std::shared_ptr<const TallyList> Listed(std::vector<std::shared_ptr<ReaderTally>> tallies)
{
    return std::make_shared<TallyList>(std::move(tallies));
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
    quillMetrics::TallyMetrics patient(Listed({tally}), std::chrono::hours(1));
    quillMetrics::TallyMetrics hasty(Listed({tally}), std::chrono::seconds(0));
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
        quillMetrics::TallyMetrics metrics(Listed({}), std::chrono::seconds(100));
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
