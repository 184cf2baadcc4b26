// lumoQuillmon as its users meet it: a separate process, its output and its
// exit status. Every run is confined to loopback.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ProcessRunner.h"
#include "ScratchDir.h"
#include "TestNames.h"
#include "ToolRuns.h"

using namespace std::chrono_literals;
using namespace lumo::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

const std::string& READY_LINE = lumo::test::MONITOR_READY_LINE;

std::unique_ptr<ProcessRunner> Start(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    return lumo::test::StartMonitor(args, env);
}

std::vector<std::string> InfoMessages(const ProcessRunner& monitor)
{
    return lumo::test::MessagesAt(monitor, "INFO");
}

} // namespace

TEST(QuillmonUsage, HelpPrintsTheOptionTableOnlyAndExitsZero)
{
    for (const auto& args : {std::vector<std::string>{"-h"}, std::vector<std::string>{"--help", "-t", "X", "-d"}}) {
        // Confined all the same: a regression past the help must not open a
        // participant on every interface.
        ProcessRunner monitor(LUMO_QUILLMON_PATH, Confined(args));
        ASSERT_EQ(monitor.Wait(EXIT_TIMEOUT), 0);
        const auto lines = monitor.Lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "lumoQuillmon Usage:");
        // The twelve options, in order, then the report's four and --version, then --security, --list and --live.
        const std::vector<std::string> expected{"-h [ --help ]", "-s [ --sleep-period-in-msec ] arg (=0)",
                                                "-c [ --check-ramp ]", "--expected-payload-pattern arg",
                                                "-d [ --debug ]", "-t [ --topic ] arg (=TestTopic)",
                                                "--domain-id arg (=0)", "--qos-profile arg (=Lumo_Default_Profile)",
                                                "--qos-file arg (=telemDataPathDdsQos.xml)", "-m [ --multicast ] arg",
                                                "-a [ --allow-interfaces ] arg",
                                                "-i [ --expected-sample-id-increment ] arg (=1)",
                                                // Reading any type, after the twelve.
                                                "--any-type", "--all-topics [=arg(=*)]", "--seq-field arg",
                                                // The report's options.
                                                "--report arg", "--report-period arg (=1)", "--duration arg",
                                                "--fail-on arg", "--report-html arg",
                                                // Then the metrics endpoint's, --version, --security, --list.
                                                "--metrics arg", "--metrics-web-config arg", "--version",
                                                "--security arg", "--list", "--live"};
        std::vector<std::string> found;
        for (const auto& line : lines) {
            if (line.rfind("  -", 0) == 0) {
                auto text = line.substr(2);
                const auto gap = text.find("  ");
                found.push_back(gap == std::string::npos ? text : text.substr(0, gap));
            }
        }
        EXPECT_EQ(found, expected);
        EXPECT_THAT(monitor.Output(), HasSubstr("Expected payload pattern to validate. \n"));
        EXPECT_THAT(monitor.Output(), HasSubstr("Supported: alternating_float_ramp"));
        // The description, then one empty line; no log line, no DDS activity.
        EXPECT_EQ(lines.back(), "");
        EXPECT_THAT(monitor.Output(), Not(HasSubstr("INFO")));
        EXPECT_THAT(monitor.Output(), Not(HasSubstr(READY_LINE)));
    }
}

TEST(QuillmonUsage, BothToolsPrintTheirVersionAndTheFastDdsOneAndExitZero)
{
    for (const auto& [path, tool] :
         {std::pair{LUMO_QUILLMON_PATH, "lumoQuillmon"}, {LUMO_QUILLPUB_PATH, "lumoQuillpub"}}) {
        ProcessRunner run(path, Confined({"--version", "-t", "X", "-d"}));
        ASSERT_EQ(run.Wait(EXIT_TIMEOUT), 0) << tool;
        const auto lines = run.Lines();
        ASSERT_EQ(lines.size(), 2u) << run.Output();
        EXPECT_THAT(lines[0], ::testing::MatchesRegex(std::string(tool) + " [0-9]+\\.[0-9]+\\.[0-9]+[-+.a-z0-9]*"));
        EXPECT_EQ(lines[1], "Fast DDS " LUMO_FASTDDS_VERSION);
    }
}

