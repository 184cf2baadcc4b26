// The report as a page: lumoQuillreport on the report of a real run (ids
// skipped, a writer killed and restarted, a clean topic), opened in headless
// Chromium with no network: nothing but the file is requested, no console
// error, one chart set per reader, the verdict with what went wrong in words
// under it, and per-writer totals equal to the final records.
// Then the inputs a page must survive (hostile names, a cut last line, a
// reader of a hundred writers) and those it must refuse with nothing changed
// beside them: files that are no report, the report as its own page, a page
// that cannot be written.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
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
    const auto clean = UniqueTopic("PageClean");
    lumo::test::ScratchDir dir;
    const std::string report = dir.File("run.jsonl");
    const std::string monitorPage = dir.File("monitor.html");
    auto monitor = StartReadyMonitor({"-t", skipping, killed, clean, "--qos-profile", "Lumo_Liveliness_Profile",
                                      "--report", report, "--report-html", monitorPage, "--report-period", "0.5",
                                      "--fail-on", "missing,lost"});
    auto victim = StartConfinedPublisher({"-t", killed, "-r", "200", "--duration", "120"});
    auto steady = StartConfinedPublisher({"-t", clean, "-n", "300", "-r", "300", "--linger", "60"});
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
    // The killed publisher comes back: its ids start over, a restart.
    auto restarted = StartConfinedPublisher({"-t", killed, "-n", "100", "-r", "200", "--linger", "60"});
    ASSERT_TRUE(restarted->WaitForText(lumo::test::Summary(killed, 0, 100), PUBLISH_TIMEOUT)) << restarted->Output();
    ASSERT_TRUE(steady->WaitForText(lumo::test::Summary(clean, 0, 300), PUBLISH_TIMEOUT)) << steady->Output();
    EXPECT_EQ(StopWith(*monitor), 2);
    for (auto* writer : {publisher.get(), restarted.get(), steady.get()}) {
        EXPECT_EQ(StopWith(*writer), 0);
    }

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
              json::parse("[[\"" + skipping + "\",4],[\"" + killed + "\",4],[\"" + clean + "\",4]]"));
    EXPECT_EQ(browser.Evaluate("Object.keys(Chart.instances).length"), 12);
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
              json::parse(
                  R"(["conditions that happenedmissing, restart","named by --fail-onmissing, lost","failedmissing"])"));

    // The totals table holds the final writer records, value for value.
    const json rows = WriterRows(browser);
    const auto finals = RecordsOf(records, "writer", true);
    ASSERT_EQ(rows.size(), finals.size());
    ASSERT_EQ(finals.size(), 4u);
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

    // Under the verdict, what went wrong in words, each at the time the
    // report first shows it and linked to the chart that shows it; the clean
    // topic has no line.
    const auto firstT = [&](const std::function<bool(const json&)>& match) {
        for (const auto& r : records) {
            if (match(r)) {
                return r["t"].get<double>();
            }
        }
        ADD_FAILURE() << "no such record";
        return -1.0;
    };
    const auto writersOf = [&](const std::string& topic) {
        std::vector<std::string> guids;
        for (const auto& r : finals) {
            if (r["topic"] == topic) {
                guids.push_back(r["writer"]);
            }
        }
        return guids;
    };
    const auto victims = writersOf(killed);
    ASSERT_EQ(victims.size(), 2u);
    const struct
    {
        std::string words; // up to the time
        double t;
        std::string chart;
    } expected[] = {
        {skipping + ", writer 1: 23 ids missing (publisher skipped), first at ", firstT([&](const json& r) {
             return r["record"] == "writer" && r["topic"] == skipping && r["missing_ids"].get<int>() > 0;
         }),
         "#reader-0-missing"},
        {killed + ": writer 1 restarted as writer 2 at ", firstT([&](const json& r) {
             return r.value("event", "") == "subscription_matched" && r["writer"] == victims[1];
         }),
         "#reader-1-rate"},
        {killed + ", writer 1: liveliness lost at ", firstT([&](const json& r) {
             return r.value("event", "") == "liveliness_changed" && r.value("alive_count_change", 0) == -1;
         }),
         "#reader-1-events"},
    };
    const json findings = browser.Evaluate(
        "[...document.querySelectorAll('#verdict + #findings li a')].map((a) => [a.textContent, a.hash, "
        "document.querySelector(a.hash) !== null])");
    ASSERT_EQ(findings.size(), std::size(expected)) << findings;
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const std::string words = findings[i][0];
        ASSERT_EQ(words.substr(0, expected[i].words.size()), expected[i].words) << words;
        ASSERT_EQ(words.back(), 's') << words;
        // One decimal, rounded: within half a tenth of the record's time.
        EXPECT_NEAR(std::stod(words.substr(expected[i].words.size())), expected[i].t, 0.0501) << words;
        EXPECT_EQ(findings[i][1], expected[i].chart) << words;
        EXPECT_EQ(findings[i][2], true) << words;
    }
}

