// lumoQuillpub and lumoQuillmon on separate test hosts (network namespaces
// of this machine, see NetworkNamespaces.h): discovery and data over real
// links, the interface allow-list, a multicast group, lossy links and a
// partition. Runs as root; skipped where namespaces cannot be created.
#include <algorithm>
#include <csignal>
#include <iostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ExpectedLines.h"
#include "NetworkNamespaces.h"
#include "PacketCapture.h"
#include "ProcessRunner.h"
#include "TestHostsFixture.h"
#include "TestNames.h"
#include "ToolRuns.h"

using namespace std::chrono_literals;
using namespace lumo::test;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string& READY_LINE = lumo::test::MONITOR_READY_LINE;
// The shipped profiles. The reliable tests that wait for the statistics a
// writer's departure prints use the one whose reader watches writer
// liveliness (3 s lease); the default reader prints none.
const std::string QOS_FILE = LUMO_SHIPPED_QOS_FILE;
const std::string LIVELINESS_PROFILE = "Lumo_Liveliness_Profile";
const std::string BEST_EFFORT_PROFILE = "Lumo_BestEffort_Profile";

// What the monitor logged about one reader, from its INFO lines.
struct ReaderLog
{
    std::vector<uint32_t> firstIds; // "Payload size" lines: each reset's first sample
    std::vector<std::pair<uint32_t, uint32_t>> mismatches;
    // The last liveliness statistics line.
    bool statistics = false;
    int64_t statisticsSamples = 0;
    uint64_t statisticsErrors = 0;
};

ReaderLog ParseReaderLog(const ProcessRunner& monitor, const std::string& readerPrefix)
{
    const std::string prefix = RegexEscaped(readerPrefix);
    const std::regex payload("^INFO  " + prefix + R"( SampleId: (\d+) Payload size: \d+$)");
    const std::regex mismatch("^INFO  " + prefix + R"( sample id mismatch last: (\d+) current: (\d+)$)");
    const std::regex statistics("^INFO  " + prefix +
                                R"( Total sample received: (-?\d+) Avg: \S+ Freq: \S+ Total sample errors: (\d+)$)");
    ReaderLog log;
    std::smatch m;
    for (const auto& line : monitor.Messages()) {
        if (std::regex_match(line, m, payload)) {
            log.firstIds.push_back(static_cast<uint32_t>(std::stoul(m[1])));
        } else if (std::regex_match(line, m, mismatch)) {
            log.mismatches.emplace_back(std::stoul(m[1]), std::stoul(m[2]));
        } else if (std::regex_match(line, m, statistics)) {
            log.statistics = true;
            log.statisticsSamples = std::stoll(m[1]);
            log.statisticsErrors = std::stoull(m[2]);
        }
    }
    return log;
}

// A reliable stream of `count` samples from id 0 arrived whole: it starts at
// id 0, no gap was seen, and the statistics that the writer's departure
// prints count every sample since the last reset (whose first id is the
// last "Payload size" line).
void ExpectWholeStream(const ProcessRunner& monitor, const std::string& prefix, uint32_t count)
{
    const auto log = ParseReaderLog(monitor, prefix);
    ASSERT_FALSE(log.firstIds.empty()) << monitor.Output();
    EXPECT_EQ(log.firstIds.front(), 0u) << monitor.Output();
    EXPECT_TRUE(log.mismatches.empty()) << monitor.Output();
    ASSERT_TRUE(log.statistics) << monitor.Output();
    EXPECT_EQ(log.statisticsSamples, static_cast<int64_t>(count - log.firstIds.back())) << monitor.Output();
    EXPECT_EQ(log.statisticsErrors, 0u);
}

// An observed figure, for the record (ctest -V shows it).
void Figure(const std::string& what, const std::string& value)
{
    std::cout << "[figure] " << what << ": " << value << std::endl;
}

