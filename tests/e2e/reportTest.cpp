// lumoQuillmon's JSON Lines report, --duration and --fail-on, against real
// lumoQuillpub processes on loopback: exact per-writer counts for the faults
// the publisher injects, two writers on one topic, a killed and restarted
// writer, the exit statuses, and a report file that cannot be written. Every
// record read is checked against the schema.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ExpectedLines.h"
#include "ProcessRunner.h"
#include "ReportSchema.h"
#include "ScratchDir.h"
#include "TestNames.h"
#include "ToolRuns.h"

using namespace std::chrono_literals;
using lumo::test::Confined;
using lumo::test::EXIT_TIMEOUT;
using lumo::test::MessagesAt;
using lumo::test::ProcessRunner;
using lumo::test::ReadReport;
using lumo::test::RecordsOf;
using lumo::test::START_TIMEOUT;
using lumo::test::StartConfinedPublisher;
using lumo::test::StartReadyMonitor;
using lumo::test::StopWith;
using lumo::test::UniqueTopic;
using lumo::test::WaitForReportedSamples;
using nlohmann::json;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Not;

namespace {

constexpr auto PUBLISH_TIMEOUT = 60s;

// A report file of this test process, removed at the end of its scope.
class ReportFile
{
public:
    ReportFile()
        : path_("/tmp/lumo-report-" + std::to_string(getpid()) + "-" + std::to_string(counter_++) + ".jsonl")
    {
    }
    ~ReportFile() { std::remove(path_.c_str()); }
    const std::string& Path() const { return path_; }

private:
    static inline int counter_ = 0;
    std::string path_;
};

// The publisher's summary of a run on one topic (reader index 0).
std::string Summary(const std::string& topic, uint64_t written, uint64_t skipped = 0, uint64_t repeated = 0)
{
    return lumo::test::Summary(topic, 0, written, skipped, repeated);
}

// The single final record, and the final writer records of the report.
struct FinalReport
{
    json final;
    std::vector<json> writers;
    std::vector<json> readers;
};

FinalReport Finals(const std::string& path)
{
    const auto records = ReadReport(path);
    FinalReport report;
    const auto finals = RecordsOf(records, "final");
    EXPECT_EQ(finals.size(), 1u);
    EXPECT_EQ(RecordsOf(records, "start").size(), 1u);
    if (!records.empty()) {
        EXPECT_EQ(records.front()["record"], "start");
        EXPECT_EQ(records.back()["record"], "final");
    }
    report.final = finals.empty() ? json::object() : finals.back();
    report.writers = RecordsOf(records, "writer", true);
    report.readers = RecordsOf(records, "reader", true);
    return report;
}

} // namespace

