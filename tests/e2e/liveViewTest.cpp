// --live in a real terminal (tmux): what the view shows while the run goes
// on, the keys, a resize, and how each way of ending the run leaves the
// terminal; the last screen against the report's final records.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ExpectedLines.h"
#include "ProcessRunner.h"
#include "ReportSchema.h"
#include "ScratchDir.h"
#include "TestNames.h"
#include "TmuxSession.h"
#include "ToolRuns.h"

using namespace lumo::test;
using namespace std::chrono_literals;

namespace {

// What the pane prints once the monitor has ended and its status is saved.
const std::string PANE_DONE = "pane: monitor done";

// A file's text once it holds a whole line; empty after `timeout`.
std::string WaitForFileLine(const std::string& path, std::chrono::seconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        if (text.str().find('\n') != std::string::npos) {
            return text.str();
        }
        std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return "";
}

// Characters, not bytes: the view draws "…" and the trend's bars in UTF-8.
size_t Width(const std::string& line)
{
    return static_cast<size_t>(
        std::count_if(line.begin(), line.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xc0) != 0x80; }));
}

// A row of the view, its cells found under the columns' headings.
struct ViewRow
{
    bool fault = false;
    std::string name;
    std::map<std::string, std::string> cells;
};

// The rows below the headings line at `headings` (up to a line that is no
// row); each number column's cell ends where its heading ends.
std::vector<ViewRow> RowsAfter(const std::vector<std::string>& lines, size_t headings)
{
    static const std::vector<std::string> NUMBERS{"rate/s",  "samples", "missing", "mw lost",
                                                  "skipped", "dups",    "restarts"};
    const std::string& heads = lines[headings];
    std::vector<ViewRow> rows;
    for (size_t i = headings + 1; i < lines.size(); ++i) {
        // One byte a character, so that cells line up with the headings.
        std::string line;
        for (const char c : lines[i]) {
            if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) {
                line += static_cast<unsigned char>(c) < 0x80 ? c : '~';
            }
        }
        if (line.size() < 3 || (line[0] != ' ' && line[0] != '!') || line[1] != ' ') {
            break;
        }
        ViewRow row;
        row.fault = line[0] == '!';
        // A name is cut to leave a blank before its column's padding.
        row.name = line.substr(2, line.find("   ", 2) - 2);
        for (const auto& heading : NUMBERS) {
            const size_t at = heads.find(heading);
            if (at == std::string::npos) {
                continue;
            }
            // Right-aligned: from the end of the heading before it.
            const size_t end = at + heading.size();
            size_t start = at;
            while (start > 0 && heads[start - 1] == ' ') {
                --start;
            }
            std::string cell = line.size() > start ? line.substr(start, end - start) : "";
            cell.erase(0, cell.find_first_not_of(' '));
            row.cells[heading] = cell;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

// Whether a row names `topic`, maybe cut with an ellipsis ("~" here).
bool Names(const ViewRow& row, const std::string& topic)
{
    const std::string& name = row.name;
    return name.ends_with('~') ? topic.starts_with(name.substr(0, name.size() - 1)) : name.starts_with(topic);
}

size_t HeadingsLine(const std::vector<std::string>& lines, size_t from = 0)
{
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].rfind("  topic / writer", 0) == 0) {
            return i;
        }
    }
    return lines.size();
}

// The view's rows of `topic`'s reader and its first writer, when both count `samples`.
bool ShowsSamples(const std::vector<std::string>& screen, const std::string& topic, const std::string& samples)
{
    const size_t headings = HeadingsLine(screen);
    if (headings == screen.size()) {
        return false;
    }
    const auto rows = RowsAfter(screen, headings);
    const auto reader = std::find_if(rows.begin(), rows.end(), [&](const ViewRow& row) { return Names(row, topic); });
    return reader != rows.end() && reader + 1 != rows.end() && reader->cells.at("samples") == samples &&
           (reader + 1)->cells.at("samples") == samples;
}

} // namespace

