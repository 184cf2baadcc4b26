// The report as a page: lumoQuillreport on the report of a real run (ids
// skipped, a writer killed), opened in headless Chromium with no network:
// nothing but the file is requested, no console error, one chart set per
// reader, the verdict, and per-writer totals equal to the final records.
// Then the inputs a page must survive: hostile names, a cut last line, and
// files that are no report.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ExpectedLines.h"
#include "HeadlessChromium.h"
#include "ProcessRunner.h"
#include "ReportSchema.h"
#include "ScratchDir.h"
#include "TestNames.h"
#include "ToolRuns.h"

using namespace std::chrono_literals;
using lumo::test::EXIT_TIMEOUT;
using lumo::test::HeadlessChromium;
using lumo::test::MessagesAt;
using lumo::test::ProcessRunner;
using lumo::test::ReadReport;
using lumo::test::RecordsOf;
using lumo::test::StartConfinedPublisher;
using lumo::test::StartReadyMonitor;
using lumo::test::StopWith;
using lumo::test::UniqueTopic;
using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr auto PUBLISH_TIMEOUT = 60s;

std::unique_ptr<ProcessRunner> RunQuillreport(const std::string& report, const std::string& page)
{
    auto tool = std::make_unique<ProcessRunner>(LUMO_QUILLREPORT_PATH, std::vector<std::string>{report, "-o", page});
    EXPECT_TRUE(tool->Wait(EXIT_TIMEOUT).has_value()) << tool->Output();
    return tool;
}

// Per writer GUID, the cells of its row in the totals table: field -> text.
json WriterRows(HeadlessChromium& browser)
{
    return browser.Evaluate(R"(Object.fromEntries([...document.querySelectorAll('table.writers tbody tr')].map(
        (row) => [row.querySelector('[data-field=writer]').textContent,
                  Object.fromEntries([...row.querySelectorAll('[data-field]')].map(
                      (cell) => [cell.dataset.field, cell.textContent]))])))");
}

bool ReportHas(const std::string& path, const std::function<bool(const json&)>& match)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const json record = json::parse(line, nullptr, false);
        if (record.is_object() && match(record)) {
            return true;
        }
    }
    return false;
}

std::string Lines(const std::vector<json>& records)
{
    std::string text;
    for (const auto& record : records) {
        text += record.dump() + "\n";
    }
    return text;
}

} // namespace

