// The report on a lossy best-effort link between two test hosts (network
// namespaces, root only): the monitor tells the samples the middleware never
// delivered from the ids the publisher never wrote, and the capture on the
// monitor's host says which ids crossed the link.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "NetworkNamespaces.h"
#include "PacketCapture.h"
#include "ProcessRunner.h"
#include "ReportSchema.h"
#include "TestNames.h"
#include "ToolRuns.h"

using namespace std::chrono_literals;
using lumo::test::NetworkNamespaces;
using lumo::test::PacketCapture;

namespace {

TEST(ReportCrossHost, BestEffortLossyLinkTellsMiddlewareLossFromPublisherSkips)
{
    if (const auto reason = NetworkNamespaces::Unavailable(); !reason.empty()) {
        GTEST_SKIP() << "cross-host tests need network namespaces (root): " << reason;
    }
    const std::string topic = lumo::test::UniqueTopic("ReportLossy");
    const std::string domain = std::to_string(lumo::test::TestDomain());
    const std::string report = "/tmp/lumo-report-net-" + std::to_string(getpid()) + ".jsonl";
    {
        NetworkNamespaces net;
        net.AddHost("pub");
        net.AddHost("mon");
        net.Link("pub", "p1", "10.77.1.1/24", "mon", "m1", "10.77.1.2/24");
        net.RouteMulticast("pub", "p1");
        net.RouteMulticast("mon", "m1");
        // Dropped on the publisher's way out: the capture on the monitor's
        // host holds exactly what reached it.
        net.DropOutgoing("pub", "p1", 5);
        PacketCapture capture(net, "mon", "m1", "udp");
        auto monitor = net.Start("mon", LUMO_QUILLMON_PATH,
                                 {"-t", topic, "--domain-id", domain, "--qos-file", LUMO_SHIPPED_QOS_FILE,
                                  "--qos-profile", "Lumo_BestEffort_Profile", "--report", report, "--fail-on",
                                  "middleware-loss"});
        ASSERT_TRUE(monitor->WaitForText(lumo::test::MONITOR_READY_LINE, lumo::test::START_TIMEOUT))
            << monitor->Output();
        // Every 25th id skipped by the publisher itself.
        auto publisher = net.Start("pub", LUMO_QUILLPUB_PATH,
                                   {"-t", topic, "--domain-id", domain, "--qos-profile", "Lumo_BestEffort_Profile",
                                    "-r", "200", "-n", "1000", "--skip-every", "25", "--ack-timeout", "0"});
        ASSERT_EQ(publisher->Wait(60s), 0) << publisher->Output();
        std::this_thread::sleep_for(1s);
        monitor->Signal(SIGINT);
        // Samples went missing in the middleware: --fail-on middleware-loss.
        EXPECT_EQ(monitor->Wait(lumo::test::EXIT_TIMEOUT), 2) << monitor->Output();

        std::set<uint32_t> arrived;
        for (const auto& d : capture.Stop()) {
            for (const auto id : lumo::test::UserSampleIds(d)) {
                arrived.insert(id);
            }
        }
        const auto records = lumo::test::ReadReport(report);
        const auto writers = lumo::test::RecordsOf(records, "writer", true);
        ASSERT_EQ(writers.size(), 1u);
        const auto& w = writers[0];
        const uint32_t first = w["first_id"];
        const uint32_t last = w["last_id"];
        // The ids the publisher wrote: sample n has id n plus one per skip so far.
        std::set<uint32_t> written;
        for (uint32_t n = 0, id = 0; n < 1000; ++n) {
            if (n != 0) {
                id += n % 25 == 0 ? 2 : 1;
            }
            written.insert(id);
        }
        uint64_t writtenInRange = 0;
        uint64_t arrivedInRange = 0;
        for (uint32_t id = first; id <= last; ++id) {
            writtenInRange += written.count(id);
            arrivedInRange += arrived.count(id);
        }
        const uint64_t span = last - first + 1;
        EXPECT_EQ(w["samples"], arrivedInRange);
        EXPECT_EQ(w["middleware_lost"], writtenInRange - arrivedInRange);
        EXPECT_EQ(w["publisher_skipped"], span - writtenInRange);
        EXPECT_EQ(w["missing_ids"], span - arrivedInRange);
        EXPECT_EQ(w["duplicates"], 0);
        EXPECT_GT(w["middleware_lost"].get<uint64_t>(), 10u) << "the link lost too little: the test proves nothing";
        EXPECT_GT(w["publisher_skipped"].get<uint64_t>(), 10u);
        std::cout << "[figure] report on a 5 % lossy best-effort link: ids " << first << ".." << last << ", taken "
                  << w["samples"] << ", middleware lost " << w["middleware_lost"] << ", publisher skipped "
                  << w["publisher_skipped"] << ", datagrams dropped " << net.DroppedOutgoing("pub") << std::endl;
    }
    std::remove(report.c_str());
}

} // namespace
