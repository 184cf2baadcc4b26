// The report read back as the page draws it: which latency figures a writer
// record gives, in microseconds, and which writers of a crowded reader are
// drawn, the rest folded into one "other writers" series; and how far it is
// read at most.
#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lumo/reportPage/ReportPage.h"
#include "reportSeries.h"

using lumo::reportPage::ReadBounds;
using lumo::reportPage::ReaderSeries;
using lumo::reportPage::ReadReportSeries;
using lumo::reportPage::ReportPageError;
using lumo::reportPage::WriterSeries;
using nlohmann::json;

namespace {

json Values(const std::vector<double>& values)
{
    json out = json::array();
    for (const double value : values) {
        out.push_back(std::isfinite(value) ? json(value) : json(nullptr));
    }
    return out;
}

// What a row checks of reader 0: the drawn writers, the first writer's
// latency and the folded series.
json Summary(const ReaderSeries& reader)
{
    json drawn = json::array();
    for (const auto& writer : reader.writers) {
        if (writer.drawn) {
            drawn.push_back(writer.writer);
        }
    }
    const WriterSeries& first = reader.writers.at(0);
    json other = nullptr;
    if (reader.folded > 0) {
        other = json{{"count", reader.folded},
                     {"t", Values(reader.other.t)},
                     {"rate", Values(reader.other.rateHz)},
                     {"missing", Values(reader.other.missingIds)},
                     {"skipped", Values(reader.other.publisherSkipped)},
                     {"p99", Values(reader.other.p99Us)}};
    }
    return json{{"drawn", drawn},
                {"first",
                 {{"p50", Values(first.p50Us)}, {"p99", Values(first.p99Us)}, {"period", first.periodLatency}}},
                {"other", other}};
}

json Writer(const std::string& guid, double t, json fields)
{
    fields.update(json{{"schema", 1}, {"record", "writer"}, {"t", t}, {"topic", "T"}, {"reader", 0}, {"writer", guid}});
    return fields;
}

json Latency(int p50, int p99)
{
    return json{{"count", 10}, {"p50", p50}, {"p99", p99}, {"max", p99 * 2}};
}

// Writers w0..w<count-1> in one period at `t`: samples grow with the index,
// w3 has missing ids, w7 is a restart of w2; `leave` are absent.
std::vector<json> Crowd(int count, double t, const std::vector<int>& leave = {})
{
    std::vector<json> records;
    for (int i = 0; i < count; ++i) {
        if (std::find(leave.begin(), leave.end(), i) != leave.end()) {
            continue;
        }
        const std::string guid = "w" + std::to_string(i);
        records.push_back(Writer(guid, t,
                                 {{"samples", 10 * (i + 1)},
                                  {"rate_hz", 100 + i},
                                  {"missing_ids", i == 3 ? 3 : 0},
                                  {"publisher_skipped", i == 1 ? 4 : i * t},
                                  {"restart_of", i == 7 ? json("w2") : json(nullptr)},
                                  {"latency_ns", Latency(1000 * (i + 1), 10000 * (i + 1) + 1000 * t)}}));
    }
    return records;
}

template <typename... Parts>
std::vector<json> Join(Parts... parts)
{
    std::vector<json> all;
    (all.insert(all.end(), parts.begin(), parts.end()), ...);
    return all;
}

} // namespace

TEST(ReportSeries, LatencyInMicrosecondsAndCrowdedReadersFolded)
{
    struct Case
    {
        std::string name;
        std::vector<json> records; // after the start record
        json expected;
    };
    const json notFolded = nullptr;
    const std::vector<Case> cases{
        {"per-period latency where the record has it",
         {Writer("a", 1, {{"latency_ns", Latency(2000, 9000)}, {"latency_period", Latency(1000, 5500)}})},
         {{"drawn", json::array({"a"})},
          {"first", {{"p50", json::array({1.0})}, {"p99", json::array({5.5})}, {"period", true}}},
          {"other", notFolded}}},
        {"the stream's latency otherwise",
         {Writer("a", 1, {{"latency_ns", Latency(3000, 7250)}}), Writer("a", 2, {})},
         {{"drawn", json::array({"a"})},
          {"first", {{"p50", {3.0, nullptr}}, {"p99", {7.25, nullptr}}, {"period", false}}},
          {"other", notFolded}}},
        {"nine writers all drawn",
         Crowd(9, 1),
         {{"drawn", {"w0", "w1", "w2", "w3", "w4", "w5", "w6", "w7", "w8"}},
          {"first", {{"p50", json::array({1.0})}, {"p99", json::array({11.0})}, {"period", false}}},
          {"other", notFolded}}},
        // Ranked: w3 (missing ids), w7 and w2 (a restart), then by samples:
        // w10, w9, w8, w6, w5. Folded: w0, w1, w4; w1 leaves after period 1
        // and its skips still count.
        {"eleven writers: eight drawn, three folded",
         Join(Crowd(11, 1), Crowd(11, 2, {1, 2, 3, 5, 6, 7, 8, 9, 10})),
         {{"drawn", {"w2", "w3", "w5", "w6", "w7", "w8", "w9", "w10"}},
          {"first", {{"p50", {1.0, 1.0}}, {"p99", {11.0, 12.0}}, {"period", false}}},
          {"other",
           {{"count", 3},
            {"t", {1.0, 2.0}},
            {"rate", {(100.0 + 101 + 104) / 3, (100.0 + 104) / 2}},
            {"missing", {0.0, 0.0}},
            {"skipped", {0.0 + 4 + 4, 0.0 + 4 + 8}},
            {"p99", {51.0, 52.0}}}}}},
    };
    for (const auto& c : cases) {
        std::stringstream report;
        report << R"({"schema":1,"record":"start","time":"2026-12-08T10:00:00.000Z","t":0})" << '\n';
        for (const auto& record : c.records) {
            report << record.dump() << '\n';
        }
        const auto series = ReadReportSeries(report, "r.jsonl");
        ASSERT_EQ(series.readers.size(), 1u) << c.name;
        EXPECT_EQ(Summary(series.readers[0]), c.expected) << c.name << "\n" << Summary(series.readers[0]).dump();
    }
}

// Small bounds stand for the real ones: a line or a report at its bound is
// read, one byte more is refused with the line that crossed it.
TEST(ReportSeries, LinesAndReportsAreReadUpToTheirBoundsOnly)
{
    const std::string start = R"({"schema":1,"record":"start","t":0})";
    const std::string writer = Writer("w", 1, {}).dump();
    const ReadBounds bounds{writer.size(), start.size() + writer.size() + 2};
    const std::pair<std::string, std::string> cases[] = {
        // A report, and the error it gives (none: read whole).
        {start + "\n" + writer + "\n", ""},
        {start + "\n" + writer, ""},
        {start + "\n" + writer + " \n",
         "'r' is not a lumoQuillmon report: line 2 is longer than " + std::to_string(writer.size()) + " bytes"},
        {start + "\n" + writer + "\n\n", "'r' is larger than the " + std::to_string(bounds.reportBytes) +
                                             " bytes a page is made from (line 3 goes past it)"},
    };
    for (const auto& [report, expected] : cases) {
        std::istringstream in(report);
        std::string error;
        try {
            EXPECT_EQ(ReadReportSeries(in, "r", bounds).records, 2U) << report;
        } catch (const ReportPageError& e) {
            error = e.what();
        }
        EXPECT_EQ(error, expected);
    }
}
