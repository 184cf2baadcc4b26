// lumoQuillmon reading writers of another DDS implementation: lumoCyclonePub
// (Cyclone DDS) into the monitor, both confined to loopback, checked by the
// monitor's log lines, exit status and report.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CountedMonitor.h"
#include "DdsperfRun.h"
#include "ExpectedLines.h"
#include "NetworkNamespaces.h"
#include "ProcessRunner.h"
#include "ReportSchema.h"
#include "ScratchDir.h"
#include "TestEnclaves.h"
#include "TestNames.h"
#include "ToolRuns.h"
#include "lumo/componentFramework/FastDdsCompat.h"

using namespace std::chrono_literals;
using namespace lumo::test;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

// The writer's acknowledgements (or, best effort, its last write) come after
// the reader has every sample; this leaves the listener time to finish.

// lumoCyclonePub on this test's domain, on loopback only (no multicast,
// unicast discovery on 127.0.0.1), lingering so that the monitor is stopped
// before the writer leaves and its unmatch resets the counts. With an
// enclave, Cyclone DDS's own security plugins use it; `configuration`, an
// XML fragment, adds to Cyclone DDS's configuration.
std::unique_ptr<ProcessRunner> CyclonePublisher(std::vector<std::string> args, const std::string& enclave = {},
                                                const std::string& configuration = {})
{
    args.insert(args.end(), {"-d", std::to_string(lumo::test::TestDomain()), "-L", "60"});
    std::string uri = "CYCLONEDDS_URI=file://" LUMO_CYCLONE_CONFIG;
    std::vector<std::string> env;
    if (!enclave.empty()) {
        uri += ",file://" LUMO_CYCLONE_SECURITY_CONFIG;
        env = {"LUMO_CYCLONE_PLUGINS=" LUMO_CYCLONE_PLUGINS, "LUMO_ENCLAVE=" + enclave};
    }
    if (!configuration.empty()) {
        uri += "," + configuration;
    }
    env.push_back(uri);
    return std::make_unique<ProcessRunner>(LUMO_CYCLONEPUB_PATH, args, env);
}

// Waits for the publisher to have written (and, reliable, had acknowledged)
// everything, then stops the monitor and expects a clean exit.
void FinishRun(const CountedMonitor& monitor, ProcessRunner& publisher, const std::string& topic, uint64_t written)
{
    ASSERT_TRUE(publisher.WaitForText("written: " + std::to_string(written), 60s)) << publisher.Output();
    ASSERT_TRUE(monitor.WaitForTaken({{topic, written}}, 60s)) << monitor->Output();
    EXPECT_EQ(StopWith(*monitor, SIGINT), 0) << monitor->Output();
}

// The explanation line of a writer of participant `name` on `prefix`'s
// reader: everything literal but the GUIDs, which change with every run.
std::regex Explanation(const std::string& prefix, const std::string& name, const std::string& differences)
{
    return std::regex(RegexEscaped(prefix + " writer ") + R"([0-9a-f.]{35}\|[0-9a-f.]+)" +
                      RegexEscaped(" of participant \"" + name + "\" (GUID prefix ") + R"([0-9a-f.]{35})" +
                      RegexEscaped(", host 127.0.0.1) does not match: " + differences));
}

} // namespace

TEST(ForeignWriter, DefaultQosReliableWriterIsReadByTheDefaultProfileWithExactCountsAndGaps)
{
    const auto topic = UniqueTopic("Foreign");
    const CountedMonitor monitor({"-d", "-t", topic});
    // Ids 0 to 299 without every tenth one (9, 19, ... 299): 270 samples.
    auto publisher = CyclonePublisher({"-t", topic, "-n", "300", "-r", "300", "-e", "10", "-N", "interop"});
    FinishRun(monitor, *publisher, topic, 270);

    const auto info = MessagesAt(*monitor, "INFO");
    EXPECT_THAT(info, Contains(Prefix(topic, 0) + " SampleId: 0 Payload size: 64"));
    std::vector<std::string> expected;
    for (uint32_t skipped = 9; skipped < 299; skipped += 10) {
        expected.push_back(Prefix(topic, 0) + " sample id mismatch last: " + std::to_string(skipped - 1) +
                           " current: " + std::to_string(skipped + 1));
    }
    std::vector<std::string> mismatches;
    std::copy_if(info.begin(), info.end(), std::back_inserter(mismatches),
                 [](const std::string& line) { return line.find(" sample id mismatch ") != line.npos; });
    EXPECT_THAT(mismatches, ElementsAreArray(expected));
    // The match leaves the count at -1 before the first sample.
    EXPECT_THAT(info, Contains(" " + Prefix(topic, 0) + " #samples: 269 #lost samples: 29"));
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"), IsEmpty());
}