TEST(LiveView, EveryWayOfEndingRestoresTheTerminalAndTheLastScreenAgreesWithTheReport)
{
    if (!TmuxSession::Available()) {
        GTEST_FAIL() << "tmux is needed (scripts/setup.sh installs it)";
    }
    struct Ending
    {
        std::string name;
        std::function<void(const TmuxSession&, pid_t)> end;
        int status;
        bool noColor;
        bool exitReport; // the last screen, then the held lines and the exit report
    };
    const std::vector<Ending> endings{
        {"q", [](const TmuxSession& tmux, pid_t) { tmux.SendKeys("q"); }, 2, false, true},
        {"SIGINT", [](const TmuxSession&, pid_t pid) { ::kill(pid, SIGINT); }, 2, true, true},
        {"SIGTERM", [](const TmuxSession&, pid_t pid) { ::kill(pid, SIGTERM); }, 2, true, true},
        // The crash handler restores the terminal and prints the held lines;
        // the signal then ends the process (the shell's 128 + 11).
        {"SIGSEGV", [](const TmuxSession&, pid_t pid) { ::kill(pid, SIGSEGV); }, 139, true, false},
        // Any other signal whose default action ends the process does the same.
        {"SIGQUIT", [](const TmuxSession&, pid_t pid) { ::kill(pid, SIGQUIT); }, 131, true, false},
        {"SIGUSR1", [](const TmuxSession&, pid_t pid) { ::kill(pid, SIGUSR1); }, 138, true, false},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.name);
        const ScratchDir dir;
        const std::string skipping = UniqueTopic("LiveSkips");
        const std::string clean = UniqueTopic("LiveClean");
        const std::string report = dir.File("report.jsonl");
        std::string monitor = "exec env LANG=C.UTF-8";
        if (ending.noColor) {
            monitor += " NO_COLOR=1";
        }
        monitor += " " + ShellQuote(LUMO_QUILLMON_PATH);
        for (const auto& arg : Confined({"-d", "--live", "-t", skipping, clean, "--report", report, "--report-period",
                                         "0.2", "--fail-on", "missing"})) {
            monitor += " " + ShellQuote(arg);
        }
        const std::string file = dir.Path() + "/";
        // The monitor's pid, its status and the terminal's modes before and
        // after it, in files; the pane stays for the screen to be read.
        const std::string command = "stty -g > " + file + "before; sh -c " +
                                    ShellQuote("echo $$ > " + file + "pid; " + monitor) + "; echo $? > " + file +
                                    "status; stty -g > " + file + "after; echo " + PANE_DONE + "; exec sleep 600";
        TmuxSession tmux(command, 160, 24);
        const std::string pidText = WaitForFileLine(file + "pid", START_TIMEOUT);
        ASSERT_FALSE(pidText.empty());
        const pid_t pid = std::stoi(pidText);
        ASSERT_TRUE(
            tmux.WaitForScreen([](const auto& screen) { return HeadingsLine(screen) < screen.size(); }, START_TIMEOUT));

        auto skips = StartConfinedPublisher(
            {"-t", skipping, "-n", "300", "-r", "300", "--skip-every", "100", "--linger", "60"});
        auto steady = StartConfinedPublisher({"-t", clean, "-n", "300", "-r", "300", "--linger", "60"});
        ASSERT_TRUE(tmux.WaitForScreen(
            [&](const auto& screen) {
                return ShowsSamples(screen, skipping, "300") && ShowsSamples(screen, clean, "300");
            },
            60s))
            << ::testing::PrintToString(tmux.Screen());

        // The fault's mark on the skipping topic's rows only (ids missing); its colour
        // only where NO_COLOR is not set.
        const auto screen = tmux.Screen();
        for (const auto& row : RowsAfter(screen, HeadingsLine(screen))) {
            EXPECT_EQ(row.fault, row.cells.at("missing") != "0") << row.name;
        }
        EXPECT_EQ(tmux.ScreenWithAttributes().find("31m") != std::string::npos, !ending.noColor);

        if (ending.name == "q") {
            tmux.SendKeys("s");
            EXPECT_TRUE(
                tmux.WaitForScreen([](const auto&
                                          screen) { return screen.front().find("  sort: rate") != std::string::npos; },
                                   10s));
            tmux.Resize(72, 12);
            EXPECT_TRUE(tmux.WaitForScreen(
                [&](const auto& screen) {
                    return screen.size() == 12 && screen.front().ends_with("\u2026") &&
                           std::all_of(screen.begin(), screen.end(),
                                       [](const auto& line) { return Width(line) <= 72; }) &&
                           ShowsSamples(screen, skipping, "300");
                },
                10s))
                << ::testing::PrintToString(tmux.Screen());
        }

        ending.end(tmux, pid);
        const std::string status = WaitForFileLine(file + "status", EXIT_TIMEOUT);
        ASSERT_FALSE(status.empty()) << ::testing::PrintToString(tmux.Screen());
        EXPECT_EQ(std::stoi(status), ending.status);
        ASSERT_FALSE(WaitForFileLine(file + "after", 10s).empty());
        // The pane shows the line printed after the monitor ended only once
        // tmux has read all the monitor wrote before it.
        ASSERT_TRUE(tmux.WaitForScreen(
            [](const auto& screen) { return std::find(screen.begin(), screen.end(), PANE_DONE) != screen.end(); },
            EXIT_TIMEOUT))
            << ::testing::PrintToString(tmux.Screen());
        EXPECT_EQ(WaitForFileLine(file + "after", 1s), WaitForFileLine(file + "before", 1s)) << "the terminal's modes";
        EXPECT_EQ(tmux.Query("#{alternate_on}"), "0") << "back on the normal screen";
        EXPECT_EQ(tmux.Query("#{cursor_flag}"), "1") << "the cursor shown";

        // Nothing held is lost: the lines logged while the view was up come
        // after it, in their order.
        const auto history = tmux.Screen(true);
        std::vector<std::vector<std::string>> held{{"INFO  [" + skipping + "][0] SampleId: 0 Payload size: 64",
                                                    "INFO  [" + skipping +
                                                        "][0] sample id mismatch last: 99 current: 101",
                                                    "INFO  [" + skipping +
                                                        "][0] sample id mismatch last: 200 current: 202"},
                                                   {"INFO  [" + clean + "][1] SampleId: 0 Payload size: 64"}};
        if (ending.exitReport) {
            // The matched reset may come after a first sample: count as the
            // log says it happened.
            std::vector<std::string> infos;
            for (const auto& line : history) {
                if (const auto at = line.find(" INFO  "); line.starts_with("20") && at != std::string::npos) {
                    infos.push_back(line.substr(at + 7));
                }
            }
            const auto samples = [&](const std::string& topic, uint32_t index, uint32_t skipEvery) {
                return std::to_string(
                    CountSinceLastReset(infos, Prefix(topic, index), PublishedIds(300, 0, 1, skipEvery, UINT32_MAX)));
            };
            held.push_back(
                {"INFO  Exiting ....",
                 "INFO   [" + skipping + "][0] #samples: " + samples(skipping, 0, 100) + " #lost samples: 2",
                 "INFO   [" + clean + "][1] #samples: " + samples(clean, 1, UINT32_MAX) + " #lost samples: 0",
                 "ERROR ERROR: --fail-on conditions happened: missing; exit status 2"});
        }
        for (const auto& lines : held) {
            auto from = std::find(history.begin(), history.end(), MONITOR_READY_LINE);
            for (const auto& line : lines) {
                from = std::find_if(from, history.end(),
                                    [&](const std::string& shown) { return shown.ends_with(line); });
                EXPECT_NE(from, history.end()) << line << "\n" << ::testing::PrintToString(history);
            }
        }
        const auto lastScreen = std::find_if(history.begin(), history.end(), [](const std::string& line) {
            return line.starts_with("lumoQuillmon  domain ") && line.find("  verdict: missing") != std::string::npos;
        });
        if (!ending.exitReport) {
            EXPECT_EQ(lastScreen, history.end()) << "a crash prints no last screen";
            continue;
        }
        // Printed before the held lines, as wide as the terminal was.
        ASSERT_LT(lastScreen, std::find_if(history.begin(), history.end(), [](const std::string& line) {
                      return line.ends_with("INFO  Exiting ....");
                  }));
        // As wide as the terminal at the end: the q row's was resized.
        const size_t columns = ending.name == "q" ? 72 : 160;
        for (auto line = lastScreen; line != history.end() && !line->starts_with("20"); ++line) {
            EXPECT_LE(Width(*line), columns) << *line;
        }
        const size_t headings = HeadingsLine(history, static_cast<size_t>(lastScreen - history.begin()));
        ASSERT_LT(headings, history.size());
        const auto rows = RowsAfter(history, headings);
        const auto writers = RecordsOf(ReadReport(report), "writer", true);
        ASSERT_EQ(writers.size(), 2U);
        for (const auto& writer : writers) {
            const auto topic = writer["topic"].get<std::string>();
            const auto row = std::find_if(rows.begin(), rows.end(), [&](const ViewRow& r) { return Names(r, topic); });
            ASSERT_NE(row, rows.end()) << topic;
            ASSERT_NE(row + 1, rows.end());
            const std::map<std::string, std::string> fields{{"samples", "samples"},
                                                            {"missing", "missing_ids"},
                                                            {"skipped", "publisher_skipped"},
                                                            {"mw lost", "middleware_lost"},
                                                            {"dups", "duplicates"}};
            for (const auto* shown : {&*row, &*(row + 1)}) {
                EXPECT_EQ(shown->fault, writer["missing_ids"] != 0) << topic;
                EXPECT_TRUE(shown->cells.count("samples") == 1 && shown->cells.count("missing") == 1);
                for (const auto& [cell, field] : fields) {
                    if (shown->cells.count(cell) != 0) {
                        EXPECT_EQ(shown->cells.at(cell), std::to_string(writer[field].get<uint64_t>())) << cell;
                    }
                }
            }
        }
    }
}
