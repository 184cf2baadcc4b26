// lumoQuillpub into lumoQuillmon, two separate processes on the shipped QoS
// profile, confined to loopback: what an operator sees in the monitor's log
// and exit status for the traffic the publisher says it produced.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "CountedMonitor.h"
#include "ExpectedLines.h"
#include "ProcessRunner.h"
#include "ReportSchema.h"
#include "ScratchDir.h"
#include "TestNames.h"
#include "ToolRuns.h"

using namespace std::chrono_literals;
using namespace lumo::test;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

namespace {

// Publishing plus the publisher's wait for acknowledgements (a heartbeat
// period or two) on a busy machine.
constexpr auto PUBLISH_TIMEOUT = 60s;

// Waits for the publisher's summary of `topic`, then for the monitor to take
// the last samples, then stops the monitor while the writer still lingers
// (an unmatch would reset the monitor's counters) and then the publisher.
void FinishLingeringRun(const CountedMonitor& monitor, ProcessRunner& publisher, const std::string& lastSummary,
                        const std::vector<Taken>& taken)
{
    ASSERT_TRUE(publisher.WaitForText(lastSummary, PUBLISH_TIMEOUT)) << publisher.Output();
    ASSERT_TRUE(monitor.WaitForTaken(taken, PUBLISH_TIMEOUT)) << monitor->Output();
    EXPECT_EQ(StopWith(*monitor, SIGINT), 0);
    EXPECT_EQ(StopWith(publisher, SIGINT), 0);
    EXPECT_THAT(MessagesAt(publisher, "WARN"), IsEmpty()) << "unacknowledged samples";
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"), IsEmpty());
}

size_t CountContaining(const std::vector<std::string>& lines, const std::string& text)
{
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const auto& line) { return line.find(text) != line.npos; }));
}

// Waits until `message` (level and text, as Messages() gives them) was
// logged `times` times.
bool WaitForMessage(const ProcessRunner& process, const std::string& message, size_t times,
                    std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto messages = process.Messages();
        if (static_cast<size_t>(std::count(messages.begin(), messages.end(), message)) >= times) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

uint64_t SamplesWritten(const ProcessRunner& publisher)
{
    static const std::regex summary(R"(\] samples written: (\d+) ids skipped)");
    std::smatch match;
    const std::string output = publisher.Output();
    if (!std::regex_search(output, match, summary)) {
        ADD_FAILURE() << "no summary line: " << output;
        return 0;
    }
    return std::stoull(match[1]);
}

void SignalStorm(const ProcessRunner& process, int signals, std::chrono::microseconds gap)
{
    for (int i = 0; i < signals; ++i) {
        process.Signal(i % 2 == 0 ? SIGTERM : SIGINT);
        std::this_thread::sleep_for(gap);
    }
}

} // namespace