TEST(ReportCounts, InjectedSkipsAndARepeatGiveExactPerWriterCountsAndTheVerdict)
{
    // Quotes, a backslash and UTF-8 in the topic name: the report escapes them.
    const auto topic = UniqueTopic("Re\"port\\\xc3\xa9");
    ReportFile report;
    auto monitor = StartReadyMonitor(
        {"-t", topic, "--report", report.Path(), "--report-period", "0.5", "--fail-on", "missing,middleware-loss"});
    auto publisher = StartConfinedPublisher(
        {"-t", topic, "-n", "300", "-r", "0", "--skip-every", "10", "--repeat-id", "55", "--linger", "60"});
    ASSERT_TRUE(publisher->WaitForText(Summary(topic, 300, 29, 1), PUBLISH_TIMEOUT)) << publisher->Output();
    ASSERT_TRUE(WaitForReportedSamples(report.Path(), topic, 300, PUBLISH_TIMEOUT)) << monitor->Output();
    // Ids were missing: --fail-on missing turns the status to 2.
    EXPECT_EQ(StopWith(*monitor), 2);
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"),
                ElementsAre("ERROR: --fail-on conditions happened: missing; exit status 2"));
    EXPECT_EQ(StopWith(*publisher), 0);

    const auto result = Finals(report.Path());
    ASSERT_EQ(result.writers.size(), 1u);
    const auto& writer = result.writers[0];
    EXPECT_EQ(writer["topic"], topic);
    EXPECT_EQ(writer["samples"], 300);
    EXPECT_EQ(writer["payload_bytes"], 300 * 64);
    EXPECT_EQ(writer["first_id"], 0);
    // 299 steps, 29 of them two ids long, one of them a repeat (no step).
    EXPECT_EQ(writer["last_id"], 298 + 29);
    EXPECT_EQ(writer["missing_ids"], 29);
    EXPECT_EQ(writer["gaps"], 29);
    EXPECT_EQ(writer["publisher_skipped"], 29);
    EXPECT_EQ(writer["middleware_lost"], 0);
    EXPECT_EQ(writer["duplicates"], 1);
    EXPECT_EQ(writer["backward_jumps"], 0);
    EXPECT_EQ(writer["restart_of"], nullptr);
    EXPECT_EQ(writer["payload_check"]["kind"], "none");
    ASSERT_TRUE(writer["latency_ns"].is_object());
    EXPECT_EQ(writer["latency_ns"]["count"], 300);
    EXPECT_EQ(writer["latency_ns"]["negative"], 0);
    EXPECT_GT(writer["latency_ns"]["max"].get<int64_t>(), 0);
    EXPECT_LT(writer["latency_ns"]["max"].get<int64_t>(), 10'000'000'000);

    const auto& verdict = result.final["verdict"];
    EXPECT_EQ(verdict["result"], "fail");
    EXPECT_EQ(verdict["fail_on"], json::parse(R"(["missing","middleware-loss"])"));
    EXPECT_EQ(verdict["happened"], json::parse(R"(["missing","duplicates"])"));
    EXPECT_EQ(verdict["failed"], json::parse(R"(["missing"])"));
    EXPECT_EQ(verdict["exit_status"], 2);
    EXPECT_EQ(result.final["totals"]["samples"], 300);
    EXPECT_EQ(result.final["options"]["topics"], json::array({topic}));
    EXPECT_EQ(result.final["qos_profile"], "Lumo_Default_Profile");
}

TEST(ReportCounts, TwoWritersOnOneTopicAreCountedApart)
{
    const auto topic = UniqueTopic("TwoWriters");
    ReportFile report;
    auto monitor = StartReadyMonitor({"-t", topic, "--report", report.Path(), "--report-period", "0.1"});
    auto first = StartConfinedPublisher({"-t", topic, "-n", "400", "-r", "1000", "--linger", "60"});
    auto second = StartConfinedPublisher(
        {"-t", topic, "-n", "250", "-r", "1000", "--start-id", "1000000", "--skip-every", "50", "--linger", "60"});
    ASSERT_TRUE(first->WaitForText(Summary(topic, 400), PUBLISH_TIMEOUT)) << first->Output();
    ASSERT_TRUE(second->WaitForText(Summary(topic, 250, 4), PUBLISH_TIMEOUT)) << second->Output();
    ASSERT_TRUE(WaitForReportedSamples(report.Path(), topic, 650, PUBLISH_TIMEOUT)) << monitor->Output();
    EXPECT_EQ(StopWith(*monitor), 0);
    EXPECT_EQ(StopWith(*first), 0);
    EXPECT_EQ(StopWith(*second), 0);

    const auto result = Finals(report.Path());
    ASSERT_EQ(result.writers.size(), 2u);
    // In the order their first samples arrived; told apart by the first id.
    const bool firstIsFirst = result.writers[0]["first_id"] == 0;
    const auto& a = result.writers[firstIsFirst ? 0 : 1];
    const auto& b = result.writers[firstIsFirst ? 1 : 0];
    EXPECT_NE(a["writer"], b["writer"]);
    EXPECT_EQ(a["samples"], 400);
    EXPECT_EQ(a["last_id"], 399);
    EXPECT_EQ(a["missing_ids"], 0);
    EXPECT_EQ(b["samples"], 250);
    EXPECT_EQ(b["first_id"], 1000000);
    EXPECT_EQ(b["missing_ids"], 4);
    EXPECT_EQ(b["publisher_skipped"], 4);
    for (const auto* writer : {&a, &b}) {
        EXPECT_EQ((*writer)["duplicates"], 0);
        EXPECT_EQ((*writer)["backward_jumps"], 0);
        EXPECT_EQ((*writer)["middleware_lost"], 0);
    }
    ASSERT_EQ(result.readers.size(), 1u);
    EXPECT_EQ(result.readers[0]["writers"], 2);
    EXPECT_EQ(result.readers[0]["samples"], 650);
    EXPECT_EQ(result.readers[0]["events"]["matched"], 2);
    EXPECT_EQ(result.final["verdict"]["happened"], json::parse(R"(["missing"])"));
}