TEST(QuillmonUsage, EveryKindOfParseErrorIsLoggedAndExitsOne)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--bogus"}, "ERROR: unrecognised option '--bogus'"},
        {{"-h", "--bogus"}, "ERROR: unrecognised option '--bogus'"},
        {{"--domain-id"}, "ERROR: the required argument for option '--domain-id' is missing"},
        {{"--domain-id", "abc"}, "ERROR: the argument ('abc') for option '--domain-id' is invalid"},
        {{"--domain-id", "4294967296"}, "ERROR: the argument ('4294967296') for option '--domain-id' is invalid"},
        // Its ports would pass 65535 and wrap.
        {{"--domain-id", "233"},
         "ERROR: the argument ('233') for option '--domain-id' is invalid; the largest domain id is 232"},
        {{"--domain-id", "4294967295"},
         "ERROR: the argument ('4294967295') for option '--domain-id' is invalid; the largest domain id is 232"},
        {{"--sleep-period-in-msec=-1"}, "ERROR: the argument ('-1') for option '--sleep-period-in-msec' is invalid"},
        {{"-i", "1x"}, "ERROR: the argument ('1x') for option '--expected-sample-id-increment' is invalid"},
        {{"-s", "1", "-s", "2"}, "ERROR: option '--sleep-period-in-msec' cannot be specified more than once"},
        {{"-c", "-c"}, "ERROR: option '--check-ramp' cannot be specified more than once"},
        {{"-d", "-d"}, "ERROR: option '--debug' cannot be specified more than once"},
        {{"--qos-file", "a", "--qos-file", "b"}, "ERROR: option '--qos-file' cannot be specified more than once"},
        // Standard output is a pipe here: the view's screen would go into it.
        {{"-d", "--live"}, "ERROR: --live needs a terminal on standard output; without one, use --report or --metrics"},
        {{"--live", "--list"}, "ERROR: --live shows a run: --list makes none"},
    };
    for (auto [args, message] : cases) {
        // Confined all the same, so that a regression that lets one through
        // still stays on loopback; in front, where it changes no error.
        args.insert(args.begin(), {"-a", lumo::test::LOOPBACK});
        ProcessRunner monitor(LUMO_QUILLMON_PATH, args);
        EXPECT_EQ(monitor.Wait(EXIT_TIMEOUT), 1) << args.front();
        EXPECT_THAT(monitor.Messages(), ElementsAre("ERROR " + message)) << monitor.Output();
    }
}

TEST(QuillmonDriver, FifteenTopicsRunSixteenAreRefusedBeforeAnySetting)
{
    std::vector<std::string> topics;
    for (int i = 0; i < 16; ++i) {
        topics.push_back(lumo::test::UniqueTopic("Many"));
    }
    std::vector<std::string> sixteen{"-d", "-t"};
    sixteen.insert(sixteen.end(), topics.begin(), topics.end());
    auto refused = Start(Confined(sixteen));
    ASSERT_EQ(refused->Wait(EXIT_TIMEOUT), 254);
    EXPECT_THAT(refused->Messages(), ElementsAre("ERROR ERROR: number of topics (readers) must be less than 16"));

    std::vector<std::string> fifteen(sixteen.begin(), sixteen.end() - 1);
    auto accepted = Start(Confined(fifteen));
    ASSERT_EQ(RunUntilReadyThenSignal(*accepted), 0);
    const auto info = InfoMessages(*accepted);
    EXPECT_THAT(info, Contains(HasSubstr("Going to create 15 topic(s) and reader(s): ")));
    EXPECT_THAT(info, Contains(" [" + topics[14] + "][14] #samples: 0 #lost samples: 0"));
}

TEST(QuillmonDriver, TopicListsAccumulateInCommandLineOrderAndDuplicatesStay)
{
    const auto t1 = lumo::test::UniqueTopic("T1");
    const auto t2 = lumo::test::UniqueTopic("T2");
    const std::vector<std::vector<std::string>> commandLines{{"-d", "-t", t1, t2},
                                                             {"-d", "-t", t1, "-t", t2},
                                                             {"-t", t1, "-d", "-t", t2}};
    for (const auto& args : commandLines) {
        auto monitor = Start(Confined(args));
        ASSERT_EQ(RunUntilReadyThenSignal(*monitor), 0);
        const auto info = InfoMessages(*monitor);
        EXPECT_THAT(info, Contains("Going to create 2 topic(s) and reader(s): " + t1 + " " + t2 + " "));
        const std::vector<std::string> tail(info.end() - 4, info.end());
        EXPECT_THAT(tail, ElementsAre("Exiting ....", "Statistics: ", " [" + t1 + "][0] #samples: 0 #lost samples: 0",
                                      " [" + t2 + "][1] #samples: 0 #lost samples: 0"));
    }

    auto duplicates = Start(Confined({"-d", "-t", t1, t1}));
    ASSERT_EQ(RunUntilReadyThenSignal(*duplicates), 0);
    const auto info = InfoMessages(*duplicates);
    EXPECT_THAT(info, Contains(" [" + t1 + "][0] #samples: 0 #lost samples: 0"));
    EXPECT_THAT(info, Contains(" [" + t1 + "][1] #samples: 0 #lost samples: 0"));
}

