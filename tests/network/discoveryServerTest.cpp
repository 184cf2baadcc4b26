// lumoQuillmon and lumoQuillpub on test hosts (network namespaces, see
// NetworkNamespaces.h) of a network that carries no multicast: every host
// drops it (nft). They find each other through Fast DDS discovery servers
// (fast-discovery-server) on hosts of their own, as clients named by
// ROS_DISCOVERY_SERVER; without a server they find nothing, and the monitor
// says how it was looking. Runs as root; skipped where namespaces cannot be
// created or no server program was found.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NetworkNamespaces.h"
#include "ProcessRunner.h"
#include "TestHostsFixture.h"
#include "TestNames.h"
#include "ToolRuns.h"

using namespace std::chrono_literals;
using lumo::test::ProcessRunner;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

using lumo::test::EXIT_TIMEOUT;
using lumo::test::START_TIMEOUT;
using Clock = std::chrono::steady_clock;

const std::string SERVER_PROGRAM = LUMO_DISCOVERY_SERVER_PROGRAM;
// The hosts are alone on their network, so one fixed domain serves every
// test; its discovery multicast port is 7400 + 250 * 3.
const std::string DOMAIN = "3";
const std::string SERVER_A = "10.77.0.1";
const std::string SERVER_B = "10.77.0.2";
const std::string SERVERS_AB = "10.77.0.1:11811;10.77.0.2:11811";
// A reliable publisher's stream, with a linger so that the monitor is
// stopped before the writer's departure resets its count.
const std::vector<std::string> COUNTED_STREAM{"-r", "200", "-n", "300", "--linger", "20"};
const std::string COUNTED_EXIT = " #samples: 299 #lost samples: 0"; // the count restarts at -1 on the match