// The monitor stopped for 2 s (SIGSTOP) while the publisher goes on: what
// was sent meanwhile arrives late, all at once. The period that takes it
// shows the spike, the periods after it the recovery, while the stream's
// cumulative p99 keeps the spike to the end.
//
// Over UDP only: a process stopped while it holds its shared-memory port's
// lock (seen now and then on Fast DDS 3.6) holds every write to that port
// until it resumes: the publisher, not the samples, waits out the pause.
TEST(ReportLatency, EachPeriodHasThePercentilesOfItsOwnSamples)
{
    const auto topic = UniqueTopic("Paused");
    ReportFile report;
    auto monitor = StartReadyMonitor({"-t", topic, "--report", report.Path(), "--report-period", "0.5", "--qos-file",
                                      LUMO_TEST_QOS_FILE, "--qos-profile", "Test_Reliable"});
    auto publisher = StartConfinedPublisher({"-t", topic, "-n", "1600", "-r", "200", "--linger", "60", "--qos-file",
                                             LUMO_TEST_QOS_FILE, "--qos-profile", "Test_Reliable"});
    ASSERT_TRUE(publisher->WaitForText("Publishing on", PUBLISH_TIMEOUT)) << publisher->Output();
    std::this_thread::sleep_for(2s);
    monitor->Signal(SIGSTOP);
    std::this_thread::sleep_for(2s);
    monitor->Signal(SIGCONT);
    ASSERT_TRUE(publisher->WaitForText(Summary(topic, 1600), PUBLISH_TIMEOUT)) << publisher->Output();
    ASSERT_TRUE(WaitForReportedSamples(report.Path(), topic, 1600, PUBLISH_TIMEOUT)) << monitor->Output();
    EXPECT_EQ(StopWith(*monitor), 0);
    EXPECT_EQ(StopWith(*publisher), 0);

    const auto writers = RecordsOf(ReadReport(report.Path()), "writer");
    ASSERT_FALSE(writers.empty());
    const auto& last = writers.back();
    ASSERT_TRUE(last["final"].get<bool>());
    EXPECT_EQ(last["samples"], 1600);
    uint64_t periodCounts = 0;
    bool spike = false;
    bool recovered = false;
    std::string p99s; // period p99 / stream p99, in ms, for a failure's message
    for (const auto& record : writers) {
        const auto& period = record["latency_period"];
        if (period.is_null()) {
            continue;
        }
        periodCounts += period["count"].get<uint64_t>();
        const auto p99 = period["p99"].get<uint64_t>();
        const auto streamP99 = record["latency_ns"]["p99"].get<uint64_t>();
        p99s += " " + std::to_string(p99 / 1'000'000) + "/" + std::to_string(streamP99 / 1'000'000);
        spike |= p99 >= 500'000'000;
        // After the spike, a period of its own samples, far below the
        // stream's p99 since its start.
        recovered |= spike && p99 * 4 < streamP99;
    }
    EXPECT_TRUE(spike) << p99s;
    EXPECT_TRUE(recovered) << p99s;
    // Every sample is in exactly one period.
    EXPECT_EQ(periodCounts,
              last["latency_ns"]["count"].get<uint64_t>() - last["latency_ns"]["negative"].get<uint64_t>());
}

// When the killed publisher's successor starts: before Fast DDS noticed the
// kill, or once the writer's lease ended the match.
enum class RestartAfter
{
    HalfASecond,
    TheLease
};

class ReportRestart : public ::testing::TestWithParam<RestartAfter>
{
};