TEST(ReliableCounts, EverySampleIsCountedOnceWithTheMatchedResetAndNoError)
{
    // The slowed monitor of 64 KiB samples fills its readers' history to the
    // profile's bound (256 samples): the reader refuses what comes meanwhile
    // and says so (WARN, at -d), the reliable writer sends it again, nothing
    // is lost.
    struct Case
    {
        const char* name;
        uint32_t payloadSize;
        uint32_t samples;
        std::vector<std::string> monitorArgs;
        bool atBound;
    };
    const std::vector<Case> cases{{"open path", 64, 3000, {}, false},
                                  {"slowed, 64 KiB", 65536, 1500, {"-s", "2000"}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto topic = UniqueTopic("Counts");
        std::vector<std::string> monitorArgs{"-d", "-t", topic};
        monitorArgs.insert(monitorArgs.end(), c.monitorArgs.begin(), c.monitorArgs.end());
        const CountedMonitor monitor(monitorArgs);
        auto publisher = StartConfinedPublisher({"-t", topic, "-n", std::to_string(c.samples), "-r", "0",
                                                 "--payload-size", std::to_string(c.payloadSize), "--linger", "60"});
        FinishLingeringRun(monitor, *publisher, Summary(topic, 0, c.samples), {{topic, c.samples}});

        const auto info = MessagesAt(*monitor, "INFO");
        EXPECT_THAT(info, Contains(Prefix(topic, 0)));
        EXPECT_THAT(info, Contains(Prefix(topic, 0) + " SampleId: 0 Payload size: " + std::to_string(c.payloadSize)));
        EXPECT_EQ(CountContaining(info, "mismatch"), 0u);
        // Every sample after the match's -1, or after the writer's first
        // liveliness assertion when it resets the count a sample or two in.
        const int64_t expected = CountSinceLastReset(info, Prefix(topic, 0), IdsFromZero(c.samples));
        EXPECT_GE(expected, static_cast<int64_t>(c.samples) - 3);
        EXPECT_THAT(info, Contains(ExitReport(topic, 0, expected, 0)));
        if (c.atBound) {
            const std::regex refused(
                RegexEscaped(Prefix(topic, 0)) +
                R"( SampleRejectedStatus\.last_reason: REJECTED_BY_SAMPLES_LIMIT\. )"
                R"(SampleRejectedStatus\.total_count_change: \d+\. SampleRejectedStatus\.total_count: \d+)");
            const auto warnings = MessagesAt(*monitor, "WARN");
            const auto refusals = std::count_if(warnings.begin(), warnings.end(),
                                                [&](const auto& line) { return std::regex_match(line, refused); });
            EXPECT_GT(refusals, 0) << "no refusal reported";
        }
    }
}

TEST(ReliableCounts, FifteenTopicsAndADuplicateTopicAreEachCountedByTheirOwnReader)
{
    std::vector<std::string> topics;
    for (int i = 0; i < 15; ++i) {
        topics.push_back(UniqueTopic("Fifteen" + std::to_string(i)));
    }
    std::vector<std::string> monitorArgs{"-d", "-t"};
    monitorArgs.insert(monitorArgs.end(), topics.begin(), topics.end());
    const CountedMonitor monitor(monitorArgs);
    std::vector<std::string> publisherArgs{"-n", "400", "-r", "2000", "--linger", "60", "-t"};
    publisherArgs.insert(publisherArgs.end(), topics.begin(), topics.end());
    auto publisher = StartConfinedPublisher(publisherArgs);
    std::vector<Taken> taken;
    for (const auto& topic : topics) {
        taken.push_back({topic, 400});
    }
    FinishLingeringRun(monitor, *publisher, Summary(topics[14], 14, 400), taken);

    const auto info = MessagesAt(*monitor, "INFO");
    for (uint32_t i = 0; i < 15; ++i) {
        const auto prefix = Prefix(topics[i], i);
        EXPECT_THAT(info, Contains(ExitReport(topics[i], i, CountSinceLastReset(info, prefix, IdsFromZero(400)), 0)));
    }

    // One topic read twice: both readers match the one writer and see it all.
    const auto shared = UniqueTopic("Twice");
    const CountedMonitor twice({"-d", "-t", shared, shared});
    auto writer = StartConfinedPublisher(
        {"-t", shared, "-n", "500", "-r", "0", "--wait-readers", "2", "--linger", "60"});
    FinishLingeringRun(twice, *writer, Summary(shared, 0, 500), {{shared, 500, 0}, {shared, 500, 1}});
    const auto twiceInfo = MessagesAt(*twice, "INFO");
    for (uint32_t i = 0; i < 2; ++i) {
        const auto count = CountSinceLastReset(twiceInfo, Prefix(shared, i), IdsFromZero(500));
        EXPECT_THAT(twiceInfo, Contains(ExitReport(shared, i, count, 0)));
    }
}

// Fast DDS's shared-memory transport warns at each participant's first send
// about a buffer that no receiver held (see FastDdsLogRoute.cpp): neither the
// monitor nor its publishers log it, and every sample of every topic arrives
// over shared memory alone.
TEST(SharedMemory, MonitorStartingNextToThreePublishersLogsNoTransportWarning)
{
    const std::string segmentWarning = "[RTPS_TRANSPORT_SHM Warning] Buffer is being invalidated, segment_size may be "
                                       "insufficient -> Function invalidate_if_not_processing";
    std::vector<std::string> topics;
    for (int i = 0; i < 15; ++i) {
        topics.push_back(UniqueTopic("Shm" + std::to_string(i)));
    }
    const std::vector<std::string> sharedMemoryOnly{"-d", "--qos-profile", "Lumo_SharedMemory_Profile", "-t"};
    auto monitorArgs = sharedMemoryOnly;
    monitorArgs.insert(monitorArgs.end(), topics.begin(), topics.end());
    const CountedMonitor monitor(monitorArgs);
    std::vector<std::unique_ptr<ProcessRunner>> publishers;
    for (size_t p = 0; p < 3; ++p) {
        auto args = sharedMemoryOnly;
        args.insert(args.begin(), {"-n", "100", "-r", "1000", "--linger", "60"});
        const auto first = topics.begin() + static_cast<std::ptrdiff_t>(5 * p);
        args.insert(args.end(), first, first + 5);
        publishers.push_back(StartConfinedPublisher(args));
    }
    for (size_t p = 0; p < 3; ++p) {
        ASSERT_TRUE(publishers[p]->WaitForText(Summary(topics[5 * p + 4], 4, 100), PUBLISH_TIMEOUT))
            << publishers[p]->Output();
    }
    std::vector<Taken> taken;
    for (const auto& topic : topics) {
        taken.push_back({topic, 100});
    }
    ASSERT_TRUE(monitor.WaitForTaken(taken, PUBLISH_TIMEOUT)) << monitor->Output();
    EXPECT_EQ(StopWith(*monitor, SIGINT), 0);
    for (auto& publisher : publishers) {
        EXPECT_EQ(StopWith(*publisher, SIGINT), 0);
        EXPECT_THAT(FastDdsMessages(*publisher), Not(Contains(segmentWarning))) << publisher->Output();
    }
    EXPECT_THAT(FastDdsMessages(*monitor), Not(Contains(segmentWarning))) << monitor->Output();
    const auto info = MessagesAt(*monitor, "INFO");
    for (uint32_t i = 0; i < 15; ++i) {
        const auto count = CountSinceLastReset(info, Prefix(topics[i], i), IdsFromZero(100));
        EXPECT_THAT(info, Contains(ExitReport(topics[i], i, count, 0)));
    }
}

TEST(SampleIdGaps, EachInjectedGapAndRepeatIsOneMismatchLineAndOneLostSample)
{
    struct Case
    {
        uint32_t start;
        uint32_t increment;
        uint32_t skipEvery;
        uint32_t repeat;
    };
    // The second case crosses 2^32 with a step of 3 on both sides.
    for (const Case c : {Case{0, 1, 10, 55}, Case{4294966900u, 3, 7, 100}}) {
        constexpr uint32_t COUNT = 300;
        const auto topic = UniqueTopic("Gaps");
        const CountedMonitor monitor({"-d", "-t", topic, "-i", std::to_string(c.increment)});
        auto publisher = StartConfinedPublisher({"-t", topic, "-n", std::to_string(COUNT), "-r", "0", "--start-id",
                                                 std::to_string(c.start), "--id-increment", std::to_string(c.increment),
                                                 "--skip-every", std::to_string(c.skipEvery), "--repeat-id",
                                                 std::to_string(c.repeat), "--linger", "60"});
        const uint64_t skipped = (COUNT - 1) / c.skipEvery;
        FinishLingeringRun(monitor, *publisher, Summary(topic, 0, COUNT, skipped, 1), {{topic, COUNT}});

        const auto ids = PublishedIds(COUNT, c.start, c.increment, c.skipEvery, c.repeat);
        std::vector<std::string> expected;
        for (size_t n = 1; n < ids.size(); ++n) {
            if (ids[n] != static_cast<uint32_t>(ids[n - 1] + c.increment)) {
                expected.push_back(Prefix(topic, 0) + " sample id mismatch last: " + std::to_string(ids[n - 1]) +
                                   " current: " + std::to_string(ids[n]));
            }
        }
        ASSERT_EQ(expected.size(), skipped + 1);
        std::vector<std::string> mismatches;
        for (const auto& line : MessagesAt(*monitor, "INFO")) {
            if (line.find(" sample id mismatch ") != line.npos) {
                mismatches.push_back(line);
            }
        }
        EXPECT_THAT(mismatches, ElementsAreArray(expected));
        const auto info = MessagesAt(*monitor, "INFO");
        EXPECT_THAT(info,
                    Contains(ExitReport(topic, 0, CountSinceLastReset(info, Prefix(topic, 0), ids), skipped + 1)));
    }
}

TEST(PayloadChecks, RampAndPatternHoldOnEverySampleOfEveryTopic)
{
    const auto ramp = UniqueTopic("Ramp");
    const CountedMonitor rampMonitor({"-d", "-c", "-t", ramp});
    auto rampPublisher = StartConfinedPublisher({"-t", ramp, "-n", "200", "-r", "0", "--payload", "ramp",
                                                 "--payload-size", "1024", "--ramp-start", "0.5", "--linger", "60"});
    FinishLingeringRun(rampMonitor, *rampPublisher, Summary(ramp, 0, 200), {{ramp, 200}});
    const auto rampInfo = MessagesAt(*rampMonitor, "INFO");
    EXPECT_EQ(CountContaining(rampInfo, ". CheckRamp length: 1024 [0.5 0.501 0.502 0.755]"), 200u);
    EXPECT_THAT(rampInfo, Contains(Prefix(ramp, 0) + " SampleId: 199. CheckRamp length: 1024 [0.5 0.501 0.502 0.755]"));

    // Each topic's pattern starts at its reader index, so the topics differ.
    const std::vector<std::string> topics{UniqueTopic("PatA"), UniqueTopic("PatB"), UniqueTopic("PatC")};
    const CountedMonitor monitor(
        {"-d", "--expected-payload-pattern", "alternating_float_ramp", "-t", topics[0], topics[1], topics[2]});
    auto publisher = StartConfinedPublisher({"-n", "150", "-r", "0", "--payload", "alternating_float_ramp",
                                             "--payload-size", "4096", "--linger", "60", "-t", topics[0], topics[1],
                                             topics[2]});
    FinishLingeringRun(monitor, *publisher, Summary(topics[2], 2, 150),
                       {{topics[0], 150}, {topics[1], 150}, {topics[2], 150}});
    const auto info = MessagesAt(*monitor, "INFO");
    EXPECT_EQ(CountContaining(info, ". Payload pattern verified: alternating_float_ramp length: 4096"), 450u);
    for (uint32_t i = 0; i < 3; ++i) {
        const auto prefix = Prefix(topics[i], i);
        EXPECT_EQ(CountContaining(info,
                                  prefix +
                                      " SampleId: 149. Payload pattern verified: alternating_float_ramp length: 4096"),
                  1u);
        EXPECT_THAT(info, Contains(ExitReport(topics[i], i, CountSinceLastReset(info, prefix, IdsFromZero(150)), 0)));
    }
}

TEST(PayloadChecks, OneCorruptedSampleIsReportedAndEndsTheMonitorsRunByItself)
{
    struct Case
    {
        std::vector<std::string> monitorCheck;
        std::string payload;
        std::string errorStart; // after the prefix
    };
    const std::vector<Case> cases{
        {{"--expected-payload-pattern", "alternating_float_ramp"},
         "alternating_float_ramp",
         " SampleId: 40. Payload pattern mismatch: alternating_float_ramp"},
        // Element 1 raised by 1.0: 0.001 + 1 in single precision, the deviation in double.
        {{"-c"}, "ramp", " SampleId: 40. CheckRamp error: 1 [0 1.001 1.0000000"},
    };
    for (const auto& c : cases) {
        const auto topic = UniqueTopic("Corrupt");
        auto args = c.monitorCheck;
        args.insert(args.end(), {"-d", "-t", topic});
        auto monitor = StartReadyMonitor(args);
        auto publisher = StartConfinedPublisher({"-t", topic, "-n", "100", "-r", "200", "--payload", c.payload,
                                                 "--corrupt-sample", "40", "--wait-timeout", "20", "--ack-timeout",
                                                 "0"});

        // No signal: the failed check stops the monitor at its next look.
        ASSERT_EQ(monitor->Wait(EXIT_TIMEOUT), 0) << monitor->Output();
        const auto errors = MessagesAt(*monitor, "ERROR");
        ASSERT_EQ(errors.size(), 1u) << monitor->Output();
        EXPECT_THAT(errors[0], ::testing::StartsWith(Prefix(topic, 0) + c.errorStart));
        EXPECT_THAT(MessagesAt(*monitor, "INFO"), Contains("Exiting ...."));
        EXPECT_EQ(publisher->Wait(EXIT_TIMEOUT), 0);
        EXPECT_THAT(publisher->Output(), HasSubstr(Summary(topic, 0, 100, 0, 0, 1)));
    }
}

TEST(WriterLiveliness, KilledPublisherIsReportedLostThenUnmatchedAndARestartedOneIsMatchedAgain)
{
    const auto topic = UniqueTopic("Killed");
    const auto prefix = Prefix(topic, 0);
    // The profile whose reader watches writer liveliness (3 s lease).
    const CountedMonitor monitor({"-d", "-t", topic, "--qos-profile", "Lumo_Liveliness_Profile"});
    auto victim = StartConfinedPublisher({"-t", topic, "-r", "100", "--duration", "120"});
    ASSERT_TRUE(WaitForMessage(*monitor,
                               "INFO  " + prefix +
                                   " alive_count: 1 not_alive_count: 0 alive_count_change: 1 not_alive_count_change: 0",
                               1, START_TIMEOUT))
        << monitor->Output();
    std::this_thread::sleep_for(2s);

    victim->Signal(SIGKILL);
    const auto killed = Clock::now();
    ASSERT_EQ(victim->Wait(EXIT_TIMEOUT), -SIGKILL);

    // The writer's liveliness lease runs out first, with a report of what
    // the reader gathered since its last reset; the participant's lease then
    // ends the match itself.
    const std::string lost = prefix +
                             " alive_count: 0 not_alive_count: 1 alive_count_change: -1 not_alive_count_change: 1";
    ASSERT_TRUE(WaitForMessage(*monitor, "INFO  " + lost, 1, 20s)) << monitor->Output();
    const auto lostAfter = Clock::now() - killed;
    ASSERT_TRUE(WaitForMessage(*monitor, "INFO  " + prefix, 2, 20s)) << monitor->Output();
    const auto unmatchedAfter = Clock::now() - killed;

    const auto info = MessagesAt(*monitor, "INFO");
    const auto lostLine = std::find(info.begin(), info.end(), lost);
    ASSERT_NE(lostLine + 1, info.end());
    const std::regex statistics(
        std::regex_replace(prefix, std::regex(R"([\[\]])"), R"(\$&)") +
        R"( Total sample received: (\d+) Avg: ([0-9.e-]+)\. Freq: ([0-9.]+)\. Total sample errors: 0)");
    std::smatch figures;
    ASSERT_TRUE(std::regex_match(*(lostLine + 1), figures, statistics)) << *(lostLine + 1);
    // About two seconds at 100 samples per second. The time is the sum of
    // the intervals between data-available calls: Fast DDS 2.9 makes none
    // after the last sample, Fast DDS 3 one more when the writer's liveliness
    // is lost (the instance has no writer left; no valid sample), so the
    // wait for the lease counts there as well.
    const auto samples = std::stoll(figures[1]);
    const double freq = std::stod(figures[3]);
    EXPECT_GT(samples, 100);
    EXPECT_NEAR(std::stod(figures[2]) * freq, 1.0, 1e-6);
    const double elapsed = static_cast<double>(samples) / freq;
    const double sending = static_cast<double>(samples) / 100.0;
    EXPECT_GT(elapsed, 0.8 * sending);
    EXPECT_LT(elapsed, sending + std::chrono::duration<double>(lostAfter).count() + 0.5);
    // Liveliness comes well before the participant's lease (6 s) runs out.
    EXPECT_LT(lostAfter, unmatchedAfter - 1s);
    std::cout << "writer killed -> liveliness lost after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(lostAfter).count() << " ms, unmatched after "
              << std::chrono::duration_cast<std::chrono::milliseconds>(unmatchedAfter).count() << " ms; "
              << *(lostLine + 1) << "\n";

    // Every sample acknowledged is the point, not how soon: the liveliness
    // profile's reader answers on the writer's heartbeat, which under the
    // sanitizers on a busy machine can take longer than the default 5 s.
    auto successor = StartConfinedPublisher(
        {"-t", topic, "-n", "300", "-r", "500", "--linger", "60", "--ack-timeout", "30"});
    // The successor is the report's second writer.
    ASSERT_TRUE(WaitForWriterSamples(monitor.Report(), 1, 300, PUBLISH_TIMEOUT)) << monitor->Output();
    FinishLingeringRun(monitor, *successor, Summary(topic, 0, 300), {});
    const auto after = MessagesAt(*monitor, "INFO");
    EXPECT_EQ(std::count(after.begin(), after.end(), prefix), 3) << "match, unmatch, match again";
    EXPECT_THAT(after, Contains(ExitReport(topic, 0, CountSinceLastReset(after, prefix, IdsFromZero(300)), 0)));
}

TEST(Throttling, SleepingReaderLogsEachSleepAndSlowsAReliablePublisher)
{
    struct Run
    {
        uint64_t written;
        std::vector<std::string> info;
    };
    const auto run = [](std::vector<std::string> throttle) {
        const auto topic = UniqueTopic("Throttle");
        throttle.insert(throttle.end(), {"-d", "-t", topic});
        auto monitor = StartReadyMonitor(throttle);
        // The final wait for acknowledgements matters: Fast DDS 2.9 can hang
        // deleting a reliable writer whose heartbeat fires while unacknowledged
        // samples are released.
        auto publisher = StartConfinedPublisher({"-t", topic, "-r", "0", "--duration", "2", "--ack-timeout", "30"});
        EXPECT_EQ(publisher->Wait(PUBLISH_TIMEOUT), 0) << publisher->Output();
        EXPECT_EQ(StopWith(*monitor, SIGINT), 0);
        return Run{SamplesWritten(*publisher), MessagesAt(*monitor, "INFO")};
    };
    const Run free = run({});
    const Run throttled = run({"-s", "20000"});

    EXPECT_EQ(CountContaining(free.info, " Going sleep for: "), 0u);
    const std::regex sleepLine(R"(\[Throttle_\d+_\d+\]\[0\] SampleId: \d+ Going sleep for: 20000 us\.)");
    size_t sleeps = 0;
    for (const auto& line : throttled.info) {
        if (line.find(" Going sleep for: ") != line.npos) {
            EXPECT_TRUE(std::regex_match(line, sleepLine)) << line;
            ++sleeps;
        }
    }
    EXPECT_GT(sleeps, 10u);
    // Under reliable QoS the publisher can only go as fast as the reader lets it.
    EXPECT_LT(throttled.written * 3, free.written);
    std::cout << "samples written in 2 s: unthrottled " << free.written << ", reader sleeping 20 ms per take "
              << throttled.written << " (" << sleeps << " sleeps)\n";
}

TEST(Signals, StormsDuringSetUpAndUnderTrafficEndBothToolsWithExitZero)
{
    const auto topic = UniqueTopic("Storm");
    // Paced below what the reader takes: a writer blocked on a full history
    // while a reader leaves can deadlock inside Fast DDS 2.9 itself (flow
    // controller against reader removal), which is not what this tests.
    auto publisher = StartConfinedPublisher({"-t", topic, "-r", "5000", "--duration", "100", "--ack-timeout", "0"});

    // Set-up: the first settings line comes after the handlers are installed.
    auto early = lumo::test::StartMonitor(Confined({"-d", "-t", topic}));
    ASSERT_TRUE(early->WaitForText("sleep-period-in-msec: 0", START_TIMEOUT));
    SignalStorm(*early, 40, 500us);
    ASSERT_EQ(early->Wait(EXIT_TIMEOUT), 0) << early->Output();
    EXPECT_THAT(MessagesAt(*early, "INFO"), Contains(::testing::StartsWith(" [" + topic + "][0] #samples: ")));

    // Shutdown while the publisher floods the reader.
    auto flooded = StartReadyMonitor({"-d", "-t", topic});
    ASSERT_TRUE(flooded->WaitForText(" Payload size: 64", START_TIMEOUT)) << flooded->Output();
    std::this_thread::sleep_for(500ms);
    SignalStorm(*flooded, 200, 200us);
    ASSERT_EQ(flooded->Wait(EXIT_TIMEOUT), 0) << flooded->Output();
    const auto info = MessagesAt(*flooded, "INFO");
    EXPECT_EQ(std::count(info.begin(), info.end(), "Exiting ...."), 1);
    EXPECT_THAT(info, Contains(::testing::StartsWith(" [" + topic + "][0] #samples: ")));
    EXPECT_THAT(MessagesAt(*flooded, "ERROR"), IsEmpty());

    SignalStorm(*publisher, 100, 200us);
    ASSERT_EQ(publisher->Wait(EXIT_TIMEOUT), 0) << publisher->Output();
    EXPECT_GT(SamplesWritten(*publisher), 0u);
}

// The tools of a build against the other Fast DDS major version (their bin
// directory in LUMO_PEER_BIN_DIR; scripts/test.sh sets it for its Fast DDS 3
// run) meet this build's on the wire, both ways: type, QoS and discovery of
// 2.x and 3.x agree, and no sample is lost.
TEST(OtherFastDdsVersion, PublisherAndMonitorOfEitherVersionExchangeEverySample)
{
    const char* peerDir = std::getenv("LUMO_PEER_BIN_DIR");
    if (peerDir == nullptr || *peerDir == '\0') {
        GTEST_SKIP() << "LUMO_PEER_BIN_DIR names no build against the other Fast DDS version";
    }
    const std::string peer(peerDir);
    for (const bool peerPublishes : {true, false}) {
        SCOPED_TRACE(peerPublishes ? "peer publisher into this monitor" : "this publisher into the peer monitor");
        const auto topic = UniqueTopic("Peer");
        const CountedMonitor monitor({"-d", "-t", topic}, peerPublishes ? "" : peer + "/lumoQuillmon");
        const auto publisherArgs = Confined({"-t", topic, "-n", "2000", "-r", "0", "--linger", "60"});
        auto publisher = peerPublishes ? std::make_unique<ProcessRunner>(peer + "/lumoQuillpub", publisherArgs)
                                       : lumo::test::StartPublisher(publisherArgs);
        FinishLingeringRun(monitor, *publisher, Summary(topic, 0, 2000), {{topic, 2000}});

        const auto info = MessagesAt(*monitor, "INFO");
        EXPECT_THAT(info, Contains(Prefix(topic, 0) + " SampleId: 0 Payload size: 64"));
        const int64_t expected = CountSinceLastReset(info, Prefix(topic, 0), IdsFromZero(2000));
        EXPECT_GE(expected, 1997);
        EXPECT_THAT(info, Contains(ExitReport(topic, 0, expected, 0)));
    }
}

// A writer the monitor's profile cannot read: the reader's own line, then why
// the writer does not match and which shipped profile would read it; and,
// with no writer matched, the quiet period's warning with how discovery
// looks. Other tests may share the domain, so the count of participants is
// read, not written out.
TEST(Discovery, AnUnreadableWriterIsExplainedAndTheQuietPeriodIsWarnedOnce)
{
    const auto topic = UniqueTopic("Unread");
    const auto prefix = Prefix(topic, 0);
    auto monitor = StartReadyMonitor({"-d", "-t", topic});
    auto publisher = StartConfinedPublisher({"-t", topic, "--qos-profile", "Lumo_BestEffort_Profile", "-r", "10",
                                             "--duration", "60", "--wait-readers", "0"});
    const std::string warning = "No writer matched by any of the 1 reader(s) for 10 s; other participants discovered: ";
    const std::string discovery = "; discovery: simple, multicast 239.255.0.1:" +
                                  std::to_string(7400 + 250 * TestDomain());
    const auto isWarning = [&](const std::string& message) {
        if (!message.starts_with(warning) || !message.ends_with(discovery)) {
            return false;
        }
        const auto count = message.substr(warning.size(), message.size() - warning.size() - discovery.size());
        return !count.empty() && count.find_first_not_of("0123456789") == count.npos && std::stoul(count) >= 1;
    };
    ASSERT_TRUE(monitor->WaitForLine(
        [&](const std::string& line) {
            const auto text = WithoutTimestamp(line);
            return text.starts_with("WARN  ") && isWarning(text.substr(6));
        },
        40s))
        << monitor->Output();
    EXPECT_EQ(StopWith(*monitor, SIGINT), 0);
    EXPECT_EQ(StopWith(*publisher, SIGINT), 0);

    const auto warnings = MessagesAt(*monitor, "WARN");
    EXPECT_EQ(std::count_if(warnings.begin(), warnings.end(), isWarning), 1) << monitor->Output();
    const auto errors = MessagesAt(*monitor, "ERROR");
    ASSERT_EQ(errors.size(), 2u) << monitor->Output();
    EXPECT_EQ(errors[0], prefix);
    const std::regex explanation(
        RegexEscaped(prefix + " writer ") + R"([0-9a-f.]{35}\|[0-9a-f.]+)" +
        RegexEscaped(" of participant \"Lumo_BestEffort_Profile\" (GUID prefix ") + R"([0-9a-f.]{35})" +
        RegexEscaped(", host 127.0.0.1) does not match: reliability offered BEST_EFFORT, requested RELIABLE. "
                     "Lumo_BestEffort_Profile would read it."));
    EXPECT_TRUE(std::regex_match(errors[1], explanation)) << errors[1];
}

// --list beside two publishers: their participants, topics and writers, each
// writer judged in the "does not match" lines' words, the same in the
// table and in the report; no reader is made.
TEST(Discovery, ListNamesEachPublishersParticipantTopicAndWriterAndWhetherItIsReadable)
{
    const auto readable = UniqueTopic("Listed");
    const auto unreadable = UniqueTopic("ListedBestEffort");
    const auto publishing = [](std::vector<std::string> args) {
        args.insert(args.end(), {"-n", "5", "-r", "100", "--wait-readers", "0", "--linger", "60"});
        return args;
    };
    auto reliable = StartConfinedPublisher(publishing({"-t", readable}));
    auto bestEffort = StartConfinedPublisher(
        publishing({"-t", unreadable, "--qos-profile", "Lumo_BestEffort_Profile"}));
    ASSERT_TRUE(reliable->WaitForText(Summary(readable, 0, 5), PUBLISH_TIMEOUT)) << reliable->Output();
    ASSERT_TRUE(bestEffort->WaitForText(Summary(unreadable, 0, 5), PUBLISH_TIMEOUT)) << bestEffort->Output();

    const ScratchDir scratch;
    const std::string report = scratch.File("list.jsonl");
    auto monitor = StartMonitor(Confined({"-d", "--list", "--duration", "3", "--report", report}));
    ASSERT_EQ(monitor->Wait(EXIT_TIMEOUT), 0) << monitor->Output();
    EXPECT_EQ(StopWith(*reliable), 0);
    EXPECT_EQ(StopWith(*bestEffort), 0);

    EXPECT_THAT(MessagesAt(*monitor, "INFO"),
                Contains("Listing domain " + std::to_string(TestDomain()) + ": waiting 3 s for discovery"));
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"), IsEmpty()) << monitor->Output();
    const auto lines = monitor->Lines();
    EXPECT_THAT(lines, Not(Contains(MONITOR_READY_LINE)));
    EXPECT_THAT(lines, Contains("Domain " + std::to_string(TestDomain()) + ": 2 participant(s), 2 topic(s)"));
    const std::string prefix = R"(([0-9a-f]{2}\.){11}[0-9a-f]{2})";
    for (const char* profile : {"Lumo_Default_Profile", "Lumo_BestEffort_Profile"}) {
        EXPECT_THAT(lines, Contains(::testing::MatchesRegex(
                               RegexEscaped("Participant \"" + std::string(profile) + "\" (GUID prefix ") + prefix +
                               RegexEscaped(", vendor 01.0f eProsima Fast DDS, host ") +
                               "(127\\.0\\.0\\.1|this host \\(shared memory\\))\\)")))
            << monitor->Output();
    }
    const auto topicAndWriter = [&](const std::string& topic) {
        const auto found = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.starts_with("Topic \"" + topic + "\"");
        });
        return found == lines.end() || found + 1 == lines.end() ? std::vector<std::string>{}
                                                                : std::vector<std::string>{*found, *(found + 1)};
    };
    const std::string type = "(type \"lumo::componentFramework::AgnosticTopic\", keyless): ";
    const auto writer = [&](const std::string& profile, const std::string& rest) {
        return ::testing::MatchesRegex(RegexEscaped("  writer ") + prefix + R"(\|0\.0\.1\.3)" +
                                       RegexEscaped(" of participant \"" + profile + "\" (host 127.0.0.1): " + rest));
    };
    EXPECT_THAT(topicAndWriter(readable),
                ::testing::ElementsAre("Topic \"" + readable + "\" " + type + "readable",
                                       writer("Lumo_Default_Profile",
                                              "RELIABLE, VOLATILE, SHARED, the default partition, XCDR1: readable")))
        << monitor->Output();
    EXPECT_THAT(topicAndWriter(unreadable),
                ::testing::ElementsAre("Topic \"" + unreadable + "\" " + type + "not readable",
                                       writer("Lumo_BestEffort_Profile",
                                              "BEST_EFFORT, VOLATILE, SHARED, the default partition, XCDR1: does not "
                                              "match: reliability offered BEST_EFFORT, requested RELIABLE")))
        << monitor->Output();

    const auto records = ReadReport(report);
    EXPECT_EQ(RecordsOf(records, "start").size(), 1u);
    for (const auto& participant : RecordsOf(records, "participant")) {
        EXPECT_EQ(participant["vendor"], "01.0f");
    }
    std::vector<std::string> verdicts;
    for (const auto& topic : RecordsOf(records, "topic")) {
        verdicts.push_back(topic["topic"].get<std::string>() + ": " + topic["verdict"].get<std::string>() + ", " +
                           topic["writers"][0]["readability"].get<std::string>() + " " +
                           topic["writers"][0]["differences"].dump());
    }
    EXPECT_THAT(verdicts,
                ::testing::UnorderedElementsAre(readable + ": readable, readable []",
                                                unreadable +
                                                    ": not readable, not_readable "
                                                    "[\"reliability offered BEST_EFFORT, requested RELIABLE\"]"));
    EXPECT_EQ(RecordsOf(records, "participant").size(), 2u);
}