TEST(QuillmonDriver, SettingsAreLoggedAsStoredUnderDebug)
{
    const auto topic = lumo::test::UniqueTopic("Settings");
    auto monitor = Start(Confined({"-d", "-s", "3000000000", "-c", "--expected-payload-pattern", "Some Pattern", "-i",
                                   "4294967295", "-m", "239.255.10.1", "-t", topic}));
    ASSERT_EQ(RunUntilReadyThenSignal(*monitor), 0);
    const auto info = InfoMessages(*monitor);
    ASSERT_GE(info.size(), 6u);
    EXPECT_THAT(std::vector<std::string>(info.begin(), info.begin() + 6),
                ElementsAre("sleep-period-in-msec: -1294967296", "check ramp is: true",
                            "expected payload pattern: Some Pattern", "expected-sample-id-increment: -1",
                            "Multicast address: 239.255.10.1",
                            "Going to create 1 topic(s) and reader(s): " + topic + " "));
}

TEST(QuillmonDriver, DefaultsAndNoTopicGiveAnEmptyRun)
{
    auto monitor = Start(Confined({"-d"}));
    ASSERT_EQ(RunUntilReadyThenSignal(*monitor, SIGTERM), 0);
    EXPECT_THAT(InfoMessages(*monitor),
                ElementsAre("sleep-period-in-msec: 0", "check ramp is: false",
                            "expected payload pattern: ", "expected-sample-id-increment: 1",
                            "Going to create 0 topic(s) and reader(s): ", "Exiting ....", "Statistics: "));
}

TEST(QuillmonDriver, WithoutDebugOnlyErrorsAreLogged)
{
    auto monitor = Start(Confined({"-t", lumo::test::UniqueTopic("Quiet")}));
    ASSERT_EQ(RunUntilReadyThenSignal(*monitor), 0);
    EXPECT_THAT(monitor->Lines(), ElementsAre(READY_LINE));
}

TEST(QuillmonDriver, LogConfigurationFileReplacesTheConsoleSetUp)
{
    const std::string path = ::testing::TempDir() + "quillmon-log-" + std::to_string(getpid()) + ".properties";
    {
        std::ofstream properties(path);
        properties << "log4cplus.rootLogger=INFO, out\n"
                      "log4cplus.appender.out=log4cplus::ConsoleAppender\n"
                      "log4cplus.appender.out.ImmediateFlush=true\n"
                      "log4cplus.appender.out.layout=log4cplus::PatternLayout\n"
                      "log4cplus.appender.out.layout.ConversionPattern=custom|%p|%m%n\n";
    }
    auto monitor = Start(Confined({}), {"LUMO_LOG_CONFIG=" + path});
    ASSERT_EQ(RunUntilReadyThenSignal(*monitor), 0);
    EXPECT_THAT(monitor->Lines(), Contains("custom|INFO|expected-sample-id-increment: 1"));
    std::remove(path.c_str());

    auto fallback = Start(Confined({}), {"LUMO_LOG_CONFIG=/nonexistent/log.properties"});
    ASSERT_EQ(RunUntilReadyThenSignal(*fallback), 0);
    EXPECT_THAT(fallback->Lines(),
                Contains("lumoQuillmon: cannot read the log configuration '/nonexistent/log.properties' named by "
                         "LUMO_LOG_CONFIG; logging to the console instead"));
}