namespace {

// A writer record of topic `topic`, reader 0, at `t`.
json WriterRecord(const std::string& topic, const std::string& guid, double t, json fields)
{
    fields.update(json{{"schema", 1},
                       {"record", "writer"},
                       {"time", "2026-12-08T10:00:01.000Z"},
                       {"t", t},
                       {"topic", topic},
                       {"reader", 0},
                       {"writer", guid},
                       {"restart_of", nullptr},
                       {"presence", "alive"},
                       {"rate_hz", 10.0},
                       {"final", false}});
    return fields;
}

// Every file of `dir` and its content (a link's: its file's); a device, or a
// file of more than 1 MiB, by its kind or size alone.
std::map<std::string, std::string> Files(const std::string& dir)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) {
            files[entry.path().filename()] = "(not a regular file)";
            continue;
        }
        if (entry.file_size() > (1U << 20)) {
            files[entry.path().filename()] = "(" + std::to_string(entry.file_size()) + " bytes)";
            continue;
        }
        std::ifstream in(entry.path());
        files[entry.path().filename()] = (std::stringstream() << in.rdbuf()).str();
    }
    return files;
}

// Makes the report `bytes` longer, of zeros, without a newline.
std::function<void(const std::string&, const std::string&)> Grown(std::uintmax_t bytes)
{
    return [bytes](const std::string& report, const std::string&) {
        std::filesystem::resize_file(report, std::filesystem::file_size(report) + bytes);
    };
}

} // namespace