class CrossHost : public lumo::test::TestHostsFixture
{
protected:
    // Hosts "pub" and "mon" on one direct link: pub's p1 10.77.1.1, mon's m1
    // 10.77.1.2.
    void PointToPoint()
    {
        net_->AddHost("pub");
        net_->AddHost("mon");
        net_->Link("pub", "p1", "10.77.1.1/24", "mon", "m1", "10.77.1.2/24");
        net_->RouteMulticast("pub", "p1");
        net_->RouteMulticast("mon", "m1");
    }

    std::vector<std::string> Domain() const { return {"--domain-id", std::to_string(lumo::test::TestDomain())}; }

    std::unique_ptr<ProcessRunner> Monitor(const std::string& host, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-d", "-t", topic_});
        const auto domain = Domain();
        args.insert(args.end(), domain.begin(), domain.end());
        auto monitor = net_->Start(host, LUMO_QUILLMON_PATH, args);
        EXPECT_TRUE(monitor->WaitForText(READY_LINE, START_TIMEOUT)) << monitor->Output();
        return monitor;
    }

    std::unique_ptr<ProcessRunner> Publisher(const std::string& host, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-t", topic_});
        const auto domain = Domain();
        args.insert(args.end(), domain.begin(), domain.end());
        return net_->Start(host, LUMO_QUILLPUB_PATH, args);
    }

    // Waits for the summary of a publisher that publishes a fixed count.
    void ExpectPublished(ProcessRunner& publisher, uint32_t count)
    {
        ASSERT_EQ(publisher.Wait(60s), 0) << publisher.Output();
        EXPECT_THAT(publisher.Lines(),
                    Contains(Prefix() + " samples written: " + std::to_string(count) +
                             " ids skipped: 0 ids repeated: 0 samples corrupted: 0 write failures: 0"));
        EXPECT_THAT(publisher.Output(), Not(HasSubstr("not every sample was acknowledged")));
    }

    // Waits for the statistics line that the writer's departure prints,
    // then stops the monitor.
    void StopAfterWriterLeft(ProcessRunner& monitor)
    {
        EXPECT_TRUE(monitor.WaitForText(Prefix() + " Total sample received: ", 15s)) << monitor.Output();
        EXPECT_EQ(lumo::test::StopWith(monitor, SIGINT), 0) << monitor.Output();
    }

    std::string Prefix() const { return "[" + topic_ + "][0]"; }

    const std::string topic_ = lumo::test::UniqueTopic("CrossHost");
};

TEST_F(CrossHost, TwoMonitorsOnTwoHostsReadOnePublisherWithTheDefaultProfile)
{
    Lan({"pub", "monA", "monB"});
    auto monA = Monitor("monA", {});
    auto monB = Monitor("monB", {});
    auto publisher = Publisher("pub", {"-r", "100", "--duration", "30", "--wait-readers", "2"});
    ASSERT_TRUE(publisher->WaitForText(Prefix() + " matched 2 reader(s)", START_TIMEOUT)) << publisher->Output();

    for (auto* monitor : {monA.get(), monB.get()}) {
        EXPECT_TRUE(monitor->WaitForText(Prefix() + " SampleId: 0 Payload size: 64", 10s)) << monitor->Output();
    }
    // The shipped profile reports no liveliness change, and the writer's
    // departure resets the counts: stop the monitors while it publishes.
    std::this_thread::sleep_for(2s);
    const std::regex exitLine(R"(^INFO   \[)" + topic_ + R"(\]\[0\] #samples: (\d+) #lost samples: 0$)");
    for (auto* monitor : {monA.get(), monB.get()}) {
        ASSERT_EQ(lumo::test::StopWith(*monitor, SIGINT), 0) << monitor->Output();
        const auto messages = monitor->Messages();
        // One match, then samples only: no gap, no unmatch, no restart.
        EXPECT_EQ(std::count(messages.begin(), messages.end(), "INFO  " + Prefix()), 1) << monitor->Output();
        std::smatch m;
        const auto line = std::find_if(messages.begin(), messages.end(),
                                       [&](const std::string& s) { return std::regex_match(s, m, exitLine); });
        ASSERT_NE(line, messages.end()) << monitor->Output();
        std::regex_match(*line, m, exitLine);
        EXPECT_GE(std::stoi(m[1]), 150) << "2 s at 100 samples/s";
        Figure(monitor == monA.get() ? "monA samples" : "monB samples", m[1]);
    }
    EXPECT_EQ(lumo::test::StopWith(*publisher, SIGINT), 0) << publisher->Output();
}