TEST_P(ReportRestart, AKilledAndRestartedWriterIsARestartNotALoss)
{
    const bool afterLease = GetParam() == RestartAfter::TheLease;
    const auto topic = UniqueTopic("Restart");
    ReportFile report;
    // The reader that watches writer liveliness (3 s lease) notices the kill.
    auto monitor = StartReadyMonitor({"-d", "-t", topic, "--qos-profile", "Lumo_Liveliness_Profile", "--report",
                                      report.Path(), "--report-period", "0.1", "--fail-on", "restart"});
    auto victim = StartConfinedPublisher({"-t", topic, "-r", "200", "--duration", "120"});
    ASSERT_TRUE(WaitForReportedSamples(report.Path(), topic, 150, START_TIMEOUT)) << monitor->Output();
    victim->Signal(SIGKILL);
    ASSERT_EQ(victim->Wait(EXIT_TIMEOUT), -SIGKILL);
    if (afterLease) {
        ASSERT_TRUE(monitor->WaitForText("alive_count: 0 not_alive_count: 1", 20s)) << monitor->Output();
        // Then the participant's lease ends the match (the prefix alone, a second time).
        int prefixLines = 0;
        ASSERT_TRUE(monitor->WaitForLine(
            [&](const std::string& line) {
                return lumo::test::WithoutTimestamp(line) == "INFO  [" + topic + "][0]" && ++prefixLines == 2;
            },
            20s))
            << monitor->Output();
    } else {
        std::this_thread::sleep_for(500ms);
    }

    auto successor = StartConfinedPublisher({"-t", topic, "-n", "300", "-r", "500", "--linger", "60"});
    ASSERT_TRUE(successor->WaitForText(Summary(topic, 300), PUBLISH_TIMEOUT)) << successor->Output();
    // The successor's stream, the second writer, holds all of its samples.
    ASSERT_TRUE(lumo::test::WaitForWriterSamples(report.Path(), 1, 300, PUBLISH_TIMEOUT)) << monitor->Output();
    EXPECT_EQ(StopWith(*monitor), 2);
    EXPECT_EQ(StopWith(*successor), 0);

    const auto result = Finals(report.Path());
    ASSERT_EQ(result.writers.size(), 2u) << "one stream per writer";
    const auto& killed = result.writers[0];
    const auto& restarted = result.writers[1];
    EXPECT_EQ(killed["first_id"], 0);
    EXPECT_GT(killed["samples"].get<uint64_t>(), 100u);
    EXPECT_EQ(killed["last_id"].get<uint64_t>() + 1, killed["samples"].get<uint64_t>());
    EXPECT_EQ(restarted["restart_of"], killed["writer"]);
    EXPECT_EQ(restarted["samples"], 300);
    EXPECT_EQ(restarted["first_id"], 0);
    for (const auto* writer : {&killed, &restarted}) {
        EXPECT_EQ((*writer)["missing_ids"], 0);
        EXPECT_EQ((*writer)["middleware_lost"], 0);
        EXPECT_EQ((*writer)["backward_jumps"], 0);
    }
    EXPECT_EQ(result.readers.at(0)["restarts"], 1);
    EXPECT_EQ(result.final["verdict"]["failed"], json::parse(R"(["restart"])"));
    if (!afterLease) {
        return;
    }
    EXPECT_EQ(killed["presence"], "unmatched");
    // The liveliness loss is an event record with the writer it concerns.
    bool lostEvent = false;
    for (const auto& event : RecordsOf(ReadReport(report.Path()), "event")) {
        lostEvent |= event["event"] == "liveliness_changed" && event["not_alive_count_change"] == 1 &&
                     event["writer"] == killed["writer"];
    }
    EXPECT_TRUE(lostEvent);
}

INSTANTIATE_TEST_SUITE_P(RestartAfter, ReportRestart,
                         ::testing::Values(RestartAfter::HalfASecond, RestartAfter::TheLease),
                         [](const ::testing::TestParamInfo<RestartAfter>& info) {
                             return info.param == RestartAfter::HalfASecond ? "HalfASecond" : "TheLease";
                         });