// As fast as Cyclone DDS writes, reliable and keeping all: the reader's
// acknowledgements at once and its large socket buffer lose nothing.
TEST(ForeignWriter, ReliableWriterAtFullSpeedLosesNothing)
{
    const auto topic = UniqueTopic("ForeignFast");
    const CountedMonitor monitor({"-d", "-t", topic});
    auto publisher = CyclonePublisher({"-t", topic, "-n", "20000", "-r", "0", "-a"});
    FinishRun(monitor, *publisher, topic, 20000);
    EXPECT_THAT(MessagesAt(*monitor, "INFO"), Contains(" " + Prefix(topic, 0) + " #samples: 19999 #lost samples: 0"));
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"), IsEmpty());
}

// A Cyclone DDS publisher killed and started again at once: its successor
// writes before the killed one's lease ends (five minutes here, longer than
// the test). Cyclone DDS's GUIDs say nothing of the host; the address both
// participants announced does.
TEST(ForeignWriter, AKilledAndRestartedWriterIsARestartBeforeItsLeaseEnds)
{
    const auto topic = UniqueTopic("ForeignRestart");
    const ScratchDir dir;
    const auto report = dir.File("report.jsonl");
    // The ramp check logs every sample.
    auto monitor = StartReadyMonitor(
        {"-d", "-c", "-t", topic, "--report", report, "--report-period", "0.1", "--fail-on", "restart"});
    auto victim = CyclonePublisher({"-t", topic, "-n", "0", "-r", "100", "-k", "ramp", "-s", "12"}, {},
                                   "<Discovery><LeaseDuration>300s</LeaseDuration></Discovery>");
    const auto checked = [prefix = Prefix(topic, 0)](const std::string& line, uint32_t id) {
        return line.find(prefix + " SampleId: " + std::to_string(id) + ". CheckRamp length: 12 ") != line.npos;
    };
    ASSERT_TRUE(monitor->WaitForLine([&](const std::string& line) { return checked(line, 20); }, 30s))
        << monitor->Output();
    victim->Signal(SIGKILL);
    ASSERT_EQ(victim->Wait(EXIT_TIMEOUT), -SIGKILL);

    auto successor = CyclonePublisher({"-t", topic, "-n", "100", "-r", "200", "-k", "ramp", "-s", "12"});
    // Every sample of the successor, the report's second writer, taken: its
    // check's line comes before the sample is counted.
    ASSERT_TRUE(WaitForWriterSamples(report, 1, 100, 60s)) << monitor->Output();
    EXPECT_EQ(StopWith(*monitor, SIGINT), 2) << monitor->Output();
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"),
                ElementsAre("ERROR: --fail-on conditions happened: restart; exit status 2"));

    const auto records = ReadReport(report);
    const auto writers = RecordsOf(records, "writer", true);
    ASSERT_EQ(writers.size(), 2u) << "one stream per writer";
    const auto& killed = writers[0];
    const auto& restarted = writers[1];
    EXPECT_EQ(killed["presence"], "alive") << "not reported gone";
    EXPECT_EQ(restarted["restart_of"], killed["writer"]);
    EXPECT_EQ(restarted["first_id"], 0);
    EXPECT_EQ(restarted["samples"], 100);
    EXPECT_EQ(restarted["missing_ids"], 0);
    const auto readers = RecordsOf(records, "reader", true);
    ASSERT_EQ(readers.size(), 1u);
    EXPECT_EQ(readers[0]["restarts"], 1);
    const auto finals = RecordsOf(records, "final");
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0]["verdict"]["failed"], nlohmann::json::array({"restart"}));
}

TEST(ForeignWriter, BestEffortWriterIsReadByTheBestEffortProfile)
{
    const auto topic = UniqueTopic("ForeignBE");
    const CountedMonitor monitor({"-d", "-t", topic, "--qos-profile", "Lumo_BestEffort_Profile"});
    auto publisher = CyclonePublisher({"-t", topic, "-n", "200", "-r", "200", "-b"});
    FinishRun(monitor, *publisher, topic, 200);
    const auto info = MessagesAt(*monitor, "INFO");
    EXPECT_THAT(info, Contains(" " + Prefix(topic, 0) + " #samples: 199 #lost samples: 0"));
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"), IsEmpty());
}

