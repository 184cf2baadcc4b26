// The report page at scale: a synthetic report of a 1-hour run on 15 topics
// with 1 s periods (the records lumoQuillmon writes for it, with gaps,
// latency swings and events), made into a page by the library both tools
// use, and opened in headless Chromium; beside it, a 10-second run on one
// topic as the baseline. Prints, per case: records, report and page size,
// the time to make the page, and the page's load event, the end of its
// drawing and its first frame after, from the navigation's start.
//
// reportPageBench [DIR]   (default: a directory under /tmp, kept)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "HeadlessChromium.h"
#include "lumo/reportPage/ReportPage.h"

using nlohmann::json;

namespace {

std::string Time(int second)
{
    char text[32];
    std::snprintf(text, sizeof text, "2026-12-08T%02d:%02d:%02d.000Z", 10 + second / 3600, second / 60 % 60,
                  second % 60);
    return text;
}

json Record(const char* kind, int second, double t, json fields)
{
    fields.update(json{{"schema", 1}, {"record", kind}, {"time", Time(second)}, {"t", t}});
    return fields;
}

// The report of a run of `seconds` on `topics` topics, one writer each at
// 1 kHz, 1 s periods; every topic loses a few ids now and then, and one
// writer of each topic leaves its liveliness once.
std::size_t WriteSyntheticReport(const std::string& path, int topics, int seconds)
{
    std::ofstream out(path);
    std::size_t records = 0;
    const auto put = [&](const json& record) {
        out << record.dump() << '\n';
        ++records;
    };
    json options{{"topics", json::array()},
                 {"domain_id", 0},
                 {"qos_profile", "Lumo_Default_Profile"},
                 {"qos_file", "telemDataPathDdsQos.xml"},
                 {"expected_sample_id_increment", 1},
                 {"payload_check", "none"},
                 {"report", path},
                 {"report_period_s", 1},
                 {"duration_s", seconds},
                 {"fail_on", {"missing"}}};
    for (int i = 0; i < topics; ++i) {
        options["topics"].push_back("Telemetry" + std::to_string(i));
    }
    put(Record("start", 0, 0.0, json{{"options", options}, {"fast_dds", "2.9.1"}}));
    std::vector<uint64_t> samples(static_cast<std::size_t>(topics), 0);
    std::vector<uint64_t> missing(static_cast<std::size_t>(topics), 0);
    for (int s = 1; s <= seconds; ++s) {
        for (int i = 0; i < topics; ++i) {
            const std::string topic = "Telemetry" + std::to_string(i);
            const std::string guid = "01.0f.78.fd.14.5f.ca.e" + std::to_string(i % 10) + ".00.00.00.00|0.0.1.3";
            const auto index = static_cast<std::size_t>(i);
            const bool lossy = (s + i * 37) % 211 == 0;
            const uint64_t gap = lossy ? static_cast<uint64_t>(1 + (s + i) % 7) : 0;
            const uint64_t period = 1000 - gap;
            samples[index] += period;
            missing[index] += gap;
            const double t = s + 0.0001 * i;
            if (s == 1 || (s + i * 97) % 1200 == 0) {
                put(Record("event", s, t - 0.5,
                           json{{"topic", topic},
                                {"reader", i},
                                {"event", "liveliness_changed"},
                                {"writer", guid},
                                {"alive_count", 1},
                                {"not_alive_count", 0},
                                {"alive_count_change", s == 1 ? 1 : -1},
                                {"not_alive_count_change", 0}}));
            }
            const double wave = std::sin(s / 60.0 + i);
            const json latency{{"count", samples[index]},
                               {"negative", 0},
                               {"min", 40000},
                               {"p50", static_cast<int64_t>(80000 + 20000 * wave)},
                               {"p99", static_cast<int64_t>(400000 + 300000 * wave)},
                               {"max", 5000000},
                               {"basis", "source timestamp to reception timestamp; valid on one host or with "
                                         "synchronised clocks"}};
            const bool final = s == seconds;
            put(Record("writer", s, t,
                       json{{"topic", topic},
                            {"reader", i},
                            {"writer", guid},
                            {"restart_of", nullptr},
                            {"presence", "alive"},
                            {"samples", samples[index]},
                            {"payload_bytes", samples[index] * 64},
                            {"first_id", 0},
                            {"last_id", samples[index] + missing[index] - 1},
                            {"last_sequence", samples[index]},
                            {"missing_ids", missing[index]},
                            {"gaps", missing[index] > 0 ? 1 + s / 211 : 0},
                            {"duplicates", 0},
                            {"backward_jumps", 0},
                            {"middleware_lost", 0},
                            {"publisher_skipped", missing[index]},
                            {"undecodable", 0},
                            {"period_s", 1.000012345},
                            {"period_samples", period},
                            {"rate_hz", period / 1.000012345},
                            {"latency_ns", latency},
                            {"payload_check", {{"kind", "none"}, {"passed", 0}, {"failed", 0}}},
                            {"final", final}}));
            put(Record("reader", s, t,
                       json{{"topic", topic},
                            {"reader", i},
                            {"samples", samples[index]},
                            {"writers", 1},
                            {"restarts", 0},
                            {"untracked_samples", 0},
                            {"period_s", 1.000012345},
                            {"period_samples", period},
                            {"rate_hz", period / 1.000012345},
                            {"events", {{"matched", 1}, {"liveliness_changes", 1 + s / 1200}}},
                            {"final", final}}));
        }
    }
    put(Record("final", seconds, seconds + 0.001,
               json{{"options", options},
                    {"qos_profile", "Lumo_Default_Profile"},
                    {"fast_dds", "2.9.1"},
                    {"totals", {{"readers", topics}, {"writers", topics}}},
                    {"verdict",
                     {{"result", "fail"},
                      {"fail_on", {"missing"}},
                      {"happened", {"missing"}},
                      {"failed", {"missing"}},
                      {"exit_status", 2}}}}));
    return records;
}

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void Measure(const std::string& dir, const char* name, int topics, int seconds)
{
    const std::string report = dir + "/" + name + ".jsonl";
    const std::string page = dir + "/" + name + ".html";
    const std::size_t records = WriteSyntheticReport(report, topics, seconds);
    const auto before = std::chrono::steady_clock::now();
    lumo::reportPage::WriteReportPage(report, page);
    const double make = Seconds(std::chrono::steady_clock::now() - before);

    // A fresh browser per case: nothing of the other page is cached.
    lumo::test::HeadlessChromium browser;
    const auto visit = browser.Open(page);
    const json times = browser.Evaluate(
        "new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(() => done({"
        "load: performance.getEntriesByType('navigation')[0].loadEventEnd,"
        "drawn: Number(document.documentElement.dataset.renderMs), frame: performance.now()}))))");
    std::printf("%-22s %8zu %10.1f %9.2f %9.2f %9.0f %9.0f %9.0f %7zu\n", name, records,
                static_cast<double>(std::filesystem::file_size(report)) / 1e6,
                static_cast<double>(std::filesystem::file_size(page)) / 1e6, make, times["load"].get<double>(),
                times["drawn"].get<double>(), times["frame"].get<double>(), visit.consoleErrors.size());
}

} // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : "/tmp/lumo-report-page-bench";
    std::filesystem::create_directories(dir);
    std::printf("%-22s %8s %10s %9s %9s %9s %9s %9s %7s\n", "case", "records", "report MB", "page MB", "make s",
                "load ms", "drawn ms", "frame ms", "errors");
    Measure(dir, "1 topic, 10 s", 1, 10);
    Measure(dir, "15 topics, 1 h", 15, 3600);
    std::printf("(files in %s)\n", dir.c_str());
    return 0;
}