TEST(ReportRun, DurationEndsTheRunAsSigintWouldAndFailOnDecidesTheStatus)
{
    const auto quiet = UniqueTopic("Quiet");
    ReportFile report;
    // No writer: the run ends by itself after the duration, with the exit
    // report; periodic records came every half second meanwhile.
    auto passing = lumo::test::StartMonitor(
        Confined({"-d", "-t", quiet, "--duration", "2.5", "--report", report.Path(), "--report-period", "0.5"}));
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(passing->Wait(EXIT_TIMEOUT), 0) << passing->Output();
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 2500ms);
    EXPECT_LT(took, 15s);
    const auto info = MessagesAt(*passing, "INFO");
    EXPECT_THAT(info, Contains("Exiting ...."));
    EXPECT_THAT(info, Contains(" [" + quiet + "][0] #samples: 0 #lost samples: 0"));
    const auto records = ReadReport(report.Path());
    const auto periodic = RecordsOf(records, "reader").size() - RecordsOf(records, "reader", true).size();
    EXPECT_GE(periodic, 4u);
    EXPECT_LE(periodic, 6u);
    // Every half second, never a period skipped (a late wake is made up by
    // the next one, which comes early).
    for (const auto& record : RecordsOf(records, "reader")) {
        if (!record["final"].get<bool>()) {
            EXPECT_LT(record["period_s"].get<double>(), 0.9) << record.dump();
        }
    }
    EXPECT_EQ(RecordsOf(records, "final").at(0)["verdict"]["happened"], json::parse(R"(["no-data"])"));
    EXPECT_EQ(RecordsOf(records, "final").at(0)["verdict"]["exit_status"], 0);

    // The time limit is the run's, not the report's: alone, it ends the run
    // just the same.
    auto limited = lumo::test::StartMonitor(Confined({"-d", "-t", quiet, "--duration", "1"}));
    ASSERT_EQ(limited->Wait(EXIT_TIMEOUT), 0) << limited->Output();
    EXPECT_THAT(MessagesAt(*limited, "INFO"), Contains(" [" + quiet + "][0] #samples: 0 #lost samples: 0"));

    auto failing = lumo::test::StartMonitor(Confined({"-t", quiet, "--duration", "1", "--fail-on", "no-data"}));
    ASSERT_EQ(failing->Wait(EXIT_TIMEOUT), 2) << failing->Output();
    EXPECT_THAT(MessagesAt(*failing, "ERROR"),
                ElementsAre("ERROR: --fail-on conditions happened: no-data; exit status 2"));

    // A failed payload check ends the run (status 0 as ever); with --fail-on
    // pattern the status is 2.
    const auto corrupt = UniqueTopic("Corrupt");
    auto checking = StartReadyMonitor({"-c", "-t", corrupt, "--fail-on", "pattern,no-data"});
    auto publisher = StartConfinedPublisher({"-t", corrupt, "-n", "100", "-r", "200", "--payload", "ramp",
                                             "--corrupt-sample", "40", "--wait-timeout", "20", "--ack-timeout", "0"});
    ASSERT_EQ(checking->Wait(EXIT_TIMEOUT), 2) << checking->Output();
    EXPECT_THAT(MessagesAt(*checking, "ERROR"),
                Contains("ERROR: --fail-on conditions happened: pattern; exit status 2"));
    EXPECT_EQ(publisher->Wait(EXIT_TIMEOUT), 0);
}