// --all-topics reads the discovered topics its glob matches, no more than
// -t would take: of 17 matching topics, 15 get a reader as their writers
// appear and one WARN line names the 2 left; a topic outside the glob is
// never read.
TEST(Discovery, AllTopicsReadsFifteenMatchingTopicsAndNamesThoseLeftUnread)
{
    const auto base = UniqueTopic("Every");
    std::vector<std::string> matching;
    for (int i = 0; i < 17; ++i) {
        matching.push_back(base + "_" + std::to_string(100 + i));
    }
    const auto outside = UniqueTopic("Outside");
    const auto publishing = [](std::vector<std::string> topics) {
        std::vector<std::string> args{"-t"};
        args.insert(args.end(), topics.begin(), topics.end());
        args.insert(args.end(), {"-n", "0", "-r", "10", "--wait-readers", "0"});
        return args;
    };
    auto first = StartConfinedPublisher(publishing({matching.begin(), matching.begin() + 15}));
    auto second = StartConfinedPublisher(publishing({matching[15], matching[16], outside}));
    const auto monitor = StartReadyMonitor({"-d", "--all-topics", base + "_*"});
    const std::string warning = "--all-topics reads at most 15 topics; not read: ";
    const std::regex reading(
        R"(.* INFO  \[(.*)\]\[[0-9]+\] Reading type "lumo::componentFramework::AgnosticTopic" \(keyless\))");
    std::vector<std::string> topics; // read, then named as left out
    size_t leftOut = 0;
    const auto note = [&](const std::string& line) {
        std::smatch match;
        if (std::regex_match(line, match, reading)) {
            topics.push_back(match[1]);
        } else if (const auto at = line.find(warning); at != line.npos) {
            std::istringstream names(line.substr(at + warning.size()));
            for (std::string topic; names >> topic; ++leftOut) {
                topics.push_back(topic);
            }
        }
    };
    ASSERT_TRUE(monitor->WaitForLine(
        [&](const std::string& line) {
            note(line);
            return topics.size() - leftOut == 15 && leftOut == 2;
        },
        60s))
        << monitor->Output();
    EXPECT_EQ(StopWith(*monitor, SIGINT), 0) << monitor->Output();
    EXPECT_EQ(StopWith(*first), 0);
    EXPECT_EQ(StopWith(*second), 0);

    // Every line of the run, the ones after the wait too.
    topics.clear();
    leftOut = 0;
    for (const auto& line : monitor->Lines()) {
        note(line);
    }
    std::sort(topics.begin(), topics.end());
    EXPECT_EQ(topics, matching) << "each matching topic is read or named, none twice, " << outside << " neither";
}