TEST_F(CrossHost, AllowInterfacesKeepsTheMonitorOffTheOtherLink)
{
    // Two links between the hosts: 10.77.1.0/24 (p1-m1) and 10.77.2.0/24
    // (p2-m2). Multicast goes through the first link on both hosts.
    PointToPoint();
    net_->Link("pub", "p2", "10.77.2.1/24", "mon", "m2", "10.77.2.2/24");
    struct Case
    {
        std::vector<std::string> monitorAllows; // by name or by address
        std::vector<std::string> publisherAllows;
        std::string link;    // the monitor's interface that must carry the stream
        std::string address; // the monitor's address there
        std::string other;   // its other interface
        std::string otherAddress;
        std::string peerOnOther; // the publisher's address on the other network
    };
    const std::vector<Case> cases{
        {{"m1"}, {}, "m1", "10.77.1.2", "m2", "10.77.2.2", "10.77.2.1"},
        {{"10.77.2.2"}, {"-a", "p2"}, "m2", "10.77.2.2", "m1", "10.77.1.2", "10.77.1.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("-a " + c.monitorAllows.front());
        PacketCapture used(*net_, "mon", c.link, "udp");
        PacketCapture unused(*net_, "mon", c.other, "udp");
        std::vector<std::string> args{"--qos-file", QOS_FILE, "--qos-profile", LIVELINESS_PROFILE, "-a"};
        args.insert(args.end(), c.monitorAllows.begin(), c.monitorAllows.end());
        auto monitor = Monitor("mon", args);
        std::vector<std::string> publisherArgs{"-r", "200", "-n", "200"};
        publisherArgs.insert(publisherArgs.end(), c.publisherAllows.begin(), c.publisherAllows.end());
        auto publisher = Publisher("pub", publisherArgs);
        ExpectPublished(*publisher, 200);
        StopAfterWriterLeft(*monitor);
        ExpectWholeStream(*monitor, Prefix(), 200);

        const auto carried = used.Stop();
        const auto elsewhere = unused.Stop();
        size_t samples = 0;
        for (const auto& d : carried) {
            samples += d.destination == c.address ? lumo::test::UserSampleIds(d).size() : 0;
        }
        EXPECT_GE(samples, 200u) << "the stream crosses the allowed link";
        // Nothing reaches or leaves the monitor's address on the other link,
        // and no sample crosses it.
        EXPECT_EQ(lumo::test::CountInvolving(elsewhere, c.otherAddress), 0u);
        size_t routedByDestination = 0;
        for (const auto& d : elsewhere) {
            EXPECT_THAT(lumo::test::UserSampleIds(d), ::testing::IsEmpty()) << d.source << " > " << d.destination;
            if (d.source == c.address) {
                // Fast DDS (2.9 and 3.6) sends from the allowed address to every
                // address the publisher announces; the kernel routes a
                // datagram to the publisher's other address through the
                // other link. Only an unrestricted publisher announces it.
                EXPECT_TRUE(c.publisherAllows.empty());
                EXPECT_EQ(d.destination, c.peerOnOther);
                ++routedByDestination;
            }
        }
        Figure("allow " + c.monitorAllows.front() + ": datagrams from/to the monitor on " + c.link,
               std::to_string(lumo::test::CountInvolving(carried, c.address)));
        Figure("allow " + c.monitorAllows.front() + ": monitor datagrams on " + c.other + " (to " + c.peerOnOther + ")",
               std::to_string(routedByDestination));
    }
}

TEST_F(CrossHost, MulticastGroupCarriesTheDataToTwoMonitors)
{
    const std::string group = "239.255.77.1";
    Lan({"pub", "monA", "monB"});
    PacketCapture capture(*net_, "monA", "eth0", "udp");
    auto monA = Monitor("monA", {"-m", group, "--qos-file", QOS_FILE, "--qos-profile", LIVELINESS_PROFILE});
    auto monB = Monitor("monB", {"-m", group, "--qos-file", QOS_FILE, "--qos-profile", LIVELINESS_PROFILE});
    EXPECT_TRUE(monA->WaitForText("INFO  Multicast address: " + group, 1s));
    auto publisher = Publisher("pub", {"-r", "200", "-n", "300", "--wait-readers", "2"});
    ExpectPublished(*publisher, 300);
    for (auto* monitor : {monA.get(), monB.get()}) {
        StopAfterWriterLeft(*monitor);
        ExpectWholeStream(*monitor, Prefix(), 300);
    }

    // Every sample reached monA's host on the group's port (the domain's user
    // multicast port, 7401 + 250 * domain); by unicast at most a repeat (a
    // repair may go to a reader's own address).
    const uint16_t port = static_cast<uint16_t>(7401 + 250 * lumo::test::TestDomain());
    std::vector<bool> onGroup(300, false);
    std::vector<uint32_t> unicast;
    for (const auto& d : capture.Stop()) {
        for (const auto id : lumo::test::UserSampleIds(d)) {
            ASSERT_LT(id, onGroup.size());
            if (d.destination == group) {
                EXPECT_EQ(d.destinationPort, port);
                onGroup[id] = true;
            } else {
                unicast.push_back(id);
            }
        }
    }
    EXPECT_EQ(std::count(onGroup.begin(), onGroup.end(), false), 0);
    for (const auto id : unicast) {
        EXPECT_TRUE(onGroup[id]) << "sample " << id << " came by unicast only";
    }
    Figure("multicast: samples on " + group + " at monA / also by unicast",
           std::to_string(std::count(onGroup.begin(), onGroup.end(), true)) + " / " + std::to_string(unicast.size()));

    auto bad = net_->Start("monA", LUMO_QUILLMON_PATH, {"-t", topic_, "-m", "10.77.0.9"});
    EXPECT_EQ(bad->Wait(EXIT_TIMEOUT), 1);
    EXPECT_THAT(bad->Messages(), Contains("ERROR ERROR: invalid multicast address '10.77.0.9' for topic '" + topic_ +
                                          "' (expected an IPv4 group, 224.0.0.0 to 239.255.255.255)"));
}

TEST_F(CrossHost, ReliableProfileOverALossyLinkDeliversEverySample)
{
    PointToPoint();
    // 5 % of the datagrams each way: data, heartbeats and acknowledgements.
    net_->DropOutgoing("pub", "p1", 5);
    net_->DropOutgoing("mon", "m1", 5);
    auto monitor = Monitor("mon", {"--qos-file", QOS_FILE, "--qos-profile", LIVELINESS_PROFILE});
    auto publisher = Publisher("pub", {"-r", "200", "-n", "1000", "--ack-timeout", "30"});
    ExpectPublished(*publisher, 1000);
    StopAfterWriterLeft(*monitor);
    ExpectWholeStream(*monitor, Prefix(), 1000);

    const auto droppedToMonitor = net_->DroppedOutgoing("pub");
    EXPECT_GT(droppedToMonitor, 10u) << "the link lost nothing: the test proves nothing";
    Figure("reliable: samples sent", "1000");
    Figure("reliable: datagrams dropped pub->mon / mon->pub",
           std::to_string(droppedToMonitor) + " / " + std::to_string(net_->DroppedOutgoing("mon")));
    const auto log = ParseReaderLog(*monitor, Prefix());
    Figure("reliable: samples counted since the last reset (first id " + std::to_string(log.firstIds.back()) + ")",
           std::to_string(log.statisticsSamples));
}

TEST_F(CrossHost, BestEffortOverALossyLinkCountsEveryGapOnce)
{
    PointToPoint();
    net_->DropOutgoing("pub", "p1", 5);
    // Dropped on the publisher's way out, so the capture on the monitor's
    // host holds exactly the samples that reached it.
    PacketCapture capture(*net_, "mon", "m1", "udp");
    auto monitor = Monitor("mon", {"--qos-file", QOS_FILE, "--qos-profile", BEST_EFFORT_PROFILE});
    auto publisher = Publisher("pub", {"--qos-profile", "Lumo_BestEffort_Profile", "-r", "200", "--duration", "60"});
    // Killed mid-stream, the publisher sends no farewell that could overtake
    // its last samples inside the monitor: its writer falls silent. The
    // monitor is stopped once every sample on the link has long arrived, and
    // before the participant's lease (6 s) ends the match and resets the
    // counts.
    ASSERT_TRUE(publisher->WaitForText(Prefix() + " written so far: ", START_TIMEOUT)) << publisher->Output();
    EXPECT_EQ(lumo::test::StopWith(*publisher, SIGKILL), -SIGKILL);
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(lumo::test::StopWith(*monitor, SIGINT), 0) << monitor->Output();

    std::vector<uint32_t> arrived;
    for (const auto& d : capture.Stop()) {
        for (const auto id : lumo::test::UserSampleIds(d)) {
            arrived.push_back(id);
        }
    }
    ASSERT_TRUE(std::is_sorted(arrived.begin(), arrived.end())) << "a single link keeps the order";
    ASSERT_GT(arrived.size(), 500u);

    // The monitor's view: counting starts with its first sample and
    // restarts (without a continuity check) at every "Payload size" line.
    const auto log = ParseReaderLog(*monitor, Prefix());
    ASSERT_FALSE(log.firstIds.empty()) << monitor->Output();
    auto from = std::find(arrived.begin(), arrived.end(), log.firstIds.front());
    ASSERT_NE(from, arrived.end());
    std::vector<std::pair<uint32_t, uint32_t>> discontinuities;
    std::vector<int64_t> segments{1}; // samples counted since each restart
    for (auto it = from + 1; it != arrived.end(); ++it) {
        if (segments.size() < log.firstIds.size() && *it == log.firstIds[segments.size()]) {
            segments.push_back(1);
            continue;
        }
        ++segments.back();
        if (*it != *(it - 1) + 1) {
            discontinuities.emplace_back(*(it - 1), *it);
        }
    }
    EXPECT_EQ(segments.size(), log.firstIds.size()) << "every restart lies on an id that arrived";
    EXPECT_FALSE(discontinuities.empty()) << "5 % loss left no gap: the test proves nothing";
    // Each gap counted once, exactly where the ids jump, and nothing else.
    EXPECT_THAT(log.mismatches, ElementsAreArray(discontinuities));
    // The count restarts at -1 with the match, the only reset here.
    EXPECT_THAT(monitor->Messages(),
                Contains("INFO   " + Prefix() + " #samples: " + std::to_string(segments.back() - 1) +
                         " #lost samples: " + std::to_string(discontinuities.size())));

    Figure("best effort: samples sent (highest id + 1)", std::to_string(arrived.back() + 1));
    Figure("best effort: datagrams dropped", std::to_string(net_->DroppedOutgoing("pub")));
    Figure("best effort: samples that reached the monitor's host", std::to_string(arrived.size()));
    Figure("best effort: first sample the monitor took", std::to_string(*from));
    Figure("best effort: missing ids (from the first received)",
           std::to_string(arrived.back() - *from + 1 - static_cast<uint32_t>(arrived.end() - from)));
    Figure("best effort: discontinuities counted", std::to_string(discontinuities.size()));
}

TEST_F(CrossHost, PartitionIsReportedAndHealed)
{
    PointToPoint();
    auto monitor = Monitor("mon", {"--qos-file", QOS_FILE, "--qos-profile", LIVELINESS_PROFILE});
    auto publisher = Publisher("pub", {"-r", "100", "--duration", "60"});
    const std::string matched = "INFO  " + Prefix();
    const std::string alive = matched +
                              " alive_count: 1 not_alive_count: 0 alive_count_change: 1 not_alive_count_change: 0";
    const std::string lost = matched +
                             " alive_count: 0 not_alive_count: 1 alive_count_change: -1 not_alive_count_change: 1";
    const std::string gone = matched +
                             " alive_count: 0 not_alive_count: 0 alive_count_change: 0 not_alive_count_change: -1";
    const std::string statistics = matched + " Total sample received: ";
    // The n-th line (from 1) that reads `text` once the time stamp is off.
    const auto nth = [](const std::string& text, int n) {
        return [text, n, seen = 0](const std::string& line) mutable {
            return lumo::test::WithoutTimestamp(line) == text && ++seen == n;
        };
    };
    ASSERT_TRUE(monitor->WaitForLine(nth(alive, 1), START_TIMEOUT)) << monitor->Output();
    std::this_thread::sleep_for(2s);

    using Clock = std::chrono::steady_clock;
    const auto since = [](Clock::time_point start) {
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    const auto cut = Clock::now();
    net_->SetLinkUp("pub", "p1", false);
    ASSERT_TRUE(monitor->WaitForLine(nth(lost, 1), 10s)) << monitor->Output();
    const double livelinessLost = since(cut);
    ASSERT_TRUE(monitor->WaitForLine(nth(matched, 2), 10s)) << monitor->Output();
    const double unmatched = since(cut);
    // Writer lease 3 s, participant lease 6 s.
    EXPECT_GE(livelinessLost, 2.5);
    EXPECT_LE(livelinessLost, 5.0);
    EXPECT_GE(unmatched, 5.5);
    EXPECT_LE(unmatched, 9.0);

    std::this_thread::sleep_for(1s);
    const auto heal = Clock::now();
    net_->SetLinkUp("pub", "p1", true);
    net_->RouteMulticast("pub", "p1"); // the route went down with the link
    ASSERT_TRUE(monitor->WaitForLine(nth(alive, 2), 20s)) << monitor->Output();
    const double rejoined = since(heal);
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(lumo::test::StopWith(*monitor, SIGINT), 0) << monitor->Output();
    EXPECT_EQ(lumo::test::StopWith(*publisher, SIGINT), 0) << publisher->Output();

    // Every status line, in order: match, alive; lost (with the statistics
    // gathered since the alive reset), writer gone, unmatch; match, alive.
    std::vector<std::string> status;
    for (const auto& line : monitor->Messages()) {
        if (line == matched || line.starts_with(matched + " alive_count: ")) {
            status.push_back(line);
        } else if (line.starts_with(statistics)) {
            status.push_back(statistics);
        }
    }
    EXPECT_THAT(status, ElementsAreArray({matched, alive, lost, statistics, gone, matched, matched, alive}))
        << monitor->Output();

    const auto log = ParseReaderLog(*monitor, Prefix());
    ASSERT_TRUE(log.statistics);
    EXPECT_GT(log.statisticsSamples, 150) << "2 s at 100 samples/s";
    EXPECT_EQ(log.statisticsErrors, 0u);
    // Counting restarts after the match with a first sample, not a gap.
    EXPECT_TRUE(log.mismatches.empty()) << monitor->Output();
    ASSERT_GE(log.firstIds.size(), 2u);
    EXPECT_GT(log.firstIds.back(), static_cast<uint32_t>(log.statisticsSamples));
    const std::regex exitLine("^INFO   " + RegexEscaped(Prefix()) + R"( #samples: (\d+) #lost samples: 0$)");
    const auto messages = monitor->Messages();
    std::smatch m;
    ASSERT_TRUE(std::any_of(messages.begin(), messages.end(), [&](const std::string& l) {
        return std::regex_match(l, m, exitLine);
    })) << monitor->Output();
    EXPECT_GE(std::stoi(m[1]), 150) << "2 s at 100 samples/s since the writer came back";

    Figure("partition: liveliness lost after (s)", std::to_string(livelinessLost));
    Figure("partition: unmatched after (s)", std::to_string(unmatched));
    Figure("partition: alive again after the heal (s)", std::to_string(rejoined));
    Figure("partition: samples counted before the cut / after the heal",
           std::to_string(log.statisticsSamples) + " / " + m[1].str());
}

} // namespace