TEST(ReportRun, BadValuesAreRefusedLikeAnyBadOption)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--fail-on", "missing,bogus"},
         "ERROR: the argument ('missing,bogus') for option '--fail-on' is invalid; conditions: missing, duplicates, "
         "restart, middleware-loss, qos, lost, rejected, deadline, pattern, no-data"},
        {{"--fail-on", ""},
         "ERROR: the argument for option '--fail-on' is invalid; conditions: missing, "
         "duplicates, restart, middleware-loss, qos, lost, rejected, deadline, pattern, no-data"},
        {{"--duration", "0"},
         "ERROR: the argument ('0') for option '--duration' is invalid; range: 0.001 to 31536000 seconds"},
        {{"--duration", "nan"},
         "ERROR: the argument ('nan') for option '--duration' is invalid; range: 0.001 to 31536000 seconds"},
        {{"--duration", "1e10"},
         "ERROR: the argument ('1e10') for option '--duration' is invalid; range: 0.001 to 31536000 seconds"},
        {{"--report-period", "-1"},
         "ERROR: the argument ('-1') for option '--report-period' is invalid; range: 0.001 to 86400 seconds"},
        {{"--report-period", "1e10"},
         "ERROR: the argument ('1e10') for option '--report-period' is invalid; range: 0.001 to 86400 seconds"},
        {{"--report-period", "1e-10"},
         "ERROR: the argument ('1e-10') for option '--report-period' is invalid; range: 0.001 to 86400 seconds"},
        {{"--report"}, "ERROR: the required argument for option '--report' is missing"},
        {{"--report-html", "run.html"}, "ERROR: --report-html needs --report"},
        {{"--report", "/nonexistent-dir/run.jsonl", "--report-html", "/nonexistent-dir/./run.jsonl"},
         "ERROR: --report-html '/nonexistent-dir/./run.jsonl' is the --report file; give the page a file of its own"},
        // Neither exists yet: the same path once made absolute.
        {{"--report", "no-such-dir/run.jsonl", "--report-html", "./no-such-dir/run.jsonl", "--duration", "1"},
         "ERROR: --report-html './no-such-dir/run.jsonl' is the --report file; give the page a file of its own"},
        {{"--report", "./no-such-dir/run.jsonl", "--report-html", "no-such-dir/run.jsonl", "--duration", "1"},
         "ERROR: --report-html 'no-such-dir/run.jsonl' is the --report file; give the page a file of its own"},
        {{"--report", "/dev/stdout", "--report-html", "/proc/self/fd/1"},
         "ERROR: --report-html '/proc/self/fd/1' is the --report file; give the page a file of its own"},
        {{"--report", "run.jsonl", "--report-html", "/dev/null"},
         "ERROR: --report-html '/dev/null' is not a regular file; the page needs one"},
        // Plain decimal numbers only.
        {{"--duration", "0x1"},
         "ERROR: the argument ('0x1') for option '--duration' is invalid; range: 0.001 to 31536000 seconds"},
        {{"--duration", " 1"},
         "ERROR: the argument (' 1') for option '--duration' is invalid; range: 0.001 to 31536000 seconds"},
        {{"--report-period", "1."},
         "ERROR: the argument ('1.') for option '--report-period' is invalid; range: 0.001 to 86400 seconds"},
        {{"--duration", "1", "--duration", "2"}, "ERROR: option '--duration' cannot be specified more than once"},
        // --metrics: no host name, no wildcard default, a port of 16 bits.
        {{"--metrics", "localhost:9464"},
         "ERROR: the argument ('localhost:9464') for option '--metrics' is invalid; expected HOST:PORT, HOST an "
         "IPv4 address or an IPv6 address in brackets, PORT 0 to 65535"},
        {{"--metrics", ":9464"},
         "ERROR: the argument (':9464') for option '--metrics' is invalid; expected HOST:PORT, HOST an IPv4 address "
         "or an IPv6 address in brackets, PORT 0 to 65535"},
        {{"--metrics", "127.0.0.1:65536"},
         "ERROR: the argument ('127.0.0.1:65536') for option '--metrics' is invalid; expected HOST:PORT, HOST an "
         "IPv4 address or an IPv6 address in brackets, PORT 0 to 65535"},
    };
    for (auto [args, message] : cases) {
        args.insert(args.begin(), {"-a", lumo::test::LOOPBACK});
        ProcessRunner monitor(LUMO_QUILLMON_PATH, args);
        EXPECT_EQ(monitor.Wait(EXIT_TIMEOUT), 1) << args[2];
        EXPECT_THAT(monitor.Messages(), ElementsAre("ERROR " + message)) << monitor.Output();
    }
}