TEST(ReportPage, InputsMadeIntoAPageOrRefusedWithNothingLeftBehind)
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
        WriterRecord(hostileTopic, hostileWriter, 1, {{"samples", 10}, {"missing_ids", 0}}),
        record("reader", 1, {{"topic", hostileTopic}, {"reader", 0}, {"samples", 10}, {"final", false}}),
    };
    const std::string whole = Lines(run);
    const std::string cut = whole + R"({"schema":1,"record":"writer","time":"2026-12-08T10:00:02.000Z","t":2,"top)";
    // "<!--<script" in the data would hold the rest of the page in the
    // script element; "</title " in the title would end it. Brackets in a
    // string are no nesting.
    const std::string commentTopic = "<!--<script x" + std::string(70, '{');
    json titleStart = run[0];
    titleStart["time"] = "x</title <!--";
    const std::string commentRun = Lines({titleStart, WriterRecord(commentTopic, "w", 1, {{"samples", 1}})});
    // 64 steady writers, and 40 more that each stay one period of four;
    // writer 40 loses ids. Drawn: writer 40, then the 7 with most samples
    // (writers 58 to 64); the 96 others are one series.
    std::vector<json> crowd{run[0]};
    for (int period = 1; period <= 4; ++period) {
        for (int i = 0; i < 64 + 10 * period; ++i) {
            if (i < 64 || i >= 64 + 10 * (period - 1)) {
                crowd.push_back(
                    WriterRecord("Crowd", "writer-" + std::to_string(i), period,
                                 {{"samples", i < 64 ? 100 * period + i : 50},
                                  {"missing_ids", i == 39 ? period : 0},
                                  {"latency_ns", {{"p50", 1000 * i}, {"p99", 2000 * i}, {"max", 3000 * i}}}}));
            }
        }
    }
    // An event of a reader, kept whole for the page.
    const std::string nested = whole + R"({"schema":1,"record":"event","t":2,"topic":"x","reader":0,"event":)" +
                               std::string(100000, '[') + std::string(100000, ']') + "}\n";
    json badReader = WriterRecord(hostileTopic, "w", 1, {{"samples", 1}});
    badReader["reader"] = "zero";
    const std::string wrongType = Lines({run[0], badReader});

    struct Case
    {
        std::string name;
        std::string content;
        int status;
        std::vector<std::string> messages; // "LEVEL message", @ for the report's path
        std::string check; // an expression the page must make true; empty: no page, the directory unchanged
        std::function<void(const std::string& report, const std::string& page)> before = nullptr;
        std::vector<std::string> wrapper = {}; // runs the tool
    };
    const std::vector<Case> cases{
        {"hostile",
         whole,
         0,
         {"INFO  Wrote '@.html' from 4 records of '@'"},
         "document.querySelector('section.reader .topic').textContent === '<script>alert(1)</script>' && "
         "document.querySelector('[data-field=writer]').textContent === '</script><script>alert(2)</script>|<!--' && "
         "document.querySelectorAll('section.reader').length === 1 && !document.getElementById('cut-note') && "
         "document.getElementById('no-final-note') !== null && "
         "document.getElementById('findings').textContent === \"Nothing went wrong: every writer's samples arrived, "
         "in order, and no reader reported a fault.\""},
        {"comment and title",
         commentRun,
         0,
         {"INFO  Wrote '@.html' from 2 records of '@'"},
         "document.title === 'lumoQuillmon report x</title <!--' && "
         "[...document.querySelectorAll('section.reader .topic')].map((t) => t.textContent).join() === '" +
             commentTopic + "'"},
        {"crowded reader",
         Lines(crowd),
         0,
         {"INFO  Wrote '@.html' from " + std::to_string(crowd.size()) + " records of '@'"},
         // One legend of 9 entries above the charts; none in a line chart,
         // whose plot keeps most of its box; the drawn writers in the table,
         // the other 96 in a second one when it is opened.
         "(async () => [...document.querySelectorAll('.legend .entry')].map((e) => e.textContent).join() === "
         "'writer 40,writer 58,writer 59,writer 60,writer 61,writer 62,writer 63,writer 64,other writers (96)' && "
         "Object.values(Chart.instances).filter((c) => c.config.type === 'line').every((c) => "
         "c.data.datasets.length <= 27 && c.chartArea.bottom - c.chartArea.top > 0.6 * c.height) && "
         "document.querySelectorAll('table.writers tbody tr').length === 8 && "
         "document.getElementById('findings').textContent === "
         "'Crowd, writer 40: 4 ids missing (lost by the middleware), first at 1.0 s' && "
         "await new Promise((done) => {"
         "  const folded = document.querySelector('details.folded');"
         "  folded.addEventListener('toggle', () => done(JSON.stringify([...folded.querySelectorAll("
         "    'tbody tr')].map((r) => r.querySelector('[data-field=index]').textContent + ' ' +"
         "    r.querySelector('[data-field=drawn_as]').textContent).filter((_, i) => i % 40 === 0))));"
         "  folded.open = true;"
         "}) === '[\"1 other writers\",\"42 other writers\",\"89 other writers\"]')()"},
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
        {"nested 100,000 deep",
         nested,
         1,
         {"ERROR ERROR: '@' is not a lumoQuillmon report: line 5 is nested deeper than 64 levels"},
         ""},
        {"a field of the wrong type",
         wrongType,
         1,
         {"ERROR ERROR: '@' is not a lumoQuillmon report: line 2: \"reader\" is of type string, not an unsigned "
          "integer"},
         ""},
        {"the page is the report",
         whole,
         1,
         {"ERROR ERROR: the page '@.html' is the report '@' itself: give the page a path of its own"},
         "",
         [](const std::string& report, const std::string& page) { std::filesystem::create_symlink(report, page); }},
        // Past the file size limit a write fails, SIGXFSZ or not: the
        // earlier page stays as it was, and no other file is left.
        {"the page cannot be written",
         whole,
         1,
         {"ERROR ERROR: cannot write the page '@.html': File too large"},
         "",
         [](const std::string&, const std::string& page) { std::ofstream(page) << "the earlier page"; },
         {"/bin/sh", "-c", "ulimit -f 8; exec \"$0\" \"$@\""}},
        // Read only as far as a bound: a device never ends, a line or a file
        // beyond any report is refused (sparse files: no disk is used).
        {"a device",
         "",
         1,
         {"ERROR ERROR: cannot read the report file '@': it is not a regular file"},
         "",
         [](const std::string& report, const std::string&) {
             std::filesystem::remove(report);
             std::filesystem::create_symlink("/dev/zero", report);
         }},
        {"a line longer than 64 MiB",
         Lines({run[0]}),
         1,
         {"ERROR ERROR: '@' is not a lumoQuillmon report: line 2 is longer than 64 MiB"},
         "",
         Grown((64U << 20) + 1)},
        {"more than 1 GiB",
         whole,
         1,
         {"ERROR ERROR: '@' is larger than the 1 GiB a page is made from"},
         "",
         Grown((std::uintmax_t{1} << 30) + 1 - whole.size())},
    };
    lumo::test::ScratchDir scratch;
    HeadlessChromium browser;
    int n = 0;
    for (const auto& c : cases) {
        const std::string dir = scratch.File("case" + std::to_string(n++));
        std::filesystem::create_directory(dir);
        const std::string report = dir + "/report.jsonl";
        const std::string page = report + ".html";
        std::ofstream(report, std::ios::binary) << c.content;
        if (c.before) {
            c.before(report, page);
        }
        const auto files = Files(dir);
        std::vector<std::string> command = c.wrapper;
        command.insert(command.end(), {LUMO_QUILLREPORT_PATH, report, "-o", page});
        ProcessRunner tool(command[0], std::vector<std::string>(command.begin() + 1, command.end()));
        EXPECT_EQ(tool.Wait(EXIT_TIMEOUT), c.status) << c.name << tool.Output();
        std::vector<std::string> expected;
        for (auto message : c.messages) {
            for (auto at = message.find('@'); at != std::string::npos; at = message.find('@', at + report.size())) {
                message.replace(at, 1, report);
            }
            expected.push_back(message);
        }
        EXPECT_EQ(tool.Messages(), expected) << c.name;
        if (c.check.empty()) {
            EXPECT_EQ(Files(dir), files) << c.name;
            continue;
        }
        const auto visit = browser.Open(page);
        EXPECT_THAT(visit.consoleErrors, IsEmpty()) << c.name;
        EXPECT_THAT(visit.dialogs, IsEmpty()) << c.name;
        EXPECT_THAT(visit.requests, ElementsAre("file://" + page)) << c.name;
        EXPECT_EQ(browser.Evaluate(c.check), true) << c.name;
    }
}
