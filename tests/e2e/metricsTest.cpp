// lumoQuillmon --metrics against the real consumers of its endpoint: a
// scrape checked by promtool, a Prometheus server that scrapes the monitor
// every second and is then asked, by promtool, what it stored; and the
// addresses the monitor cannot serve. Every server listens on 127.0.0.1.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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
using lumo::test::StartConfinedPublisher;
using lumo::test::StartReadyMonitor;
using lumo::test::StopWith;
using lumo::test::UniqueTopic;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr auto PUBLISH_TIMEOUT = 60s;
// Prometheus starts, scrapes and answers slowly on a loaded machine.
constexpr auto PROMETHEUS_TIMEOUT = 90s;

// A socket listening on 127.0.0.1, on a port the system chose.
class Listener
{
public:
    Listener()
        : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(listen(fd_, 1), 0);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~Listener() { close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int Port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};

// A port that was free a moment ago.
int FreePort()
{
    return Listener().Port();
}

// The address the monitor logs (under -d) once it serves.
std::string MetricsUrl(ProcessRunner& monitor)
{
    static const std::regex served(R"(metrics at (http://127\.0\.0\.1:[0-9]+/metrics))");
    std::smatch match;
    for (const auto& line : monitor.Lines()) {
        if (std::regex_search(line, match, served)) {
            return match[1];
        }
    }
    ADD_FAILURE() << "no metrics address logged: " << monitor.Output();
    return "";
}

std::string Scrape(const std::string& url)
{
    ProcessRunner curl("/usr/bin/curl", {"-sS", "--max-time", "20", url});
    EXPECT_EQ(curl.Wait(30s), 0) << curl.Output();
    return curl.Output();
}

// The value Prometheus has for `query` (one series expected) as promtool
// reports it: "<series> => <value> @[<time>]".
std::optional<uint64_t> Query(const std::string& server, const std::string& query)
{
    ProcessRunner promtool("/usr/bin/promtool", {"query", "instant", server, query});
    if (promtool.Wait(30s) != 0) {
        return std::nullopt;
    }
    static const std::regex value(R"( => ([0-9]+) @\[)");
    std::smatch match;
    const std::string output = promtool.Output();
    if (!std::regex_search(output, match, value)) {
        return std::nullopt;
    }
    return std::stoull(match[1]);
}

// Until Prometheus has `expected` for `query`; the last value it had.
std::optional<uint64_t> AwaitQuery(const std::string& server, const std::string& query, uint64_t expected)
{
    const auto giveUp = std::chrono::steady_clock::now() + PROMETHEUS_TIMEOUT;
    std::optional<uint64_t> value;
    while (std::chrono::steady_clock::now() < giveUp) {
        value = Query(server, query);
        if (value == expected) {
            break;
        }
        std::this_thread::sleep_for(1s);
    }
    return value;
}

} // namespace