TEST(QuillmonDriver, QosFileAndProfileErrorsAreClearAndExitOne)
{
    const std::string badXml = ::testing::TempDir() + "quillmon-bad-" + std::to_string(getpid()) + ".xml";
    std::ofstream(badXml) << "<dds><profiles><participant";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--qos-file", "/nonexistent/qos.xml"},
         "ERROR ERROR: QoS file '/nonexistent/qos.xml' not found (profile 'Lumo_Default_Profile')"},
        {{"--qos-file", badXml, "--qos-profile", "P1"},
         "ERROR ERROR: QoS file '" + badXml + "' could not be loaded (malformed XML?) (profile 'P1')"},
        {{"--qos-profile", "No_Such_Profile"},
         "ERROR: QoS profile 'No_Such_Profile' has no <participant> in QoS file '"},
    };
    for (const auto& [args, message] : cases) {
        auto monitor = Start(Confined(args));
        EXPECT_EQ(monitor->Wait(EXIT_TIMEOUT), 1);
        EXPECT_TRUE(monitor->WaitForText(message, 1s)) << monitor->Output();
        EXPECT_THAT(monitor->Output(), Not(HasSubstr(READY_LINE)));
    }
    std::remove(badXml.c_str());
}

TEST(QuillmonDriver, BadInterfaceOrMulticastAddressIsAnError)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"-a", "nosuchif0"}, "ERROR ERROR: unknown network interface 'nosuchif0'"},
        {{"-a", "192.0.2.123"}, "ERROR ERROR: interface address '192.0.2.123' is not an address of this host"},
        {{"-a", "lo", "-t", "X", "-m", "10.0.0.1"},
         "ERROR ERROR: invalid multicast address '10.0.0.1' for topic 'X' (expected an IPv4 group, 224.0.0.0 to "
         "239.255.255.255)"},
        {{"-a", "lo", "-t", "X", "-m", "not-an-address"},
         "ERROR ERROR: invalid multicast address 'not-an-address' for topic 'X' (expected an IPv4 group, 224.0.0.0 "
         "to 239.255.255.255)"},
    };
    for (auto [args, message] : cases) {
        // The allow-list is what is under test, so the loopback profile keeps
        // a regression that ignores it on this host.
        args.insert(args.end(), {"--domain-id", std::to_string(lumo::test::TestDomain()), "--qos-profile",
                                 "Lumo_Loopback_Profile"});
        ProcessRunner monitor(LUMO_QUILLMON_PATH, args);
        EXPECT_EQ(monitor.Wait(EXIT_TIMEOUT), 1);
        EXPECT_THAT(monitor.Messages(), Contains(message)) << monitor.Output();
    }
}