TEST(ReportPage, ARealRunWithSkipsAndAKilledWriterReadsInChromiumFromTheFileAlone)
{
    const auto skipping = UniqueTopic("PageSkips");
    const auto killed = UniqueTopic("PageKilled");
    lumo::test::ScratchDir dir;
    const std::string report = dir.File("run.jsonl");
    const std::string monitorPage = dir.File("monitor.html");
    auto monitor = StartReadyMonitor({"-t", skipping, killed, "--qos-profile", "Lumo_Liveliness_Profile", "--report",
                                      report, "--report-html", monitorPage, "--report-period", "0.5", "--fail-on",
                                      "missing,lost"});
    auto victim = StartConfinedPublisher({"-t", killed, "-r", "200", "--duration", "120"});
    auto publisher = StartConfinedPublisher(
        {"-t", skipping, "-n", "600", "-r", "300", "--skip-every", "25", "--linger", "60"});
    ASSERT_TRUE(publisher->WaitForText(lumo::test::Summary(skipping, 0, 600, 23), PUBLISH_TIMEOUT))
        << publisher->Output();
    victim->Signal(SIGKILL);
    ASSERT_EQ(victim->Wait(EXIT_TIMEOUT), -SIGKILL);
    // The liveliness lease (3 s) runs out: the loss is an event of the report.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!ReportHas(report, [](const json& r) {
        return r.value("event", "") == "liveliness_changed" && r.value("alive_count_change", 0) == -1;
    }) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_EQ(StopWith(*monitor), 2);
    EXPECT_EQ(StopWith(*publisher), 0);

    const std::string page = dir.File("run.html");
    const auto tool = RunQuillreport(report, page);
    EXPECT_EQ(tool->Wait(EXIT_TIMEOUT), 0);
    const auto records = ReadReport(report);
    EXPECT_THAT(MessagesAt(*tool, "INFO"), ElementsAre("Wrote '" + page + "' from " + std::to_string(records.size()) +
                                                       " records of '" + report + "'"));

    // The monitor wrote the very same page at its exit.
    std::ifstream fromMonitor(monitorPage);
    std::ifstream fromTool(page);
    EXPECT_EQ((std::stringstream() << fromMonitor.rdbuf()).str(), (std::stringstream() << fromTool.rdbuf()).str());

    HeadlessChromium browser;
    const auto visit = browser.Open(page);
    EXPECT_THAT(visit.requests, ElementsAre("file://" + page));
    EXPECT_THAT(visit.consoleErrors, IsEmpty());
    std::filesystem::create_directories(LUMO_TEST_ARTIFACTS_DIR);
    browser.Screenshot(std::string(LUMO_TEST_ARTIFACTS_DIR) + "/reportPage.png");

    // One chart set per reader, every chart drawn by the library.
    EXPECT_EQ(browser.Evaluate("[...document.querySelectorAll('section.reader')].map((s) => "
                               "[s.querySelector('.topic').textContent, s.querySelectorAll('canvas').length])"),
              json::parse("[[\"" + skipping + "\",4],[\"" + killed + "\",4]]"));
    EXPECT_EQ(browser.Evaluate("Object.keys(Chart.instances).length"), 8);
    EXPECT_EQ(browser.Evaluate("document.getElementById('verdict').textContent"), "Verdict: fail");
    // A drag across one chart zooms every chart to the same span; a double
    // click on another brings back the whole run.
    const char* spans =
        "[...new Set(Object.values(Chart.instances).map((c) => c.scales.x.min + '-' + c.scales.x.max))]";
    EXPECT_EQ(browser.Evaluate(
                  "const boxes = document.querySelectorAll('.chart'), r = boxes[0].getBoundingClientRect();"
                  "boxes[0].dispatchEvent(new MouseEvent('mousedown', {clientX: r.left + r.width / 2}));"
                  "window.dispatchEvent(new MouseEvent('mouseup', {clientX: r.right - 10}));" +
                  std::string(spans) + ".length"),
              1);
    EXPECT_NE(browser.Evaluate(std::string(spans) + "[0]").get<std::string>().rfind("0-", 0), 0u);
    browser.Evaluate("document.querySelectorAll('.chart')[5].dispatchEvent(new MouseEvent('dblclick'))");
    EXPECT_EQ(browser.Evaluate(spans), json::array({"0-" + browser
                                                               .Evaluate("Math.ceil(JSON.parse("
                                                                         "document.getElementById('report-data')"
                                                                         ".textContent).endT)")
                                                               .dump()}));
    EXPECT_EQ(browser.Evaluate("[...document.querySelectorAll('table.run tr')].map((r) => r.textContent)"
                               ".filter((t) => /^(conditions that happened|named by --fail-on|failed)/.test(t))"),
              json::parse(R"(["conditions that happenedmissing","named by --fail-onmissing, lost","failedmissing"])"));

    // The totals table holds the final writer records, value for value.
    const json rows = WriterRows(browser);
    const auto finals = RecordsOf(records, "writer", true);
    ASSERT_EQ(rows.size(), finals.size());
    ASSERT_EQ(finals.size(), 2u);
    for (const auto& record : finals) {
        const std::string guid = record["writer"];
        ASSERT_TRUE(rows.contains(guid)) << guid;
        const json& row = rows[guid];
        for (const char* field :
             {"samples", "payload_bytes", "first_id", "last_id", "missing_ids", "gaps", "duplicates", "backward_jumps",
              "middleware_lost", "publisher_skipped", "undecodable"}) {
            EXPECT_EQ(row[field], record[field].dump()) << guid << " " << field;
        }
        EXPECT_EQ(row["presence"], record["presence"]);
        EXPECT_EQ(row["record"], "final");
    }
    EXPECT_EQ(rows[finals[0]["writer"].get<std::string>()]["missing_ids"], "23");
}