// An observed figure, for the record (ctest -V shows it).
void Figure(const std::string& what, double seconds)
{
    std::cout << "[figure] " << what << ": " << seconds << " s" << std::endl;
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t CountOf(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class DiscoveryServer : public lumo::test::TestHostsFixture
{
protected:
    void SetUp() override
    {
        if (SERVER_PROGRAM.empty()) {
            GTEST_SKIP() << "no fast-discovery-server found (Debian package fastdds-tools)";
        }
        TestHostsFixture::SetUp();
    }

    // The hosts on one switch, every one dropping multicast.
    void LanWithoutMulticast(const std::vector<std::string>& hosts) { Lan(hosts, true); }

    // A discovery server with this id (its position in ROS_DISCOVERY_SERVER)
    // on the host's address. With `backup` it keeps its state in a file of
    // the host (in its /dev/shm) and takes it up again when restarted.
    std::unique_ptr<ProcessRunner> Server(const std::string& host, const std::string& address, const std::string& id,
                                          const std::string& port = "11811", bool backup = false)
    {
        std::vector<std::string>
            args{"-c", "cd /dev/shm && exec \"$0\" \"$@\"", SERVER_PROGRAM, "-i", id, "-l", address, "-p", port};
        if (backup) {
            args.push_back("-b");
        }
        auto server = net_->Start(host, "/bin/sh", args);
        EXPECT_TRUE(server->WaitForText("Server is running", START_TIMEOUT)) << server->Output();
        return server;
    }

    static std::vector<std::string> ClientOf(const std::string& servers)
    {
        return servers.empty() ? std::vector<std::string>{}
                               : std::vector<std::string>{"ROS_DISCOVERY_SERVER=" + servers};
    }

    std::unique_ptr<ProcessRunner> Monitor(const std::string& host, const std::vector<std::string>& topics,
                                           const std::string& servers)
    {
        std::vector<std::string> args{"-d", "--domain-id", DOMAIN, "-t"};
        args.insert(args.end(), topics.begin(), topics.end());
        auto monitor = net_->Start(host, LUMO_QUILLMON_PATH, args, ClientOf(servers));
        EXPECT_TRUE(monitor->WaitForText(lumo::test::MONITOR_READY_LINE, START_TIMEOUT)) << monitor->Output();
        return monitor;
    }

    std::unique_ptr<ProcessRunner> Publisher(const std::string& host, const std::string& topic,
                                             const std::string& servers, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--domain-id", DOMAIN, "-t", topic});
        return net_->Start(host, LUMO_QUILLPUB_PATH, args, ClientOf(servers));
    }

    // The publisher of COUNTED_STREAM has had every sample acknowledged.
    static void ExpectAcknowledged(ProcessRunner& publisher, const std::string& topic)
    {
        EXPECT_TRUE(publisher.WaitForText("[" + topic + "][0] samples written: 300 ids skipped: 0", 60s))
            << publisher.Output();
        EXPECT_THAT(publisher.Output(), Not(HasSubstr("not every sample was acknowledged")));
    }

    static void Stop(ProcessRunner& process)
    {
        process.Signal(SIGINT);
        EXPECT_EQ(process.Wait(EXIT_TIMEOUT), 0) << process.Output();
    }

    static void Kill(ProcessRunner& process)
    {
        process.Signal(SIGKILL);
        EXPECT_EQ(process.Wait(EXIT_TIMEOUT), -SIGKILL);
    }

    const std::string topicA_ = lumo::test::UniqueTopic("DsA");
    const std::string topicB_ = lumo::test::UniqueTopic("DsB");
    const std::string prefixA_ = "[" + topicA_ + "][0]";
    const std::string prefixB_ = "[" + topicB_ + "][1]";
};

TEST_F(DiscoveryServer, MonitorAndPublishersAsClientsReadEverySample)
{
    LanWithoutMulticast({"ds", "pubA", "pubB", "mon"});
    auto server = Server("ds", SERVER_A, "0");
    auto monitor = Monitor("mon", {topicA_, topicB_}, SERVER_A + ":11811");
    auto publisherA = Publisher("pubA", topicA_, SERVER_A + ":11811", COUNTED_STREAM);
    auto publisherB = Publisher("pubB", topicB_, SERVER_A, COUNTED_STREAM); // the port defaults to 11811
    ExpectAcknowledged(*publisherA, topicA_);
    ExpectAcknowledged(*publisherB, topicB_);
    Stop(*monitor);

    const auto messages = monitor->Messages();
    for (const auto& prefix : {prefixA_, prefixB_}) {
        EXPECT_EQ(CountOf(messages, "INFO  " + prefix), 1u) << "one match, no unmatch\n" << monitor->Output();
        EXPECT_THAT(messages, Contains("INFO  " + prefix + " SampleId: 0 Payload size: 64"));
        EXPECT_THAT(messages, Contains("INFO   " + prefix + COUNTED_EXIT)) << monitor->Output();
    }
    EXPECT_THAT(lumo::test::MessagesAt(*monitor, "WARN"), IsEmpty());
    for (auto* publisher : {publisherA.get(), publisherB.get()}) {
        Stop(*publisher);
    }
}

TEST_F(DiscoveryServer, BackupServerKeepsDiscoveryGoingWhenTheFirstDies)
{
    LanWithoutMulticast({"dsA", "dsB", "pubA", "pubB", "mon"});
    auto serverA = Server("dsA", SERVER_A, "0");
    auto serverB = Server("dsB", SERVER_B, "1");
    const auto monitorStarted = Clock::now();
    auto monitor = Monitor("mon", {topicA_, topicB_}, SERVERS_AB);
    auto publisherA = Publisher("pubA", topicA_, SERVERS_AB, {"-r", "100", "--duration", "60"});
    ASSERT_TRUE(monitor->WaitForText(prefixA_ + " SampleId: 0 Payload size: 64", START_TIMEOUT)) << monitor->Output();

    Kill(*serverA);
    std::this_thread::sleep_for(2s);
    const auto started = Clock::now();
    auto publisherB = Publisher("pubB", topicB_, SERVERS_AB, COUNTED_STREAM);
    ASSERT_TRUE(monitor->WaitForText(prefixB_ + " SampleId: 0 Payload size: 64", 30s)) << monitor->Output();
    const double discovered = SecondsSince(started);
    ExpectAcknowledged(*publisherB, topicB_);
    // Long enough for the no-match warning, had it been due: one reader
    // had its writer all along.
    std::this_thread::sleep_until(monitorStarted + 12s);
    Stop(*monitor);

    const auto messages = monitor->Messages();
    // The first stream flowed on through the server's death: one match, no
    // gap, no unmatch.
    EXPECT_EQ(CountOf(messages, "INFO  " + prefixA_), 1u) << monitor->Output();
    EXPECT_THAT(monitor->Output(), Not(HasSubstr(prefixA_ + " sample id mismatch")));
    EXPECT_THAT(messages, Contains(::testing::StartsWith("INFO   " + prefixA_ + " #samples: ")));
    EXPECT_THAT(messages, Contains("INFO   " + prefixB_ + COUNTED_EXIT)) << monitor->Output();
    EXPECT_THAT(lumo::test::MessagesAt(*monitor, "WARN"), IsEmpty());
    Figure("backup: a publisher started after the first server died was read after", discovered);
    Stop(*publisherA);
    Stop(*publisherB);
}

TEST_F(DiscoveryServer, RestartedServerLetsTheMonitorDiscoverANewPublisher)
{
    // Restarted without its backup, a 2.9 server comes back under the same
    // GUID with its announcements numbered from 1 again, which its clients
    // take for old news: a publisher started after the restart went
    // unnoticed for over a minute in 2 runs of 5.
    LanWithoutMulticast({"ds", "pubA", "pubB", "mon"});
    auto server = Server("ds", SERVER_A, "0", "11811", true);
    auto monitor = Monitor("mon", {topicA_, topicB_}, SERVER_A + ":11811");
    auto publisherA = Publisher("pubA", topicA_, SERVER_A + ":11811", {"-r", "100", "--duration", "120"});
    ASSERT_TRUE(monitor->WaitForText(prefixA_ + " SampleId: 0 Payload size: 64", START_TIMEOUT)) << monitor->Output();

    Kill(*server);
    std::this_thread::sleep_for(1s);
    server = Server("ds", SERVER_A, "0", "11811", true);
    const auto restarted = Clock::now();
    auto publisherB = Publisher("pubB", topicB_, SERVER_A + ":11811", {"-r", "100", "--duration", "120"});
    // Generous: the bound itself is printed below, and stated in docs/discovery-server.md.
    ASSERT_TRUE(monitor->WaitForText(prefixB_ + " SampleId: 0 Payload size: 64", 60s)) << monitor->Output();
    const double discovered = SecondsSince(restarted);
    std::this_thread::sleep_for(1s);
    Stop(*monitor);

    const auto messages = monitor->Messages();
    EXPECT_EQ(CountOf(messages, "INFO  " + prefixA_), 1u) << "the first writer stayed matched\n" << monitor->Output();
    EXPECT_THAT(monitor->Output(), Not(HasSubstr(prefixA_ + " sample id mismatch")));
    EXPECT_THAT(monitor->Output(), Not(HasSubstr(prefixB_ + " sample id mismatch")));
    Figure("restart: a publisher started after the server's restart was read after", discovered);
    Stop(*publisherA);
    Stop(*publisherB);
}

TEST_F(DiscoveryServer, WithoutServerAndMulticastNothingIsFoundAndTheMonitorSaysHowItLooked)
{
    LanWithoutMulticast({"ds", "pub", "monClient", "monSimple"});
    // Neither a server nor multicast: the client monitor asks an address
    // where no server runs, the simple one multicasts into the drop, and the
    // publisher (simple discovery) does the same.
    auto client = Monitor("monClient", {topicA_}, SERVER_A + ":11811");
    auto simple = Monitor("monSimple", {topicA_}, "");
    auto lonely = Publisher("pub", topicA_, "", {"-r", "10", "--duration", "120", "--wait-readers", "0"});
    const std::string clientWarning = "WARN  No writer matched by any of the 1 reader(s) for 10 s; "
                                      "other participants discovered: 0; "
                                      "discovery: server, client of 10.77.0.1:11811 (ROS_DISCOVERY_SERVER)";
    const std::string simpleWarning = "WARN  No writer matched by any of the 1 reader(s) for 10 s; "
                                      "other participants discovered: 0; "
                                      "discovery: simple, multicast 239.255.0.1:8150";
    const auto isLine = [](const std::string& text) {
        return [text](const std::string& line) { return lumo::test::WithoutTimestamp(line) == text; };
    };
    ASSERT_TRUE(client->WaitForLine(isLine(clientWarning), 20s)) << client->Output();
    ASSERT_TRUE(simple->WaitForLine(isLine(simpleWarning), 5s)) << simple->Output();
    EXPECT_GT(net_->DroppedMulticast("monSimple"), 0u) << "the simple monitor never tried multicast";

    // A server comes, on a port the first monitors do not ask: a client
    // publisher is read by a client monitor, then leaves. Only the quiet
    // period after its departure brings that monitor's next line.
    auto server = Server("ds", SERVER_A, "0", "11812");
    auto visitor = Publisher("pub", topicB_, SERVER_A + ":11812", {"-r", "100", "-n", "100"});
    auto clientB = Monitor("monClient", {topicB_}, SERVER_A + ":11812");
    EXPECT_EQ(visitor->Wait(60s), 0) << visitor->Output();
    const std::string secondWarning = "WARN  No writer matched by any of the 1 reader(s) for 10 s; "
                                      "other participants discovered: 1; "
                                      "discovery: server, client of 10.77.0.1:11812 (ROS_DISCOVERY_SERVER)";
    ASSERT_TRUE(clientB->WaitForLine(isLine(secondWarning), 20s)) << clientB->Output();
    for (auto* monitor : {client.get(), simple.get(), clientB.get()}) {
        Stop(*monitor);
    }

    // Each quiet period told once: the first monitors had one all along,
    // the last had two, the visitor's match and unmatch between them, and
    // the first too short for a line.
    EXPECT_EQ(CountOf(client->Messages(), clientWarning), 1u) << client->Output();
    EXPECT_EQ(CountOf(simple->Messages(), simpleWarning), 1u) << simple->Output();
    for (auto* monitor : {client.get(), simple.get()}) {
        EXPECT_THAT(monitor->Output(), Not(HasSubstr("SampleId"))) << "nothing was discovered";
    }
    std::vector<std::string> sequence;
    const std::string prefix = "[" + topicB_ + "][0]";
    for (const auto& line : clientB->Messages()) {
        if (line.starts_with("WARN  No writer") || line == "INFO  " + prefix) {
            sequence.push_back(line);
        }
    }
    EXPECT_THAT(sequence, ElementsAre("INFO  " + prefix, "INFO  " + prefix, secondWarning)) << clientB->Output();
    Stop(*lonely);
}

} // namespace