// --list whose report cannot be written: one ERROR line, the listing all
// the same (an empty domain), exit 0; a FIFO that nobody reads holds nothing
// up, nor one whose reader never reads, SIGTERM or not.
TEST(QuillmonDriver, AListReportThatCannotBeWrittenIsOneErrorLineAndTheListingStillExitsZero)
{
    const ScratchDir scratch;
    const std::string fifo = scratch.File("nobody.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string missing = scratch.File("no/such/dir.jsonl");
    // Open for reading here, never read, and already full.
    const std::string full = scratch.File("full.fifo");
    ASSERT_EQ(mkfifo(full.c_str(), 0600), 0);
    const int reader = open(full.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int filler = open(full.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_GE(filler, 0);
    const std::string block(4096, 'x');
    while (write(filler, block.data(), block.size()) > 0) {
    }
    const struct
    {
        std::string path;
        std::string error;
        bool terminated; // SIGTERM once the listing is printed
    } cases[] = {
        {fifo, "cannot open the report file '" + fifo + "': a FIFO that nobody reads", false},
        {missing, "cannot open the report file '" + missing + "': No such file or directory", false},
        {full, "cannot write the report file '" + full + "': its reader took nothing for 2 s", true},
    };
    const std::string listing = "Domain " + std::to_string(TestDomain()) + ": 0 participant(s), 0 topic(s)";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto monitor = Start(Confined({"--list", "--duration", "0.001", "--report", c.path}));
        if (c.terminated) {
            ASSERT_TRUE(monitor->WaitForText(listing, START_TIMEOUT)) << monitor->Output();
            monitor->Signal(SIGTERM);
        }
        ASSERT_EQ(monitor->Wait(EXIT_TIMEOUT), 0) << monitor->Output();
        EXPECT_THAT(MessagesAt(*monitor, "ERROR"),
                    ElementsAre("ERROR: " + c.error + "; the listing is printed without it"));
        EXPECT_THAT(monitor->Lines(), Contains(listing));
    }
    close(filler);
    close(reader);
}

TEST(QuillmonSignals, SignalDuringSetUpLetsSetUpFinishThenReports)
{
    const auto topic = lumo::test::UniqueTopic("Early");
    auto monitor = Start(Confined({"-d", "-t", topic}));
    // The first settings line comes after the handlers are installed and
    // before any DDS entity exists.
    ASSERT_TRUE(monitor->WaitForText("sleep-period-in-msec: 0", START_TIMEOUT));
    ASSERT_EQ(lumo::test::StopWith(*monitor, SIGINT), 0) << monitor->Output();
    const auto info = InfoMessages(*monitor);
    EXPECT_THAT(monitor->Lines(), Contains(READY_LINE));
    EXPECT_THAT(info, Contains(" [" + topic + "][0] #samples: 0 #lost samples: 0"));
}

TEST(QuillmonSignals, SignalStormDuringShutdownIsHarmless)
{
    const auto topic = lumo::test::UniqueTopic("Storm");
    for (int first : {SIGINT, SIGTERM}) {
        auto monitor = Start(Confined({"-d", "-t", topic}));
        ASSERT_TRUE(monitor->WaitForText(READY_LINE, START_TIMEOUT));
        monitor->Signal(first);
        ASSERT_TRUE(monitor->WaitForText("Exiting ....", EXIT_TIMEOUT));
        for (int i = 0; i < 20; ++i) {
            monitor->Signal(i % 2 == 0 ? SIGINT : SIGTERM);
        }
        ASSERT_EQ(monitor->Wait(EXIT_TIMEOUT), 0) << monitor->Output();
        EXPECT_THAT(InfoMessages(*monitor), Contains(" [" + topic + "][0] #samples: 0 #lost samples: 0"));
    }
}

// Fast DDS 2.9 was seen to deadlock inside delete_datareader at shutdown. A
// preloaded library makes that call hang for good: once its exit report is
// out, the monitor must end by itself after its bound, with the run's status
// and one ERROR line. Without it, teardown is as before: no ERROR, status 0.
TEST(QuillmonTeardown, AHangingReaderDeleteEndsTheRunAfterItsBoundWithTheRunsStatus)
{
    using Clock = std::chrono::steady_clock;
    const auto topic = lumo::test::UniqueTopic("Teardown");
    const char* asanOptions = std::getenv("ASAN_OPTIONS");
    // The preloaded library comes before the sanitizer's runtime.
    const std::string asan = "ASAN_OPTIONS=" + std::string(asanOptions != nullptr ? asanOptions : "") +
                             ":verify_asan_link_order=0";
    for (const bool hang : {true, false}) {
        SCOPED_TRACE(hang ? "hanging delete" : "normal teardown");
        auto monitor = hang
                           ? Start(Confined({"-d", "-t", topic}), {"LD_PRELOAD=" LUMO_HANGING_READER_DELETE_PATH, asan})
                           : Start(Confined({"-d", "-t", topic}));
        ASSERT_TRUE(monitor->WaitForText(READY_LINE, START_TIMEOUT)) << monitor->Output();
        monitor->Signal(SIGINT);
        ASSERT_TRUE(monitor->WaitForText("Exiting ....", EXIT_TIMEOUT)) << monitor->Output();
        const auto reported = Clock::now();
        ASSERT_EQ(monitor->Wait(EXIT_TIMEOUT), 0) << monitor->Output();
        const auto ended = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - reported);
        std::cout << (hang ? "hanging delete" : "normal teardown") << ": ended " << ended.count()
                  << " ms after the exit report\n";

        const auto info = InfoMessages(*monitor);
        ASSERT_GE(info.size(), 3u);
        EXPECT_THAT(std::vector<std::string>(info.end() - 3, info.end()),
                    ElementsAre("Exiting ....", "Statistics: ", " [" + topic + "][0] #samples: 0 #lost samples: 0"));
        if (hang) {
            EXPECT_THAT(lumo::test::MessagesAt(*monitor, "ERROR"),
                        ElementsAre("ERROR: teardown did not finish within 5 s; ending the process"));
            EXPECT_EQ(monitor->Messages().back(),
                      "ERROR ERROR: teardown did not finish within 5 s; ending the process");
        } else {
            EXPECT_THAT(lumo::test::MessagesAt(*monitor, "ERROR"), IsEmpty());
        }
    }
}