TEST(ForeignWriter, EachMismatchIsExplainedOnceWithTheProfileThatWouldReadTheWriter)
{
    struct Case
    {
        std::string profile;
        std::vector<std::string> publisherArgs;
        bool incompatibleQos; // the reader's listener reports it first
        std::string differences;
    };
    std::vector<Case> cases{
        {"Lumo_Liveliness_Profile",
         {},
         true,
         "liveliness offered AUTOMATIC with lease infinite, requested AUTOMATIC with lease 3 s or less. "
         "Lumo_Default_Profile would read it."},
        {"Lumo_Default_Profile",
         {"-b"},
         true,
         "reliability offered BEST_EFFORT, requested RELIABLE. Lumo_BestEffort_Profile would read it."},
        {"Lumo_Default_Profile",
         {"-y", "other::AgnosticTopic"},
         false,
         "type name offered \"other::AgnosticTopic\", requested \"lumo::componentFramework::AgnosticTopic\". "
         "No shipped profile reads it."},
        {"Lumo_Default_Profile",
         {"-p", "sensors"},
         false,
         "partition offered \"sensors\", requested the default partition. No shipped profile reads it."},
    };
    if constexpr (!lumo::componentFramework::compat::READER_REPRESENTATION_ANNOUNCED) {
        // This Fast DDS cannot tell the writer that its reader takes XCDR2: the
        // writer refuses the reader, which sees no event of its own.
        cases.push_back({"Lumo_Default_Profile",
                         {"-x", "2"},
                         false,
                         "data representation offered XCDR2, requested XCDR1. No shipped profile reads it."});
    }
    // All at once, each on a topic of its own.
    std::vector<std::string> topics;
    std::vector<std::unique_ptr<ProcessRunner>> monitors;
    std::vector<std::unique_ptr<ProcessRunner>> publishers;
    for (size_t i = 0; i < cases.size(); ++i) {
        topics.push_back(UniqueTopic("Mismatch"));
        monitors.push_back(StartReadyMonitor({"-t", topics[i], "--qos-profile", cases[i].profile}));
        auto args = cases[i].publisherArgs;
        args.insert(args.end(), {"-t", topics[i], "-n", "20", "-r", "50", "-N", "writer" + std::to_string(i)});
        publishers.push_back(CyclonePublisher(args));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].differences);
        const auto prefix = Prefix(topics[i], 0);
        const auto explanation = Explanation(prefix, "writer" + std::to_string(i), cases[i].differences);
        ASSERT_TRUE(
            monitors[i]->WaitForLine([&](const std::string& line) { return std::regex_search(line, explanation); },
                                     20s))
            << monitors[i]->Output();
        // However often discovery reports the writer meanwhile: one explanation.
        ASSERT_TRUE(publishers[i]->WaitForText("written: 20", 30s)) << publishers[i]->Output();
        ASSERT_EQ(StopWith(*monitors[i], SIGINT), 0) << monitors[i]->Output();

        const auto errors = MessagesAt(*monitors[i], "ERROR");
        if (cases[i].incompatibleQos) {
            ASSERT_EQ(errors.size(), 2u) << monitors[i]->Output();
            EXPECT_EQ(errors[0], prefix);
            EXPECT_TRUE(std::regex_match(errors[1], explanation)) << errors[1];
        } else {
            ASSERT_EQ(errors.size(), 1u) << monitors[i]->Output();
            EXPECT_TRUE(std::regex_match(errors[0], explanation)) << errors[0];
        }
    }
}

