// lumoQuillmon reading writers of another DDS implementation: lumoCyclonePub
// (Cyclone DDS) into the monitor, both confined to loopback, checked by the
// monitor's log lines and exit status.
#include <chrono>
#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ExpectedLines.h"
#include "ProcessRunner.h"
#include "TestNames.h"
#include "ToolRuns.h"
#include "lumo/componentFramework/FastDdsCompat.h"

using namespace std::chrono_literals;
using namespace lumo::test;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// The writer's acknowledgements (or, best effort, its last write) come after
// the reader has every sample; this leaves the listener time to finish.
constexpr auto SETTLE = 500ms;

// lumoCyclonePub on this test's domain, on loopback only (no multicast,
// unicast discovery on 127.0.0.1), lingering so that the monitor is stopped
// before the writer leaves and its unmatch resets the counts.
std::unique_ptr<ProcessRunner> CyclonePublisher(std::vector<std::string> args)
{
    args.insert(args.end(), {"-d", std::to_string(lumo::test::TestDomain()), "-L", "60"});
    return std::make_unique<ProcessRunner>(LUMO_CYCLONEPUB_PATH, args,
                                           std::vector<std::string>{"CYCLONEDDS_URI=file://" LUMO_CYCLONE_CONFIG});
}

// Waits for the publisher to have written (and, reliable, had acknowledged)
// everything, then stops the monitor and expects a clean exit.
void FinishRun(ProcessRunner& monitor, ProcessRunner& publisher, const std::string& written)
{
    ASSERT_TRUE(publisher.WaitForText("written: " + written, 60s)) << publisher.Output();
    std::this_thread::sleep_for(SETTLE);
    EXPECT_EQ(StopWith(monitor, SIGINT), 0) << monitor.Output();
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
    auto monitor = StartReadyMonitor({"-d", "-t", topic});
    // Ids 0 to 299 without every tenth one (9, 19, ... 299): 270 samples.
    auto publisher = CyclonePublisher({"-t", topic, "-n", "300", "-r", "300", "-e", "10", "-N", "interop"});
    FinishRun(*monitor, *publisher, "270");

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
    auto monitor = StartReadyMonitor({"-d", "-t", topic});
    auto publisher = CyclonePublisher({"-t", topic, "-n", "20000", "-r", "0", "-a"});
    FinishRun(*monitor, *publisher, "20000");
    EXPECT_THAT(MessagesAt(*monitor, "INFO"), Contains(" " + Prefix(topic, 0) + " #samples: 19999 #lost samples: 0"));
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"), IsEmpty());
}

TEST(ForeignWriter, BestEffortWriterIsReadByTheBestEffortProfile)
{
    const auto topic = UniqueTopic("ForeignBE");
    auto monitor = StartReadyMonitor({"-d", "-t", topic, "--qos-profile", "Lumo_BestEffort_Profile"});
    auto publisher = CyclonePublisher({"-t", topic, "-n", "200", "-r", "200", "-b"});
    FinishRun(*monitor, *publisher, "200");
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
    auto rampMonitor = StartReadyMonitor(rampArgs);

    // The pattern follows each topic's position in the monitor's list.
    const std::vector<std::string> sizes{"8", "4096", "0"};
    std::vector<std::string> patternTopics;
    for (size_t i = 0; i < sizes.size(); ++i) {
        patternTopics.push_back(UniqueTopic("ForeignPattern"));
    }
    std::vector<std::string> patternArgs{"-d", "--expected-payload-pattern", "alternating_float_ramp", "-t"};
    patternArgs.insert(patternArgs.end(), patternTopics.begin(), patternTopics.end());
    auto patternMonitor = StartReadyMonitor(patternArgs);

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
    std::this_thread::sleep_for(SETTLE);
    for (auto* monitor : {rampMonitor.get(), patternMonitor.get()}) {
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
    auto monitor = StartReadyMonitor({"-d", "-c", "-t", topic});
    auto publisher = CyclonePublisher(
        {"-t", topic, "-n", "100", "-r", "200", "-a", "-x", "2", "-k", "ramp", "-s", "12"});
    FinishRun(*monitor, *publisher, "100");
    const auto info = MessagesAt(*monitor, "INFO");
    EXPECT_THAT(info, Contains(Prefix(topic, 0) + " SampleId: 99. CheckRamp length: 12 [0 0.001 0.002 0.002]"));
    EXPECT_THAT(info, Contains(" " + Prefix(topic, 0) + " #samples: 99 #lost samples: 0"));
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"), IsEmpty());
}
