// The report page at scale: a synthetic report of a 1-hour run on 15 topics
// with 1 s periods (the records lumoQuillmon writes for it, with gaps,
// latency swings and events), and one of a 1-hour run on one topic with 6 s
// periods whose 64 writers come and go (3,840 writers in all), made into a
// page by the library both tools use, and opened in headless Chromium;
// beside them, a 10-second run on one topic as the baseline. Prints, per
// case: records, report and page size, the time to make the page, and the
// page's load event, the end of its drawing and its first frame after, from
// the navigation's start. Given an earlier lumoQuillreport, the same for its
// page of each report, on the row below ("before").
//
// reportPageBench [DIR [EARLIER_LUMOQUILLREPORT]]   (DIR default: a directory under /tmp, kept)
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

// A latency object whose percentiles follow `wave` (-1 to 1).
json Latency(uint64_t count, double wave, const char* basis)
{
    return json{{"count", count},
                {"negative", 0},
                {"min", 40000},
                {"p50", static_cast<int64_t>(80000 + 20000 * wave)},
                {"p99", static_cast<int64_t>(400000 + 300000 * wave)},
                {"max", 5000000},
                {"basis", basis}};
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
            const json latency = Latency(samples[index], std::sin(s / 60.0 + i),
                                         "source timestamp to reception timestamp; valid on one host or with "
                                         "synchronised clocks");
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

// A 1-hour run on one topic, 6 s periods, 64 writers at a time at 100 Hz,
// each staying 60 s, started in turn (one leaves and one comes every
// 0.94 s): 3,840 writers, each matched and unmatched; one in 16 loses ids,
// one in 32 is the restart of the one before.
std::size_t WriteChurnReport(const std::string& path)
{
    constexpr int SECONDS = 3600;
    constexpr int PERIOD = 6;
    constexpr int LIVE = 64;
    constexpr int STAY = 60;
    constexpr int WRITERS = SECONDS / STAY * LIVE;
    std::ofstream out(path);
    std::size_t records = 0;
    const auto put = [&](const json& record) {
        out << record.dump() << '\n';
        ++records;
    };
    const std::string topic = "Telemetry";
    const json options{{"topics", {topic}},
                       {"domain_id", 0},
                       {"qos_profile", "Lumo_Default_Profile"},
                       {"report", path},
                       {"report_period_s", PERIOD},
                       {"duration_s", SECONDS},
                       {"fail_on", {"missing"}}};
    put(Record("start", 0, 0.0, json{{"options", options}, {"fast_dds", "2.9.1"}}));
    const auto guid = [](int w) {
        char text[64];
        std::snprintf(text, sizeof text, "01.0f.78.fd.14.5f.%02x.%02x.00.00.00.00|0.0.1.3", w / 256, w % 256);
        return std::string(text);
    };
    // Writer w is there from its start to its start + STAY.
    const auto startOf = [](int w) { return static_cast<double>(w - LIVE + 1) * STAY / LIVE; };
    std::vector<uint64_t> samples(WRITERS, 0);
    std::vector<uint64_t> missing(WRITERS, 0);
    for (int s = PERIOD; s <= SECONDS; s += PERIOD) {
        const auto t = static_cast<double>(s);
        const bool final = s == SECONDS;
        uint64_t readerSamples = 0;
        int live = 0;
        for (int w = 0; w < WRITERS; ++w) {
            const double from = std::max(0.0, startOf(w));
            const double to = startOf(w) + STAY;
            const double here = std::min(t, to) - std::max(t - PERIOD, from);
            if (here <= 0 && !(final && to > t)) {
                continue;
            }
            if (from >= t - PERIOD) {
                put(Record("event", s, from,
                           json{{"topic", topic},
                                {"reader", 0},
                                {"event", "subscription_matched"},
                                {"writer", guid(w)},
                                {"current_count_change", 1}}));
            }
            const auto period = static_cast<uint64_t>(std::max(0.0, here) * 100);
            const uint64_t gap = w % 16 == 5 ? period / 50 : 0;
            samples[w] += period - gap;
            missing[w] += gap;
            readerSamples += period - gap;
            ++live;
            const json latency = Latency(samples[w], std::sin(t / 60.0 + w), "source timestamp to reception timestamp");
            const bool gone = to <= t;
            put(Record("writer", s, t,
                       json{{"topic", topic},
                            {"reader", 0},
                            {"writer", guid(w)},
                            {"restart_of", w % 32 == 9 ? json(guid(w - 1)) : json(nullptr)},
                            {"presence", gone ? "gone" : "alive"},
                            {"samples", samples[w]},
                            {"payload_bytes", samples[w] * 64},
                            {"first_id", 0},
                            {"last_id", samples[w] + missing[w]},
                            {"last_sequence", samples[w]},
                            {"missing_ids", missing[w]},
                            {"gaps", missing[w] > 0 ? 1 : 0},
                            {"duplicates", 0},
                            {"backward_jumps", 0},
                            {"middleware_lost", 0},
                            {"publisher_skipped", 0},
                            {"undecodable", 0},
                            {"period_s", PERIOD},
                            {"period_samples", period - gap},
                            {"rate_hz", static_cast<double>(period - gap) / PERIOD},
                            {"latency_ns", latency},
                            {"latency_period", latency},
                            {"payload_check", {{"kind", "none"}, {"passed", 0}, {"failed", 0}}},
                            {"final", final}}));
            if (gone && to > t - PERIOD) {
                put(Record("event", s, to,
                           json{{"topic", topic},
                                {"reader", 0},
                                {"event", "subscription_unmatched"},
                                {"writer", guid(w)},
                                {"current_count_change", -1}}));
            }
        }
        put(Record("reader", s, t,
                   json{{"topic", topic},
                        {"reader", 0},
                        {"samples", readerSamples},
                        {"writers", live},
                        {"restarts", 0},
                        {"untracked_samples", 0},
                        {"period_s", PERIOD},
                        {"events", {{"matched", live}}},
                        {"final", final}}));
    }
    put(Record("final", SECONDS, SECONDS + 0.001,
               json{{"options", options},
                    {"fast_dds", "2.9.1"},
                    {"totals", {{"readers", 1}, {"writers", WRITERS}}},
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

// Opens `page` in a fresh browser (nothing of another page cached) and
// prints its row.
void Open(const std::string& label, std::size_t records, const std::string& report, const std::string& page,
          double make)
{
    lumo::test::HeadlessChromium browser;
    lumo::test::PageVisit visit;
    json times;
    try {
        visit = browser.Open(page);
        times = browser.Evaluate(
            "new Promise((done) => requestAnimationFrame(() => requestAnimationFrame(() => done({"
            "load: performance.getEntriesByType('navigation')[0].loadEventEnd,"
            "drawn: Number(document.documentElement.dataset.renderMs), frame: performance.now()}))))");
    } catch (const std::exception& e) {
        std::printf("%-30s %8zu (%s)\n", label.c_str(), records, e.what());
        std::fflush(stdout);
        return;
    }
    std::printf("%-30s %8zu %10.1f %9.2f %9.2f %9.0f %9.0f %9.0f %7zu\n", label.c_str(), records,
                static_cast<double>(std::filesystem::file_size(report)) / 1e6,
                static_cast<double>(std::filesystem::file_size(page)) / 1e6, make, times["load"].get<double>(),
                times["drawn"].get<double>(), times["frame"].get<double>(), visit.consoleErrors.size());
    std::fflush(stdout);
}

void Measure(const std::string& dir, const char* name, const std::string& earlier,
             const std::function<std::size_t(const std::string&)>& write)
{
    const std::string report = dir + "/" + name + ".jsonl";
    const std::string page = dir + "/" + name + ".html";
    const std::size_t records = write(report);
    const auto before = std::chrono::steady_clock::now();
    lumo::reportPage::WriteReportPage(report, page);
    Open(name, records, report, page, Seconds(std::chrono::steady_clock::now() - before));
    if (earlier.empty()) {
        return;
    }
    const std::string earlierPage = dir + "/" + name + ".before.html";
    const std::string command = "'" + earlier + "' '" + report + "' -o '" + earlierPage + "' >/dev/null 2>&1";
    const auto started = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) {
        std::printf("%-30s (the earlier lumoQuillreport failed)\n", "  before");
        return;
    }
    Open("  before", records, report, earlierPage, Seconds(std::chrono::steady_clock::now() - started));
}

} // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : "/tmp/lumo-report-page-bench";
    const std::string earlier = argc > 2 ? argv[2] : "";
    std::filesystem::create_directories(dir);
    std::printf("%-30s %8s %10s %9s %9s %9s %9s %9s %7s\n", "case", "records", "report MB", "page MB", "make s",
                "load ms", "drawn ms", "frame ms", "errors");
    std::fflush(stdout);
    Measure(dir, "1 topic, 10 s", earlier, [](const std::string& path) { return WriteSyntheticReport(path, 1, 10); });
    Measure(dir, "15 topics, 1 h", earlier,
            [](const std::string& path) { return WriteSyntheticReport(path, 15, 3600); });
    Measure(dir, "64 writers, churn, 1 h", earlier, WriteChurnReport);
    std::printf("(files in %s)\n", dir.c_str());
    return 0;
}