TEST(ForeignWriter, PayloadChecksHoldOnSamplesOfAnotherImplementation)
{
    // Ramps of 0, 1, 3 and 1025 elements: the length line shows what there is.
    const std::vector<std::pair<std::string, std::string>> ramps{{"0", "[- - - -]"},
                                                                 {"4", "[0 - - 0]"},
                                                                 {"12", "[0 0.001 0.002 0.002]"},
                                                                 {"4100", "[0 0.001 0.002 1.024]"}};
    std::vector<std::string> rampTopics;
    for (size_t i = 0; i < ramps.size(); ++i) {
        rampTopics.push_back(UniqueTopic("ForeignRamp"));
    }
    std::vector<std::string> rampArgs{"-d", "-c", "-t"};
    rampArgs.insert(rampArgs.end(), rampTopics.begin(), rampTopics.end());
    const CountedMonitor rampMonitor(rampArgs);

    // The pattern follows each topic's position in the monitor's list.
    const std::vector<std::string> sizes{"8", "4096", "0"};
    std::vector<std::string> patternTopics;
    for (size_t i = 0; i < sizes.size(); ++i) {
        patternTopics.push_back(UniqueTopic("ForeignPattern"));
    }
    std::vector<std::string> patternArgs{"-d", "--expected-payload-pattern", "alternating_float_ramp", "-t"};
    patternArgs.insert(patternArgs.end(), patternTopics.begin(), patternTopics.end());
    const CountedMonitor patternMonitor(patternArgs);

    std::vector<std::unique_ptr<ProcessRunner>> publishers;
    for (size_t i = 0; i < ramps.size(); ++i) {
        publishers.push_back(
            CyclonePublisher({"-t", rampTopics[i], "-n", "50", "-r", "200", "-k", "ramp", "-s", ramps[i].first}));
    }
    for (size_t i = 0; i < sizes.size(); ++i) {
        publishers.push_back(CyclonePublisher({"-t", patternTopics[i], "-n", "50", "-r", "200", "-k",
                                               "alternating_float_ramp", "-o", std::to_string(i), "-s", sizes[i]}));
    }
    for (auto& publisher : publishers) {
        ASSERT_TRUE(publisher->WaitForText("written: 50", 60s)) << publisher->Output();
    }
    std::vector<Taken> rampsTaken;
    std::vector<Taken> patternsTaken;
    for (const auto& topic : rampTopics) {
        rampsTaken.push_back({topic, 50});
    }
    for (const auto& topic : patternTopics) {
        patternsTaken.push_back({topic, 50});
    }
    ASSERT_TRUE(rampMonitor.WaitForTaken(rampsTaken, 60s)) << rampMonitor->Output();
    ASSERT_TRUE(patternMonitor.WaitForTaken(patternsTaken, 60s)) << patternMonitor->Output();
    for (auto* monitor : {&*rampMonitor, &*patternMonitor}) {
        EXPECT_EQ(StopWith(*monitor, SIGINT), 0) << monitor->Output();
        EXPECT_THAT(MessagesAt(*monitor, "ERROR"), IsEmpty()) << monitor->Output();
    }

    const auto rampInfo = MessagesAt(*rampMonitor, "INFO");
    for (size_t i = 0; i < ramps.size(); ++i) {
        const auto prefix = Prefix(rampTopics[i], static_cast<uint32_t>(i));
        for (const uint32_t id : {0u, 49u}) {
            EXPECT_THAT(rampInfo, Contains(prefix + " SampleId: " + std::to_string(id) +
                                           ". CheckRamp length: " + ramps[i].first + " " + ramps[i].second));
        }
        EXPECT_THAT(rampInfo, Contains(" " + prefix + " #samples: 49 #lost samples: 0"));
    }
    const auto patternInfo = MessagesAt(*patternMonitor, "INFO");
    for (size_t i = 0; i < sizes.size(); ++i) {
        const auto prefix = Prefix(patternTopics[i], static_cast<uint32_t>(i));
        const auto verified = std::count_if(patternInfo.begin(), patternInfo.end(), [&](const std::string& line) {
            return line.starts_with(prefix + " SampleId: ") &&
                   line.ends_with(". Payload pattern verified: alternating_float_ramp length: " + sizes[i]);
        });
        EXPECT_EQ(verified, 50) << sizes[i] << " bytes";
        EXPECT_THAT(patternInfo, Contains(" " + prefix + " #samples: 49 #lost samples: 0"));
    }
}

TEST(ForeignWriter, Xcdr2WriterIsReadWhereTheReaderCanSaySo)
{
    if constexpr (!lumo::componentFramework::compat::READER_REPRESENTATION_ANNOUNCED) {
        GTEST_SKIP() << "this Fast DDS cannot announce that its reader takes XCDR2 (the refusal is explained above)";
    }
    const auto topic = UniqueTopic("ForeignXcdr2");
    const CountedMonitor monitor({"-d", "-c", "-t", topic});
    auto publisher = CyclonePublisher(
        {"-t", topic, "-n", "100", "-r", "200", "-a", "-x", "2", "-k", "ramp", "-s", "12"});
    FinishRun(monitor, *publisher, topic, 100);
    const auto info = MessagesAt(*monitor, "INFO");
    EXPECT_THAT(info, Contains(Prefix(topic, 0) + " SampleId: 99. CheckRamp length: 12 [0 0.001 0.002 0.002]"));
    EXPECT_THAT(info, Contains(" " + Prefix(topic, 0) + " #samples: 99 #lost samples: 0"));
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"), IsEmpty());
}