// Every way out of a run with a report and a page: a report that goes to a
// pipe, a FIFO or the monitor's own standard output, a standard output whose
// reader left, and each stop signal. The run ends by itself, keeps its
// status, and the page holds the run's records (the topic's name is in
// them): a report that is not a regular file is never read back.
TEST(ReportFile, EveryExitPathEndsWithItsStatusTheFinalRecordsAndThePage)
{
    struct Case
    {
        const char* name;
        // The monitor's command line, quoted, becomes $MONITOR in this
        // bash script, whose last line tells the monitor's status; REPORT,
        // PAGE and FIFO are paths.
        std::string script;
        int signal; // sent once the monitor is ready (0: it ends by --duration 1)
        int status;
        bool reportFile; // REPORT is a regular file that must end with the final record
    };
    const std::string fifo = "/tmp/lumo-exit-fifo-" + std::to_string(getpid());
    // Backgrounded: "pid" tells whom to signal.
    const std::string signalled = " & echo \"pid $!\"; wait $!; echo \"status $?\"";
    const std::vector<Case> cases{
        {"report to a process substitution", "MONITOR --report >(cat >/dev/null); echo \"status $?\"", 0, 2, false},
        {"report to a FIFO that cat reads", "cat \"$FIFO\" >/dev/null & MONITOR --report \"$FIFO\"; echo \"status $?\"",
         0, 2, false},
        {"report to standard output, piped", "MONITOR --report /dev/stdout | cat; echo \"status ${PIPESTATUS[0]}\"", 0,
         2, false},
        {"standard output closed by head -1",
         "MONITOR --report \"$REPORT\" | head -1 >/dev/null; echo \"status ${PIPESTATUS[0]}\"", 0, 2, true},
        {"SIGHUP", "MONITOR --report \"$REPORT\"" + signalled, SIGHUP, 2, true},
        {"SIGTERM, report to a pipe", "MONITOR --report >(cat >/dev/null)" + signalled, SIGTERM, 2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ReportFile report;
        const ReportFile page;
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const auto topic = UniqueTopic("Exit");
        std::vector<std::string> args{LUMO_QUILLMON_PATH, "-t",  topic,       "--report-html", page.Path(),
                                      "--report-period",  "0.2", "--fail-on", "no-data"};
        if (c.signal == 0) {
            args.insert(args.end(), {"--duration", "1"});
        }
        std::string monitor;
        for (const auto& arg : Confined(args)) {
            monitor += "'" + arg + "' ";
        }
        std::string script = "REPORT='" + report.Path() + "'; FIFO='" + fifo + "'; " + c.script;
        script.replace(script.find("MONITOR"), 7, monitor);
        ProcessRunner shell("/bin/bash", {"-c", script});
        if (c.signal != 0) {
            const auto isPid = [](const std::string& line) { return line.rfind("pid ", 0) == 0; };
            ASSERT_TRUE(shell.WaitForLine(isPid, START_TIMEOUT)) << shell.Output();
            ASSERT_TRUE(shell.WaitForText(lumo::test::MONITOR_READY_LINE, START_TIMEOUT)) << shell.Output();
            const auto lines = shell.Lines();
            const auto pid = std::find_if(lines.begin(), lines.end(), isPid);
            ASSERT_EQ(kill(std::stoi(pid->substr(4)), c.signal), 0);
        }
        ASSERT_EQ(shell.Wait(EXIT_TIMEOUT), 0) << shell.Output();
        EXPECT_THAT(shell.Lines(), Contains("status " + std::to_string(c.status))) << shell.Output();
        if (c.reportFile) {
            EXPECT_EQ(Finals(report.Path()).final["verdict"].value("exit_status", -1), c.status);
        }
        std::ifstream pageFile(page.Path());
        const std::string pageText((std::istreambuf_iterator<char>(pageFile)), std::istreambuf_iterator<char>());
        EXPECT_THAT(pageText, ::testing::HasSubstr(topic)) << shell.Output();
        std::remove(fifo.c_str());
    }
}

// A file size limit (ulimit -f) is a full disk too: the report keeps its
// whole records, the page is not written and leaves no file.
TEST(ReportFile, AnUnwritableOrFullFileIsOneErrorAndMonitoringGoesOn)
{
    const lumo::test::ScratchDir scratch;
    const std::string limited = scratch.File("limited.jsonl");
    const std::string report = scratch.File("report.jsonl");
    const std::string page = scratch.File("page.html");
    struct Case
    {
        std::vector<std::string> files; // --report and the like
        std::string error;
        std::string fileSizeLimit = {}; // bytes; empty: none
    };
    const std::vector<Case> cases{
        {{"--report", "/nonexistent-dir/report.jsonl"},
         "ERROR: cannot open the report file '/nonexistent-dir/report.jsonl': No "
         "such file or directory; monitoring goes on without a report"},
        {{"--report", "/dev/full"},
         "ERROR: cannot write the report file '/dev/full': No space left on device; "
         "monitoring goes on, no more records are written"},
        {{"--report", limited},
         "ERROR: cannot write the report file '" + limited +
             "': File too large; monitoring goes on, no more records are written",
         "2048"},
        {{"--report", report, "--report-html", page},
         "ERROR: cannot write the page '" + page + "': File too large; no page was written",
         "131072"},
    };
    for (const auto& c : cases) {
        const auto topic = UniqueTopic("Unwritable");
        std::vector<std::string> args = Confined({"-d", "-t", topic, "--report-period", "0.2"});
        args.insert(args.end(), c.files.begin(), c.files.end());
        if (!c.fileSizeLimit.empty()) {
            args.insert(args.begin(), {"--fsize=" + c.fileSizeLimit, LUMO_QUILLMON_PATH});
        }
        auto monitor = std::make_unique<ProcessRunner>(c.fileSizeLimit.empty() ? LUMO_QUILLMON_PATH
                                                                               : "/usr/bin/prlimit",
                                                       args);
        ASSERT_TRUE(monitor->WaitForText(lumo::test::MONITOR_READY_LINE, START_TIMEOUT)) << monitor->Output();
        auto publisher = StartConfinedPublisher({"-t", topic, "-n", "200", "-r", "100", "--linger", "60"});
        ASSERT_TRUE(publisher->WaitForText(Summary(topic, 200), PUBLISH_TIMEOUT)) << publisher->Output();
        ASSERT_TRUE(monitor->WaitForText("[" + topic + "][0] SampleId: 0 Payload size: 64", PUBLISH_TIMEOUT));
        EXPECT_EQ(StopWith(*monitor), 0);
        EXPECT_EQ(StopWith(*publisher), 0);
        EXPECT_THAT(MessagesAt(*monitor, "ERROR"), ElementsAre(c.error)) << monitor->Output();
        // Monitoring went on: every sample arrived in order.
        const auto info = MessagesAt(*monitor, "INFO");
        EXPECT_THAT(info, Contains("[" + topic + "][0] SampleId: 0 Payload size: 64"));
        EXPECT_THAT(info, Contains(::testing::AllOf(::testing::StartsWith(" [" + topic + "][0] #samples: "),
                                                    ::testing::EndsWith(" #lost samples: 0"))));
        EXPECT_THAT(info, Not(Contains(::testing::HasSubstr("mismatch"))));
    }
    std::ifstream limitedFile(limited);
    const std::string kept((std::istreambuf_iterator<char>(limitedFile)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(kept.empty());
    EXPECT_LE(kept.size(), 2048U);
    EXPECT_EQ(kept.back(), '\n');
    // The report whole, beside no page and no temporary file.
    EXPECT_EQ(Finals(report).final["verdict"].value("exit_status", -1), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(scratch.Path()), {}), 2);
}

// A pipe or a FIFO as the report file: a reader that goes away, and a FIFO
// that nobody opens. Each is one ERROR line; the run ends on time, by
// --duration or SIGINT, and keeps its exit status.
TEST(ReportFile, APipeWhoseReaderLeavesOrAFifoNobodyOpensIsOneErrorAndTheStatusStays)
{
    struct Case
    {
        const char* name;
        bool reader;   // a reader that takes one line, then leaves
        bool duration; // ended by --duration (otherwise by SIGINT)
        int status;
        std::string error;
    };
    const std::string fifo = "/tmp/lumo-report-fifo-" + std::to_string(getpid());
    const std::vector<Case> cases{
        {"reader leaves", true, true, 2,
         "ERROR: cannot write the report file '" + fifo +
             "': Broken pipe; monitoring goes on, no more records are written"},
        {"nobody opens, --duration", false, true, 2,
         "ERROR: cannot open the report file '" + fifo +
             "': no reader opened it before the run ended; "
             "no record was written"},
        {"nobody opens, SIGINT", false, false, 0,
         "ERROR: cannot open the report file '" + fifo +
             "': no reader opened it before the run ended; "
             "no record was written"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::unique_ptr<ProcessRunner> reader;
        if (c.reader) {
            reader = std::make_unique<ProcessRunner>("/usr/bin/head", std::vector<std::string>{"-n", "1", fifo});
        }
        const auto topic = UniqueTopic("Fifo");
        std::vector<std::string> args{"-t", topic, "--report", fifo, "--report-period", "0.2"};
        if (c.duration) {
            args.insert(args.end(), {"--duration", "2", "--fail-on", "no-data"});
        }
        auto monitor = lumo::test::StartMonitor(Confined(args));
        if (!c.duration) {
            ASSERT_TRUE(monitor->WaitForText(lumo::test::MONITOR_READY_LINE, START_TIMEOUT)) << monitor->Output();
            monitor->Signal(SIGINT);
        }
        EXPECT_EQ(monitor->Wait(EXIT_TIMEOUT), c.status) << monitor->Output();
        auto errors = MessagesAt(*monitor, "ERROR");
        EXPECT_THAT(errors, Contains(c.error));
        EXPECT_EQ(errors.size(), c.duration ? 2u : 1u) << monitor->Output();
        if (reader) {
            EXPECT_EQ(reader->Wait(EXIT_TIMEOUT), 0);
            EXPECT_THAT(reader->Output(), ::testing::HasSubstr("\"record\":\"start\""));
        }
        std::remove(fifo.c_str());
    }
}