TEST(ReportPage, HostileNamesACutLastLineAndFilesThatAreNoReport)
{
    const std::string hostileTopic = "<script>alert(1)</script>";
    const std::string hostileWriter = "</script><script>alert(2)</script>|<!--";
    const auto record = [&](const char* kind, double t, json fields) {
        fields.update(json{{"schema", 1}, {"record", kind}, {"time", "2026-12-08T10:00:00.000Z"}, {"t", t}});
        return fields;
    };
    const json options{{"topics", {hostileTopic}}, {"fail_on", json::array()}};
    const std::vector<json> run{
        record("start", 0, {{"options", options}, {"fast_dds", "2.9.1"}}),
        record("event", 0.2,
               {{"topic", hostileTopic}, {"reader", 0}, {"event", "subscription_matched"}, {"writer", hostileWriter}}),
        record("writer", 1,
               {{"topic", hostileTopic},
                {"reader", 0},
                {"writer", hostileWriter},
                {"restart_of", nullptr},
                {"presence", "alive"},
                {"samples", 10},
                {"missing_ids", 0},
                {"rate_hz", 10.0},
                {"final", false}}),
        record("reader", 1, {{"topic", hostileTopic}, {"reader", 0}, {"samples", 10}, {"final", false}}),
    };
    const std::string whole = Lines(run);
    const std::string cut = whole + R"({"schema":1,"record":"writer","time":"2026-12-08T10:00:02.000Z","t":2,"top)";

    struct Case
    {
        std::string name;
        std::string content;
        int status;
        std::vector<std::string> messages; // "LEVEL message", @ for the report's path
        std::string check;                 // an expression the page must make true; empty: no page
    };
    const std::vector<Case> cases{
        {"hostile",
         whole,
         0,
         {"INFO  Wrote '@.html' from 4 records of '@'"},
         "document.querySelector('section.reader .topic').textContent === '<script>alert(1)</script>' && "
         "document.querySelector('[data-field=writer]').textContent === '</script><script>alert(2)</script>|<!--' && "
         "document.querySelectorAll('section.reader').length === 1 && !document.getElementById('cut-note') && "
         "document.getElementById('no-final-note') !== null"},
        {"cut",
         cut,
         0,
         {"WARN  The last line of '@' was cut; the page shows the 4 whole records before it",
          "INFO  Wrote '@.html' from 4 records of '@'"},
         "document.getElementById('cut-note').textContent === \"The report's last line was cut (the monitor was "
         "stopped while writing it): this page shows the 4 whole records before it.\" && "
         "Object.keys(Chart.instances).length === 4"},
        {"not a report",
         "hello\n",
         1,
         {"ERROR ERROR: '@' is not a lumoQuillmon report: its first line is not a start record"},
         ""},
        {"empty", "", 1, {"ERROR ERROR: '@' is not a lumoQuillmon report: it is empty"}, ""},
        {"other schema",
         R"({"schema":2,"record":"start","t":0})"
         "\n",
         1,
         {"ERROR ERROR: '@' is a report of schema 2 on line 1; this lumoQuillreport reads schema 1"},
         ""},
        {"broken inside",
         whole.substr(0, 40) + "\n" + whole,
         1,
         {"ERROR ERROR: '@' is not a lumoQuillmon report: its first line is not a start record"},
         ""},
        {"broken later",
         Lines({run[0]}) + "{oops\n" + Lines({run[2]}),
         1,
         {"ERROR ERROR: '@' is not a lumoQuillmon report: line 2 is not a JSON record"},
         ""},
    };
    lumo::test::ScratchDir dir;
    HeadlessChromium browser;
    int n = 0;
    for (const auto& c : cases) {
        const std::string report = dir.File("case" + std::to_string(n++) + ".jsonl");
        std::ofstream(report, std::ios::binary) << c.content;
        const auto tool = RunQuillreport(report, report + ".html");
        EXPECT_EQ(tool->Wait(EXIT_TIMEOUT), c.status) << c.name;
        std::vector<std::string> expected;
        for (auto message : c.messages) {
            for (auto at = message.find('@'); at != std::string::npos; at = message.find('@', at + report.size())) {
                message.replace(at, 1, report);
            }
            expected.push_back(message);
        }
        EXPECT_EQ(tool->Messages(), expected) << c.name;
        if (c.check.empty()) {
            EXPECT_FALSE(std::filesystem::exists(report + ".html")) << c.name;
            continue;
        }
        const auto visit = browser.Open(report + ".html");
        EXPECT_THAT(visit.consoleErrors, IsEmpty()) << c.name;
        EXPECT_THAT(visit.dialogs, IsEmpty()) << c.name;
        EXPECT_THAT(visit.requests, ElementsAre("file://" + report + ".html")) << c.name;
        EXPECT_EQ(browser.Evaluate(c.check), true) << c.name;
    }
}