// A Cyclone DDS writer secured by Cyclone DDS's own plugins, into a secured
// monitor. Of two participants, the one with the lower GUID prefix begins the
// handshake, and DDS Security makes a prefix's first six bytes from a hash of
// the certificate's subject: "CN=monitor" gives e0.c5.68.51.cc.20, and each
// row's subject puts the writer on one side of it. Cyclone DDS 0.10 and Fast
// DDS complete the handshake only when Cyclone DDS begins it.
TEST(ForeignWriter, SecuredWriterIsReadWhenItBeginsTheHandshakeAndTheRefusalExplainedWhenTheMonitorDoes)
{
    const TestEnclaves enclaves;
    struct Case
    {
        std::string identity;
        int64_t samples;     // in the monitor's exit report
        std::string refusal; // the monitor's one ERROR line about it (a regular expression), if any
    };
    std::vector<Case> cases;
    if constexpr (LUMO_FASTDDS_MAJOR < 3) {
        // "CN=cyclone_caller": d1.3e.d5.bb.31.b1, below the monitor, so
        // Cyclone DDS begins, with a key agreement Fast DDS reads. Fast DDS 3.x
        // completes that handshake but never gets Cyclone DDS's keys (only
        // "No key material yet" under -d): nothing is read, nothing refused.
        cases.push_back({"cyclone_caller", 29, ""});
    }
    // "CN=cyclone_callee": fd.63.22.04.41.7c, above the monitor, which
    // begins. Cyclone DDS cannot read 2.x's key agreement ("Failed to
    // convert octet sequence to ASN1 integer") and leaves the request
    // unanswered; 3.x's it reads, and 3.x refuses its reply's signature
    // algorithm, whose name Cyclone DDS sends with its terminating NUL (the
    // line shows it escaped).
    const std::string callee = RegexEscaped("GUID prefix fd.63.22.04.41.7c") + R"((\.[0-9a-f]{2}){6})";
    if constexpr (LUMO_FASTDDS_MAJOR < 3) {
        cases.push_back({"cyclone_callee", 0,
                         RegexEscaped("participant \"cyclone_callee\" (") + callee +
                             RegexEscaped(", host 127.0.0.1, vendor 01.10 Eclipse Cyclone DDS) is refused by DDS "
                                          "Security: authentication failed: the handshake went unanswered")});
    } else {
        cases.push_back({"cyclone_callee", 0,
                         RegexEscaped("participant (") + callee +
                             RegexEscaped(", host unknown, vendor unknown) is refused by DDS Security: authentication "
                                          "failed: Not supported signature algorithm (ECDSA-SHA256\\x00)")});
    }

    std::vector<std::string> topics;
    std::vector<std::string> monitorArgs{"-d", "--security", enclaves.Dir("monitor"), "-t"};
    for (size_t i = 0; i < cases.size(); ++i) {
        topics.push_back(UniqueTopic("SecuredForeign"));
        monitorArgs.push_back(topics[i]);
    }
    const CountedMonitor monitor(monitorArgs);
    std::vector<std::unique_ptr<ProcessRunner>> publishers;
    for (size_t i = 0; i < cases.size(); ++i) {
        publishers.push_back(CyclonePublisher({"-t", topics[i], "-n", "30", "-r", "100", "-N", cases[i].identity},
                                              enclaves.Dir(cases[i].identity)));
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].identity);
        if (cases[i].refusal.empty()) {
            ASSERT_TRUE(publishers[i]->WaitForText("written: 30", 60s)) << publishers[i]->Output();
        } else {
            const std::regex refusal(cases[i].refusal);
            ASSERT_TRUE(
                monitor->WaitForLine([&](const std::string& line) { return std::regex_search(line, refusal); }, 30s))
                << monitor->Output();
        }
    }
    std::vector<Taken> taken;
    for (size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].refusal.empty()) {
            taken.push_back({topics[i], 30});
        }
    }
    ASSERT_TRUE(monitor.WaitForTaken(taken, 60s)) << monitor->Output();
    EXPECT_EQ(StopWith(*monitor, SIGINT), 0) << monitor->Output();

    const auto info = MessagesAt(*monitor, "INFO");
    const auto errors = MessagesAt(*monitor, "ERROR");
    size_t refusals = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].identity);
        EXPECT_THAT(info, Contains(ExitReport(topics[i], static_cast<uint32_t>(i), cases[i].samples, 0)));
        if (!cases[i].refusal.empty()) {
            ++refusals;
            const std::regex refusal(cases[i].refusal);
            EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                                    [&](const std::string& line) { return std::regex_match(line, refusal); }),
                      1)
                << monitor->Output();
        }
    }
    EXPECT_EQ(errors.size(), refusals) << monitor->Output();
}

