// lumoQuillmon --metrics against the real consumers of its endpoint: a
// scrape checked by promtool, a Prometheus server that scrapes the monitor
// every second and is then asked, by promtool, what it stored; the server
// beside hostile clients and writers that come and go, on raw sockets; and
// the addresses the monitor cannot serve. Every server listens on 127.0.0.1
// or ::1.
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <arpa/inet.h>
#include <crypt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
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
    static const std::regex served(R"(metrics at (http://(127\.0\.0\.1|\[::1\]):[0-9]+/metrics))");
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

// A connected TCP socket, closed with its scope.
class Connection
{
public:
    // To the server of `url` ("http://127.0.0.1:PORT/metrics" or "http://[::1]:PORT/metrics").
    explicit Connection(const std::string& url)
    {
        static const std::regex parts(R"(http://\[?([0-9.:]+)\]?:([0-9]+)/)");
        std::smatch match;
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST;
        addrinfo* found = nullptr;
        if (!std::regex_search(url, match, parts) ||
            getaddrinfo(match.str(1).c_str(), match.str(2).c_str(), &hints, &found) != 0) {
            ADD_FAILURE() << "not a served address: " << url;
            return;
        }
        fd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // A server that never answers fails the test instead of hanging it.
        const timeval timeout{20, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        EXPECT_EQ(connect(fd_, found->ai_addr, found->ai_addrlen), 0) << url;
        freeaddrinfo(found);
    }
    ~Connection() { close(fd_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void Send(const std::string& bytes) const
    {
        EXPECT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // Everything the server sends until it closes (or 20 s of silence).
    std::string ReadAll() const
    {
        std::string all;
        char buffer[65536];
        ssize_t got = 0;
        while ((got = recv(fd_, buffer, sizeof buffer, 0)) > 0) {
            all.append(buffer, static_cast<size_t>(got));
        }
        return all;
    }

    // Whether the server has not closed it: nothing to read, not even the end.
    bool Open() const
    {
        pollfd ready{fd_, POLLIN, 0};
        return poll(&ready, 1, 0) == 0;
    }

private:
    int fd_ = -1;
};

struct Answer
{
    int status = 0;
    std::string head; // the status line and the header fields
    std::string body;
};

// One request (ending the connection after it) on a new connection.
Answer Request(const std::string& url, const std::string& method, const std::string& target,
               const std::string& headers = "")
{
    Connection connection(url);
    connection.Send(method + " " + target + " HTTP/1.1\r\nHost: lumo\r\nConnection: close\r\n" + headers + "\r\n");
    const std::string all = connection.ReadAll();
    Answer answer;
    const size_t end = all.find("\r\n\r\n");
    answer.head = all.substr(0, end);
    answer.body = end == std::string::npos ? "" : all.substr(end + 4);
    if (all.rfind("HTTP/1.1 ", 0) == 0) {
        answer.status = std::stoi(all.substr(9, 3));
    }
    return answer;
}

// promtool's verdict on an exposition: empty when it has nothing to say.
std::string PromtoolCheck(const lumo::test::ScratchDir& dir, const std::string& exposition)
{
    std::ofstream(dir.Path() + "/check.txt") << exposition;
    ProcessRunner check("/bin/sh", {"-c", "/usr/bin/promtool check metrics < " + dir.Path() + "/check.txt 2>&1"});
    const auto status = check.Wait(30s);
    return status == 0 ? check.Output() : "status " + std::to_string(status.value_or(-1)) + ": " + check.Output();
}

// User and system seconds of a process, as the kernel counts them.
double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // utime and stime: the 12th and 13th fields after the name.
    static const std::regex times(R"(\) (?:\S+ ){11}([0-9]+) ([0-9]+) )");
    std::smatch match;
    EXPECT_TRUE(std::regex_search(text, match, times)) << text;
    return match.empty() ? 0.0
                         : (std::stod(match[1]) + std::stod(match[2])) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace

namespace {

// A Prometheus on 127.0.0.1:`port` scraping `target` every second; `job`
// adds to its job's settings.
std::unique_ptr<ProcessRunner> StartPrometheus(const lumo::test::ScratchDir& dir, int port, const std::string& target,
                                               const std::string& job)
{
    std::ofstream(dir.Path() + "/prometheus.yml")
        << "global:\n  scrape_interval: 1s\nscrape_configs:\n"
           "  - job_name: lumo\n"
        << job << "    static_configs:\n      - targets: ['" << target << "']\n";
    return std::make_unique<ProcessRunner>("/usr/bin/prometheus",
                                           std::vector<std::string>{"--config.file=" + dir.Path() + "/prometheus.yml",
                                                                    "--storage.tsdb.path=" + dir.Path() + "/data",
                                                                    "--web.listen-address=127.0.0.1:" +
                                                                        std::to_string(port)});
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
    auto prometheus = StartPrometheus(dir, prometheusPort, url.substr(7, url.size() - 7 - 8), "");

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
    EXPECT_EQ(PromtoolCheck(dir, scrape), "");

    ASSERT_TRUE(publisher->WaitForText(lumo::test::Summary(topic, 0, 300, 29, 0), PUBLISH_TIMEOUT))
        << publisher->Output();
    const std::string series = "{topic=\"" + topic + "\",writer!=\"unlisted\"}";
    const auto samples = AwaitQuery(server, "lumo_quillmon_samples_total" + series, 300);
    const auto missing = AwaitQuery(server, "lumo_quillmon_missing_ids_total" + series, 29);
    EXPECT_EQ(StopWith(*monitor), 0);
    EXPECT_EQ(StopWith(*publisher), 0);
    EXPECT_EQ(StopWith(*prometheus, SIGTERM), 0);

    const auto writers = lumo::test::RecordsOf(lumo::test::ReadReport(report), "writer", true);
    ASSERT_EQ(writers.size(), 1u);
    EXPECT_EQ(samples, writers[0]["samples"].get<uint64_t>());
    EXPECT_EQ(missing, writers[0]["missing_ids"].get<uint64_t>());
    EXPECT_EQ(missing, 29u);
}

// An address that cannot be served, or a web config that cannot be used,
// is one ERROR line and status 1, before the monitor makes its participant.
TEST(Metrics, AnAddressInUseOrNotOfThisHostEndsTheRunBeforeItStarts)
{
    Listener taken;
    lumo::test::ScratchDir dir;
    const std::string inUse = "127.0.0.1:" + std::to_string(taken.Port());
    const std::string unknownKey = dir.Path() + "/unknown.yml";
    std::ofstream(unknownKey) << "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n  client_auth_type: "
                                 "RequireAndVerifyClientCert\n";
    const std::string missing = dir.Path() + "/missing.yml";
    const std::string noKey = dir.Path() + "/nokey.yml";
    std::ofstream(noKey) << "tls_server_config:\n  cert_file: " << dir.Path() << "/nothing.pem\n  key_file: k.pem\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--metrics", inUse}, "ERROR: cannot serve metrics on " + inUse + ": Address already in use"},
        // TEST-NET-1: never an address of this host.
        {{"--metrics", "192.0.2.1:9464"},
         "ERROR: cannot serve metrics on 192.0.2.1:9464: Cannot assign requested address (not an address of this "
         "host)"},
        {{"--metrics", "127.0.0.1:0", "--metrics-web-config", unknownKey},
         "ERROR: cannot use the metrics web config " + unknownKey +
             ": line 4: 'client_auth_type' is not read (only cert_file and key_file)"},
        {{"--metrics", "127.0.0.1:0", "--metrics-web-config", missing},
         "ERROR: cannot use the metrics web config " + missing + ": No such file or directory"},
        {{"--metrics", "127.0.0.1:0", "--metrics-web-config", noKey},
         "ERROR: cannot serve metrics on 127.0.0.1:0: the TLS certificate " + dir.Path() +
             "/nothing.pem: No such file or directory"},
        {{"--metrics-web-config", missing}, "ERROR: --metrics-web-config needs --metrics"},
    };
    for (const auto& [args, error] : cases) {
        const auto topic = UniqueTopic("MetricsRefused");
        std::vector<std::string> all{"-d", "-t", topic};
        all.insert(all.end(), args.begin(), args.end());
        auto monitor = lumo::test::StartMonitor(Confined(all));
        EXPECT_EQ(monitor->Wait(EXIT_TIMEOUT), 1) << monitor->Output();
        EXPECT_THAT(MessagesAt(*monitor, "ERROR"), ElementsAre(error)) << monitor->Output();
        EXPECT_THAT(MessagesAt(*monitor, "INFO"), Not(Contains("Going to create 1 topic(s) and reader(s): " + topic)));
    }
}

namespace {

// A bcrypt hash of `password`, as htpasswd -B makes it (cost 5: quick).
std::string Bcrypt(const std::string& password)
{
    const char* salt = crypt_gensalt("$2b$", 5, nullptr, 0);
    EXPECT_NE(salt, nullptr);
    crypt_data data{};
    const char* hash = salt == nullptr ? nullptr : crypt_r(password.c_str(), salt, &data);
    EXPECT_NE(hash, nullptr);
    return hash == nullptr ? "" : hash;
}

// curl's status code for a scrape of `url` (000 when no HTTP answer came)
// and the WWW-Authenticate it got.
std::string CurlStatus(const std::string& url, const std::vector<std::string>& options)
{
    std::vector<std::string>
        args{"-sS", "--max-time", "20", "-o", "/dev/null", "-w", "%{http_code} %header{www-authenticate}"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(url);
    ProcessRunner curl("/usr/bin/curl", args);
    curl.Wait(30s);
    const auto lines = curl.Lines();
    return lines.empty() ? "" : lines.back();
}

} // namespace

// --metrics-web-config: TLS and a user's password, as Prometheus scrapes
// with them; without either the endpoint answers nothing readable.
TEST(Metrics, WithAWebConfigPrometheusScrapesOverTlsWithAPasswordAndOthersAreRefused)
{
    lumo::test::ScratchDir dir;
    ProcessRunner openssl("/usr/bin/openssl",
                          {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                           "-keyout", dir.Path() + "/key.pem", "-out", dir.Path() + "/cert.pem", "-days", "2", "-subj",
                           "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    ASSERT_EQ(openssl.Wait(30s), 0) << openssl.Output();
    // File names relative to the config's own directory, as the exporters take them.
    std::ofstream(dir.Path() + "/web.yml") << "# who may scrape\n"
                                              "tls_server_config:\n"
                                              "  cert_file: cert.pem\n"
                                              "  key_file: key.pem\n"
                                              "basic_auth_users:\n"
                                              "  prometheus: '"
                                           << Bcrypt("s3cret") << "'\n";
    const auto topic = UniqueTopic("MetricsTls");
    auto monitor = StartReadyMonitor(
        {"-d", "-t", topic, "--metrics", "127.0.0.1:0", "--metrics-web-config", dir.Path() + "/web.yml"});
    static const std::regex served(R"(metrics at https://(127\.0\.0\.1:[0-9]+)/metrics)");
    std::smatch match;
    const std::string output = monitor->Output();
    ASSERT_TRUE(std::regex_search(output, match, served)) << output;
    const std::string target = match[1];
    const std::string url = "https://" + target + "/metrics";

    const std::string ca = dir.Path() + "/cert.pem";
    const std::string challenge = " Basic realm=\"lumoQuillmon\"";
    const std::vector<std::tuple<const char*, std::string, std::vector<std::string>, std::string>> rows{
        {"the user's password", url, {"--cacert", ca, "-u", "prometheus:s3cret"}, "200 "},
        {"a wrong password", url, {"--cacert", ca, "-u", "prometheus:wrong"}, "401" + challenge},
        {"another user", url, {"--cacert", ca, "-u", "other:s3cret"}, "401" + challenge},
        {"no password", url, {"--cacert", ca}, "401" + challenge},
        {"no TLS", "http://" + target + "/metrics", {"-u", "prometheus:s3cret"}, "000 "},
    };
    for (const auto& [name, address, options, expected] : rows) {
        EXPECT_EQ(CurlStatus(address, options), expected) << name;
    }

    const int prometheusPort = FreePort();
    const std::string server = "http://127.0.0.1:" + std::to_string(prometheusPort);
    auto prometheus = StartPrometheus(dir, prometheusPort, target,
                                      "    scheme: https\n"
                                      "    tls_config:\n"
                                      "      ca_file: " +
                                          ca +
                                          "\n"
                                          "    basic_auth:\n"
                                          "      username: prometheus\n"
                                          "      password: s3cret\n");
    EXPECT_EQ(AwaitQuery(server, "up{job=\"lumo\"}", 1), 1u);
    EXPECT_EQ(AwaitQuery(server, "count(lumo_quillmon_matched_writers{topic=\"" + topic + "\"})", 1), 1u);
    EXPECT_EQ(StopWith(*monitor), 0);
    EXPECT_EQ(StopWith(*prometheus, SIGTERM), 0);
}

namespace {

struct ServerRow
{
    const char* name;
    const char* topicEnd; // after the unique topic name
    const char* address;  // of --metrics
    std::function<void(const std::string& topic, const std::string& url, ProcessRunner& monitor,
                       const lumo::test::ScratchDir& dir)>
        check;
};

constexpr int IDLE_CLIENTS = 30;
constexpr int DEPARTING_WRITERS = 3;
constexpr int SAMPLES_PER_WRITER = 20;
constexpr int MAX_FOLDING_SCRAPES = 30;

// Each writer of `topic` in the exposition, by its label text, with its samples.
std::map<std::string, double> Writers(const std::string& exposition, const std::string& topic)
{
    std::map<std::string, double> writers;
    const std::string family = "lumo_quillmon_samples_total";
    std::istringstream lines(exposition);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(family + "{topic=\"" + topic + "\"", 0) == 0) {
            const size_t space = line.rfind(' ');
            writers[line.substr(family.size(), space - family.size())] = std::stod(line.substr(space + 1));
        }
    }
    return writers;
}

} // namespace

// The endpoint against what Prometheus's own tools and hostile clients do.
TEST(Metrics, TheEndpointServesBesideIdleClientsOnIpv6AsValidTextAndFoldsDepartedWriters)
{
    const std::vector<ServerRow> rows{
        {"a scrape is answered while idle and half-sent requests hold their connections", "", "127.0.0.1:0",
         [](const std::string&, const std::string& url, ProcessRunner&, const lumo::test::ScratchDir&) {
             std::vector<std::unique_ptr<Connection>> idle;
             for (int i = 0; i < IDLE_CLIENTS; ++i) {
                 idle.push_back(std::make_unique<Connection>(url));
                 if (i % 2 == 1) {
                     idle.back()->Send("GET /metrics HTTP/1.1\r\nHost: lumo\r\n"); // never finished
                 }
             }
             const Answer answer = Request(url, "GET", "/metrics");
             EXPECT_EQ(answer.status, 200) << answer.head;
             EXPECT_THAT(answer.body, HasSubstr("lumo_quillmon_build_info{"));
             // Answered before the server gave up on any of them.
             for (int i = 0; i < IDLE_CLIENTS; ++i) {
                 EXPECT_TRUE(idle[static_cast<size_t>(i)]->Open()) << "idle client " << i;
             }
         }},
        {"IPv6", "", "[::1]:0",
         [](const std::string& topic, const std::string& url, ProcessRunner&, const lumo::test::ScratchDir&) {
             EXPECT_THAT(url, testing::StartsWith("http://[::1]:"));
             const Answer answer = Request(url, "GET", "/metrics");
             EXPECT_EQ(answer.status, 200) << answer.head;
             EXPECT_THAT(answer.body,
                         HasSubstr("lumo_quillmon_matched_writers{topic=\"" + topic + "\",reader=\"0\"} 0"));
         }},
        {"a topic name that is not UTF-8 is labelled with U+FFFD, and promtool takes the whole text", "\xff\xc3",
         "127.0.0.1:0",
         [](const std::string& topic, const std::string& url, ProcessRunner&, const lumo::test::ScratchDir& dir) {
             const Answer answer = Request(url, "GET", "/metrics");
             const std::string label = topic.substr(0, topic.size() - 2) + "\xef\xbf\xbd\xef\xbf\xbd";
             EXPECT_THAT(answer.body, HasSubstr("lumo_quillmon_matched_writers{topic=\"" + label + "\",reader=\"0\"}"));
             EXPECT_EQ(PromtoolCheck(dir, answer.body), "");
         }},
        {"departed writers fold into writer=\"unlisted\" once shown, and no sum goes back", "", "127.0.0.1:0",
         [](const std::string& topic, const std::string& url, ProcessRunner&, const lumo::test::ScratchDir&) {
             // One after the other, each gone (its samples acknowledged) before the next.
             for (int i = 0; i < DEPARTING_WRITERS; ++i) {
                 auto publisher = StartConfinedPublisher(
                     {"-t", topic, "-n", std::to_string(SAMPLES_PER_WRITER), "-r", "200"});
                 EXPECT_EQ(publisher->Wait(PUBLISH_TIMEOUT), 0) << publisher->Output();
             }
             const std::string unlisted = "{topic=\"" + topic + "\",reader=\"0\",writer=\"unlisted\"}";
             double lastSum = 0.0;
             std::map<std::string, double> writers;
             for (int scrape = 0; scrape < MAX_FOLDING_SCRAPES; ++scrape) {
                 writers = Writers(Request(url, "GET", "/metrics").body, topic);
                 double sum = 0.0;
                 for (const auto& [labels, samples] : writers) {
                     sum += samples;
                 }
                 EXPECT_GE(sum, lastSum) << "scrape " << scrape;
                 lastSum = sum;
                 if (writers.size() == 1 && writers.count(unlisted) == 1 &&
                     writers[unlisted] == DEPARTING_WRITERS * SAMPLES_PER_WRITER) {
                     break;
                 }
                 std::this_thread::sleep_for(1s); // the unmatches come with discovery
             }
             EXPECT_THAT(writers, ElementsAre(std::pair(unlisted, double{DEPARTING_WRITERS * SAMPLES_PER_WRITER})));
             const Answer last = Request(url, "GET", "/metrics");
             EXPECT_THAT(last.body, HasSubstr("lumo_quillmon_unlisted_writers{topic=\"" + topic + "\",reader=\"0\"} " +
                                              std::to_string(DEPARTING_WRITERS)));
             EXPECT_THAT(last.body, Not(HasSubstr("lumo_quillmon_latency_seconds_bucket{topic=\"" + topic)));
         }},
        {"HEAD, exact path, gzip only when accepted, build_info's version, the process's CPU time", "", "127.0.0.1:0",
         [](const std::string&, const std::string& url, ProcessRunner& monitor, const lumo::test::ScratchDir&) {
             const Answer head = Request(url, "HEAD", "/metrics");
             EXPECT_EQ(head.status, 200) << head.head;
             EXPECT_THAT(head.head, testing::ContainsRegex("\r\nContent-Length: [1-9][0-9]*"));
             EXPECT_EQ(head.body, "");
             for (const char* other : {"/metricsx", "/metrics%00", "/metrics/", "/"}) {
                 EXPECT_EQ(Request(url, "GET", other).status, 404) << other;
             }
             const Answer refused = Request(url, "GET", "/metrics", "Accept-Encoding: gzip;q=0, br;q=0\r\n");
             EXPECT_THAT(refused.head, Not(HasSubstr("Content-Encoding")));
             EXPECT_THAT(refused.body, HasSubstr("lumo_quillmon_build_info{"));
             const Answer gzipped = Request(url, "GET", "/metrics", "Accept-Encoding: deflate, gzip;q=0.5\r\n");
             EXPECT_THAT(gzipped.head, HasSubstr("\r\nContent-Encoding: gzip"));
             EXPECT_EQ(gzipped.body.substr(0, 2), "\x1f\x8b");

             auto version = lumo::test::StartMonitor({"--version"});
             EXPECT_EQ(version->Wait(EXIT_TIMEOUT), 0);
             const std::string first = version->Lines().at(0); // "lumoQuillmon <version>"
             const double cpuBefore = CpuSeconds(monitor.Pid());
             const Answer answer = Request(url, "GET", "/metrics");
             const double cpuAfter = CpuSeconds(monitor.Pid());
             EXPECT_THAT(answer.body, HasSubstr("lumo_quillmon_build_info{version=\"" +
                                                first.substr(first.find(' ') + 1) + "\",fastdds_version=\""));
             std::smatch scraped;
             ASSERT_TRUE(std::regex_search(answer.body, scraped, std::regex("\nprocess_cpu_seconds_total ([^\n]+)\n")));
             // The kernel's figures are in clock ticks.
             const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
             EXPECT_GE(std::stod(scraped[1]), cpuBefore - 2 * tick);
             EXPECT_LE(std::stod(scraped[1]), cpuAfter + 2 * tick);
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto topic = UniqueTopic("MetricsServer") + row.topicEnd;
        lumo::test::ScratchDir dir;
        auto monitor = StartReadyMonitor({"-d", "-t", topic, "--metrics", row.address});
        const std::string url = MetricsUrl(*monitor);
        if (!url.empty()) { // the next rows still run
            row.check(topic, url, *monitor, dir);
        }
        EXPECT_EQ(StopWith(*monitor), 0);
    }
}