TEST(Metrics, AScrapePassesPromtoolAndPrometheusStoresWhatTheReportSays)
{
    const auto topic = UniqueTopic("Metrics");
    lumo::test::ScratchDir dir;
    const std::string report = dir.Path() + "/report.jsonl";
    auto monitor = StartReadyMonitor({"-d", "-t", topic, "--metrics", "127.0.0.1:0", "--report", report});
    const std::string url = MetricsUrl(*monitor);
    ASSERT_FALSE(url.empty());

    const int prometheusPort = FreePort();
    const std::string server = "http://127.0.0.1:" + std::to_string(prometheusPort);
    std::ofstream(dir.Path() + "/prometheus.yml") << "global:\n"
                                                     "  scrape_interval: 1s\n"
                                                     "scrape_configs:\n"
                                                     "  - job_name: lumo\n"
                                                     "    static_configs:\n"
                                                     "      - targets: ['"
                                                  << url.substr(7, url.size() - 7 - 8) << "']\n";
    ProcessRunner prometheus("/usr/bin/prometheus",
                             {"--config.file=" + dir.Path() + "/prometheus.yml",
                              "--storage.tsdb.path=" + dir.Path() + "/data",
                              "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)});

    // 300 samples, every tenth id skipped: 29 missing.
    auto publisher = StartConfinedPublisher(
        {"-t", topic, "-n", "300", "-r", "100", "--skip-every", "10", "--linger", "120"});
    ASSERT_TRUE(monitor->WaitForText("[" + topic + "][0] SampleId: 0 Payload size: 64", PUBLISH_TIMEOUT))
        << monitor->Output();

    // A scrape during the run, as Prometheus's own tool lints it.
    const std::string scrape = Scrape(url);
    // The writer's own series (a Fast DDS GUID starts with its vendor id).
    const std::string writerLabels = "{topic=\"" + topic + "\",reader=\"0\",writer=\"01.0f.";
    EXPECT_THAT(scrape, HasSubstr("lumo_quillmon_samples_total" + writerLabels));
    EXPECT_THAT(scrape, HasSubstr("lumo_quillmon_latency_seconds_bucket" + writerLabels));
    EXPECT_THAT(scrape, HasSubstr("lumo_quillmon_build_info{version=\""));
    EXPECT_THAT(scrape, HasSubstr("process_resident_memory_bytes "));
    {
        std::ofstream(dir.Path() + "/scrape.txt") << scrape;
        ProcessRunner check("/bin/sh", {"-c", "/usr/bin/promtool check metrics < " + dir.Path() + "/scrape.txt"});
        EXPECT_EQ(check.Wait(30s), 0) << check.Output();
        EXPECT_EQ(check.Output(), "");
    }

    ASSERT_TRUE(publisher->WaitForText(lumo::test::Summary(topic, 0, 300, 29, 0), PUBLISH_TIMEOUT))
        << publisher->Output();
    const std::string series = "{topic=\"" + topic + "\",writer!=\"unlisted\"}";
    const auto samples = AwaitQuery(server, "lumo_quillmon_samples_total" + series, 300);
    const auto missing = AwaitQuery(server, "lumo_quillmon_missing_ids_total" + series, 29);
    EXPECT_EQ(StopWith(*monitor), 0);
    EXPECT_EQ(StopWith(*publisher), 0);
    EXPECT_EQ(StopWith(prometheus, SIGTERM), 0);

    const auto writers = lumo::test::RecordsOf(lumo::test::ReadReport(report), "writer", true);
    ASSERT_EQ(writers.size(), 1u);
    EXPECT_EQ(samples, writers[0]["samples"].get<uint64_t>());
    EXPECT_EQ(missing, writers[0]["missing_ids"].get<uint64_t>());
    EXPECT_EQ(missing, 29u);
}

// An address that cannot be served is one ERROR line and status 1, before
// the monitor makes its participant.
TEST(Metrics, AnAddressInUseOrNotOfThisHostEndsTheRunBeforeItStarts)
{
    Listener taken;
    const std::string inUse = "127.0.0.1:" + std::to_string(taken.Port());
    const std::vector<std::pair<std::string, std::string>> cases{
        {inUse, "ERROR: cannot serve metrics on " + inUse + ": Address already in use"},
        // TEST-NET-1: never an address of this host.
        {"192.0.2.1:9464",
         "ERROR: cannot serve metrics on 192.0.2.1:9464: Cannot assign requested address (not an address of this "
         "host)"},
    };
    for (const auto& [address, error] : cases) {
        const auto topic = UniqueTopic("MetricsRefused");
        auto monitor = lumo::test::StartMonitor(Confined({"-d", "-t", topic, "--metrics", address}));
        EXPECT_EQ(monitor->Wait(EXIT_TIMEOUT), 1) << monitor->Output();
        EXPECT_THAT(MessagesAt(*monitor, "ERROR"), ElementsAre(error)) << monitor->Output();
        EXPECT_THAT(MessagesAt(*monitor, "INFO"), Not(Contains("Going to create 1 topic(s) and reader(s): " + topic)));
    }
}