// --any-type: each publisher's writer is read with the type it announces,
// and the report tells per writer what arrived. ddsperf finds Fast DDS peers
// reliably only where loopback carries multicast: it runs in a test host,
// the monitor beside it; the others on loopback. A Cyclone DDS writer
// of AgnosticTopic's layout under another type name carries its ids at
// offset 4, the tests' Reading types theirs at 8 (after the key).
TEST(AnyType, EachPublisherIsReadWithTheTypeItsWritersAnnounceAndWhatArrivedPerWriter)
{
    using lumo::componentFramework::compat::READS_XCDR2_ONLY_WRITERS;
    enum class Source
    {
        Ddsperf,
        Cyclone,
        Quillpub
    };
    struct Row
    {
        std::string name;
        Source source;
        std::vector<std::vector<std::string>> publishers; // Cyclone or lumoQuillpub, each without -t
        std::vector<std::string> monitorArgs;             // beside -d -t TOPIC --any-type
        std::string reading;                              // the line after "[TOPIC][0] "
        uint64_t samples;                                 // taken (at least, of ddsperf) before the stop
        std::string exitLine;                             // after " [TOPIC][0] "; empty: not checked
        std::function<void(const nlohmann::json& writer)> expect;
        std::vector<std::string> warnings{}; // the monitor's own WARN lines
        std::vector<std::string> errors{};   // its ERROR lines, GUIDs and prefixes as GUID
        DdsperfRun::Topic ddsperfTopic = DdsperfRun::Topic::KS;
        bool bestEffort = false;
        // Publishers started before the monitor reads; the rest join after,
        // so which type most writers announce does not hang on discovery order.
        size_t firstPublishers = SIZE_MAX;
    };
    const auto noLoss = [](const nlohmann::json& w) {
        EXPECT_EQ(w["missing_ids"], 0);
        EXPECT_EQ(w["middleware_lost"], 0);
        EXPECT_EQ(w["publisher_skipped"], 0);
    };
    const std::vector<std::string> final300{"-n", "300", "-r", "300", "--type", "final"};
    std::vector<Row> rows{
        {"ddsperf KS, reliable, its sequence number as the id",
         Source::Ddsperf,
         {},
         {"--seq-field", "4:4"},
         "Reading type \"KeyedSeq\" (keyed) as raw bytes",
         2000,
         "",
         [&](const nlohmann::json& w) {
             noLoss(w);
             EXPECT_EQ(w["payload_bytes"], w["samples"].get<uint64_t>() * 64);
             EXPECT_EQ(w["last_id"].get<uint64_t>() - w["first_id"].get<uint64_t>() + 1, w["samples"]);
         }},
        {"ddsperf OU, reliable, without ids",
         Source::Ddsperf,
         {},
         {},
         "Reading type \"OneULong\" (keyless) as raw bytes",
         2000,
         "",
         [&](const nlohmann::json& w) {
             noLoss(w);
             EXPECT_EQ(w["payload_bytes"], w["samples"].get<uint64_t>() * 4);
             EXPECT_EQ(w["gaps"], 0);
         },
         {},
         {},
         DdsperfRun::Topic::OU},
        // Whatever the link drops, each missing id is one the middleware lost.
        {"ddsperf KS, best effort",
         Source::Ddsperf,
         {},
         {"--seq-field", "4:4", "--qos-profile", "Lumo_BestEffort_Profile"},
         "Reading type \"KeyedSeq\" (keyed) as raw bytes",
         2000,
         "",
         [](const nlohmann::json& w) {
             EXPECT_EQ(w["missing_ids"], w["middleware_lost"]);
             EXPECT_EQ(w["publisher_skipped"], 0);
         },
         {},
         {},
         DdsperfRun::Topic::KS,
         true},
        {"Cyclone DDS, an @final type of its own",
         Source::Cyclone,
         {final300},
         {"--seq-field", "8:4"},
         "Reading type \"lumo::interop::FinalReading\" (keyed) as raw bytes",
         300,
         "#samples: 299 #lost samples: 0",
         [&](const nlohmann::json& w) {
             noLoss(w);
             EXPECT_EQ(w["first_id"], 0);
             EXPECT_EQ(w["last_id"], 299);
             EXPECT_EQ(w["payload_bytes"], 300 * 16);
         }},
        // A dispose is a key-only message with a sequence number of its
        // own: delivered without data, neither lost nor a rejected sample.
        {"Cyclone DDS disposing its instance midway",
         Source::Cyclone,
         {{"-n", "300", "-r", "300", "--type", "final", "--dispose-at", "150"}},
         {"--seq-field", "8:4"},
         "Reading type \"lumo::interop::FinalReading\" (keyed) as raw bytes",
         300,
         "#samples: 299 #lost samples: 0",
         [&](const nlohmann::json& w) {
             noLoss(w);
             EXPECT_EQ(w["last_sequence"], 301) << "the dispose took one sequence number";
         }},
        {"Cyclone DDS in a named partition, without ids",
         Source::Cyclone,
         {{"-n", "300", "-r", "300", "--type", "final", "-p", "sensors"}},
         {},
         "Reading type \"lumo::interop::FinalReading\" (keyed) as raw bytes",
         300,
         "#samples: 299 #lost samples: 0",
         noLoss},
        {"Cyclone DDS, an @appendable type: XCDR2 only",
         Source::Cyclone,
         {{"-n", "300", "-r", "300", "--type", "appendable"}},
         {"--seq-field", "8:4"},
         "Reading type \"lumo::interop::AppendableReading\" (keyed) as raw bytes",
         READS_XCDR2_ONLY_WRITERS ? 300 : 0,
         "",
         [](const nlohmann::json& w) { EXPECT_EQ(w["missing_ids"], 0); },
         {},
         READS_XCDR2_ONLY_WRITERS ? std::vector<std::string>{}
                                  : std::vector<std::string>{"writer GUID of participant (unnamed) (GUID prefix GUID, "
                                                             "host 127.0.0.1) does not match: data representation "
                                                             "offered XCDR2, requested XCDR1. No shipped profile "
                                                             "reads it."}},
        // Ids 0 to 299 without every tenth one: the publisher's skips.
        {"Cyclone DDS, AgnosticTopic's layout under another name, with skipped ids",
         Source::Cyclone,
         {{"-n", "300", "-r", "300", "-e", "10", "-y", "other::AgnosticTopic"}},
         {"--seq-field", "4:4"},
         "Reading type \"other::AgnosticTopic\" (keyless) as raw bytes",
         270,
         "#samples: 269 #lost samples: 29",
         [](const nlohmann::json& w) {
             EXPECT_EQ(w["missing_ids"], 29);
             EXPECT_EQ(w["publisher_skipped"], 29);
             EXPECT_EQ(w["middleware_lost"], 0);
         }},
        {"Cyclone DDS writers of two types on one topic: the one most announce is read",
         Source::Cyclone,
         {final300, final300, {"-n", "300", "-r", "300", "-y", "other::AgnosticTopic"}},
         {"--seq-field", "8:4"},
         "Reading type \"lumo::interop::FinalReading\" (keyed) as raw bytes",
         600,
         "",
         [](const nlohmann::json& w) { EXPECT_EQ(w["samples"], 300); },
         {"Writers of this topic announce different types or data representations: "
          "\"lumo::interop::FinalReading\" keyed XCDR1+XCDR2 (2 writers), \"other::AgnosticTopic\" keyless "
          "XCDR1+XCDR2 (1 writer); reading \"lumo::interop::FinalReading\" (keyed)"},
         {"writer GUID of participant (unnamed) (GUID prefix GUID, host 127.0.0.1) does not match: type name offered "
          "\"other::AgnosticTopic\", requested \"lumo::interop::FinalReading\"; topic kind offered keyless, "
          "requested keyed. No shipped profile reads it."},
         DdsperfRun::Topic::KS,
         false,
         2},
        {"lumoQuillpub: AgnosticTopic, read and checked as without --any-type",
         Source::Quillpub,
         {{"-n", "300", "-r", "300", "--skip-every", "100", "--linger", "60"}},
         {},
         "Reading type \"lumo::componentFramework::AgnosticTopic\" (keyless)",
         300,
         "#samples: 299 #lost samples: 2",
         [](const nlohmann::json& w) {
             EXPECT_EQ(w["missing_ids"], 2);
             EXPECT_EQ(w["publisher_skipped"], 2);
             EXPECT_EQ(w["last_id"], 301);
         }},
    };
    const bool ddsperf = DdsperfAvailable() && NetworkNamespaces::Unavailable().empty();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.source == Source::Ddsperf && !ddsperf) {
            ADD_FAILURE() << "ddsperf (cyclonedds-tools) and network namespaces are needed";
            continue;
        }
        const ScratchDir dir;
        const auto report = dir.File("report.jsonl");
        std::string topic = UniqueTopic("AnyType");
        std::vector<std::string> monitorArgs{"-d", "--any-type", "--report", report, "--report-period", "0.1"};
        monitorArgs.insert(monitorArgs.end(), row.monitorArgs.begin(), row.monitorArgs.end());
        std::unique_ptr<NetworkNamespaces> hosts;
        std::unique_ptr<DdsperfRun> perf;
        std::unique_ptr<ProcessRunner> monitor;
        std::vector<std::unique_ptr<ProcessRunner>> publishers;
        if (row.source == Source::Ddsperf) {
            hosts = std::make_unique<NetworkNamespaces>();
            perf = std::make_unique<DdsperfRun>(*hosts, "perf", TestDomain(), row.ddsperfTopic, row.bestEffort,
                                                "2000Hz", 64);
            topic = DdsperfRun::TopicName(row.ddsperfTopic, row.bestEffort);
            monitorArgs.insert(monitorArgs.end(), {"-t", topic, "--domain-id", std::to_string(TestDomain())});
            monitor = hosts->Start("perf", LUMO_QUILLMON_PATH, monitorArgs);
        } else {
            monitorArgs.insert(monitorArgs.end(), {"-t", topic});
            monitor = StartMonitor(Confined(monitorArgs));
        }
        const auto startPublishers = [&](size_t from, size_t to) {
            for (size_t i = from; i < std::min(to, row.publishers.size()); ++i) {
                auto args = row.publishers[i];
                args.insert(args.begin(), {"-t", topic});
                publishers.push_back(row.source == Source::Cyclone ? CyclonePublisher(args)
                                                                   : StartConfinedPublisher(args));
            }
        };
        startPublishers(0, row.firstPublishers);
        ASSERT_TRUE(monitor->WaitForText(MONITOR_READY_LINE, START_TIMEOUT)) << monitor->Output();
        const auto prefix = Prefix(topic, 0);
        ASSERT_TRUE(monitor->WaitForText(prefix + " " + row.reading, 60s)) << monitor->Output();
        startPublishers(row.firstPublishers, SIZE_MAX);
        if (row.samples > 0) {
            ASSERT_TRUE(WaitForReportedSamples(report, topic, row.samples, 60s)) << monitor->Output();
        }
        if (!row.errors.empty()) {
            ASSERT_TRUE(monitor->WaitForText(" does not match: ", 60s)) << monitor->Output();
        }
        for (const auto& warning : row.warnings) {
            ASSERT_TRUE(monitor->WaitForText(warning, 60s)) << monitor->Output();
        }
        EXPECT_EQ(StopWith(*monitor, SIGINT), 0) << monitor->Output();

        // GUIDs change with every run.
        const auto ownLines = [&](const std::string& level) {
            std::vector<std::string> own;
            for (const auto& message : MessagesAt(*monitor, level)) {
                // A reliable reader behind ddsperf's writer rejects what its
                // history cannot hold yet; the writer sends it again.
                const bool flowControl = row.source == Source::Ddsperf &&
                                         message.find(" SampleRejectedStatus.") != message.npos;
                if (message.starts_with("[" + topic + "]") && !flowControl) {
                    own.push_back(std::regex_replace(message,
                                                     std::regex(R"([0-9a-f]{2}(\.[0-9a-f]{2}){11}(\|[0-9a-f.]+)?)"),
                                                     "GUID"));
                }
            }
            return own;
        };
        std::vector<std::string> warnings;
        for (const auto& warning : row.warnings) {
            warnings.push_back("[" + topic + "] " + warning);
        }
        std::vector<std::string> errors;
        for (const auto& error : row.errors) {
            errors.push_back(prefix + " " + error);
        }
        // A mix is said again as its writers are discovered, one at a time
        // and in no promised order: the row's lines come last, after mixes
        // of fewer writers.
        auto own = ownLines("WARN");
        const auto earlier = own.size() - std::min(own.size(), warnings.size());
        for (size_t i = 0; i < earlier; ++i) {
            EXPECT_THAT(own[i], StartsWith("[" + topic + "] Writers of this topic announce different types"));
        }
        own.erase(own.begin(), own.begin() + static_cast<std::ptrdiff_t>(earlier));
        EXPECT_THAT(own, ElementsAreArray(warnings));
        EXPECT_THAT(ownLines("ERROR"), ElementsAreArray(errors));
        EXPECT_EQ(MessagesAt(*monitor, "ERROR").size(), errors.size()) << "no other ERROR line";
        if (!row.exitLine.empty()) {
            EXPECT_THAT(MessagesAt(*monitor, "INFO"), Contains(" " + prefix + " " + row.exitLine));
        }
        const auto writers = RecordsOf(ReadReport(report), "writer", true);
        if (row.samples == 0) {
            EXPECT_THAT(writers, IsEmpty()) << "a writer that delivers nothing has no stream";
            continue;
        }
        ASSERT_FALSE(writers.empty());
        uint64_t samples = 0;
        for (const auto& writer : writers) {
            samples += writer["samples"].get<uint64_t>();
        }
        if (row.source == Source::Ddsperf) {
            EXPECT_GE(samples, row.samples);
        } else {
            EXPECT_EQ(samples, row.samples);
        }
        row.expect(writers[0]);
    }
}
