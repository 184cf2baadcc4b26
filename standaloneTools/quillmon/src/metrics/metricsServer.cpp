#include "metricsServer.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <prometheus/counter.h>
#include <prometheus/registry.h>
#include <prometheus/summary.h>
#include <prometheus/text_serializer.h>
#include <zlib.h>

#include "lumo/Format.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/toolsCommon/Version.h"
#include "quillLog.h"
#include "tallyMetrics.h"

namespace quillMetrics {

namespace {

constexpr const char* CONTENT_TYPE = "text/plain; charset=utf-8";
// An idle client, or one that stops sending its request, is closed after 10 s.
constexpr time_t KEEP_ALIVE_SECONDS = 10;
constexpr time_t READ_TIMEOUT_SECONDS = 10;
constexpr time_t WRITE_TIMEOUT_SECONDS = 10;
// A connection thread with nothing to do ends after this long.
constexpr auto IDLE_THREAD_EXIT = std::chrono::seconds(10);
// Departures are noted this often between scrapes, in fractions of the grace.
constexpr int TRACKS_PER_GRACE = 10;

// Binds and listens on `address` once, to say why it cannot be served:
// the HTTP server itself only says that it did not start.
void CheckListen(const MetricsAddress& address)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.ipv6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(address.port);
        inet_pton(AF_INET6, address.host.c_str(), &in6.sin6_addr);
        length = sizeof in6;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(storage);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(address.port);
        inet_pton(AF_INET, address.host.c_str(), &in4.sin_addr);
        length = sizeof in4;
    }
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw MetricsError(lumo::format("cannot serve metrics on {}: {}", address.Text(), std::strerror(errno)));
    }
    const int reuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse); // as the HTTP server binds
    const bool listening = bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) == 0 && listen(fd, 1) == 0;
    const int error = errno;
    close(fd);
    if (!listening) {
        throw MetricsError(lumo::format("cannot serve metrics on {}: {}{}", address.Text(), std::strerror(error),
                                        error == EADDRNOTAVAIL ? " (not an address of this host)" : ""));
    }
}

// cpp-httplib sends without MSG_NOSIGNAL: a client gone mid-answer would
// end the monitor with SIGPIPE. The server's threads block it (the write
// fails with EPIPE instead); the process keeps its disposition.
void BlockSigpipe()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

// Calls `act` with each TCP socket of this process bound to `port` and
// whether it is the listening one. cpp-httplib keeps its sockets to itself.
void ForEachSocketOn(uint16_t port, const std::function<void(int fd, bool listening)>& act)
{
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(fds)) {
        const int fd = static_cast<int>(std::strtol(entry->d_name, nullptr, 10));
        int type = 0;
        int listening = 0;
        socklen_t size = sizeof type;
        sockaddr_storage local{};
        socklen_t localSize = sizeof local;
        if (fd <= 2 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0) {
            continue;
        }
        const uint16_t localPort = local.ss_family == AF_INET6
                                       ? ntohs(reinterpret_cast<const sockaddr_in6&>(local).sin6_port)
                                       : ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port);
        size = sizeof listening;
        if (localPort == port && getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0) {
            act(fd, listening != 0);
        }
    }
    closedir(fds);
}

// The server's connections, each on a thread of its own up to a limit;
// beyond it they wait for a thread. Idle threads end after a while.
class ConnectionThreads : public httplib::TaskQueue
{
public:
    explicit ConnectionThreads(size_t limit)
        : limit_(limit)
    {
    }

    ~ConnectionThreads() override { shutdown(); }

    ConnectionThreads(const ConnectionThreads&) = delete;
    ConnectionThreads& operator=(const ConnectionThreads&) = delete;

    void enqueue(std::function<void()> connection) override
    {
        std::lock_guard lock(mutex_);
        Reap();
        connections_.push_back(std::move(connection));
        if (idle_ >= connections_.size()) {
            changed_.notify_one();
        } else if (threads_.size() < limit_) {
            std::thread thread([this] { Work(); });
            const auto id = thread.get_id();
            threads_.emplace(id, std::move(thread));
        }
    }

    void shutdown() override
    {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return ended_.size() == threads_.size(); });
        Reap();
    }

private:
    void Work()
    {
        BlockSigpipe();
        std::unique_lock lock(mutex_);
        for (;;) {
            while (!connections_.empty()) {
                auto connection = std::move(connections_.front());
                connections_.pop_front();
                lock.unlock();
                connection();
                lock.lock();
            }
            if (stopping_) {
                break;
            }
            ++idle_;
            const bool woken = changed_.wait_for(lock, IDLE_THREAD_EXIT,
                                                 [this] { return !connections_.empty() || stopping_; });
            --idle_;
            if (!woken) {
                break;
            }
        }
        ended_.push_back(std::this_thread::get_id());
        changed_.notify_all();
    }

    // Joins the threads that ended; under mutex_.
    void Reap()
    {
        for (const auto id : ended_) {
            threads_.at(id).join();
            threads_.erase(id);
        }
        ended_.clear();
    }

    const size_t limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> connections_;
    std::map<std::thread::id, std::thread> threads_;
    std::vector<std::thread::id> ended_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string Gzipped(const std::string& text)
{
    z_stream stream{};
    // 31: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return {};
    }
    std::string out(deflateBound(&stream, text.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return done ? out : std::string();
}

} // namespace

bool AcceptsGzip(const std::string& acceptEncoding)
{
    std::optional<bool> gzip;
    bool any = false;
    size_t start = 0;
    while (start <= acceptEncoding.size()) {
        const size_t end = std::min(acceptEncoding.find(',', start), acceptEncoding.size());
        const std::string item = acceptEncoding.substr(start, end - start);
        start = end + 1;
        const size_t semicolon = item.find(';');
        const std::string coding = Lower(Trimmed(item.substr(0, semicolon)));
        double q = 1.0;
        if (semicolon != std::string::npos) {
            const std::string parameter = Lower(Trimmed(item.substr(semicolon + 1)));
            if (parameter.rfind("q=", 0) == 0) {
                q = std::strtod(parameter.c_str() + 2, nullptr);
            }
        }
        if (coding == "gzip" || coding == "x-gzip") {
            gzip = q > 0.0;
        } else if (coding == "*") {
            any = q > 0.0;
        }
    }
    return gzip.value_or(any);
}

MetricsServer::MetricsServer(const MetricsAddress& address, log4cplus::Logger& logger)
    : process_(lumo::toolsCommon::ProjectVersion(), lumo::componentFramework::compat::FastDdsVersion())
    , endpoint_(std::make_shared<prometheus::Registry>())
{
    transferredBytes_ = &prometheus::BuildCounter()
                             .Name("exposer_transferred_bytes_total")
                             .Help("Transferred bytes to metrics services")
                             .Register(*endpoint_)
                             .Add({});
    scrapes_ = &prometheus::BuildCounter()
                    .Name("exposer_scrapes_total")
                    .Help("Number of times metrics were scraped")
                    .Register(*endpoint_)
                    .Add({});
    latencies_ = &prometheus::BuildSummary()
                      .Name("exposer_request_latencies")
                      .Help("Latencies of serving scrape requests, in microseconds")
                      .Register(*endpoint_)
                      .Add({}, prometheus::Summary::Quantiles{{0.5, 0.05}, {0.9, 0.01}, {0.99, 0.001}});

    CheckListen(address);
    server_ = std::make_unique<httplib::Server>();
    server_->new_task_queue = [] { return new ConnectionThreads(MAX_CONNECTION_THREADS); };
    server_->set_socket_options([](socket_t fd) {
        const int reuse = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    });
    server_->set_keep_alive_timeout(KEEP_ALIVE_SECONDS);
    server_->set_read_timeout(READ_TIMEOUT_SECONDS);
    server_->set_write_timeout(WRITE_TIMEOUT_SECONDS);
    // An exact match: /metricsx and /metrics%00 are not it. HEAD comes here too.
    server_->Get("/metrics", [this](const httplib::Request& request, httplib::Response& response) {
        const auto start = std::chrono::steady_clock::now();
        const bool get = request.method == "GET";
        auto body = std::make_shared<std::string>(Exposition(get));
        if (AcceptsGzip(request.get_header_value("Accept-Encoding"))) {
            if (std::string gzipped = Gzipped(*body); !gzipped.empty()) {
                *body = std::move(gzipped);
                response.set_header("Content-Encoding", "gzip");
            }
        }
        response.set_header("Vary", "Accept-Encoding");
        // With a length given the server sends the body as it is: never
        // compressed by its own reading of Accept-Encoding.
        response.set_content_provider(body->size(), CONTENT_TYPE,
                                      [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                          return sink.write(body->data() + offset,
                                                            std::min(length, body->size() - offset));
                                      });
        if (get) {
            transferredBytes_->Increment(static_cast<double>(body->size()));
            scrapes_->Increment();
            latencies_->Observe(static_cast<double>(
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                    .count()));
        }
    });

    const int port = address.port == 0
                         ? server_->bind_to_any_port(address.host)
                         : (server_->bind_to_port(address.host, address.port) ? static_cast<int>(address.port) : -1);
    if (port < 0) {
        throw MetricsError(lumo::format("cannot serve metrics on {}: the HTTP server did not start", address.Text()));
    }
    port_ = static_cast<uint16_t>(port);
    // cpp-httplib listens with a backlog of 5: clients connecting together
    // beyond it would wait for a SYN retransmit, a second or more.
    ForEachSocketOn(port_, [](int fd, bool listening) {
        if (listening) {
            listen(fd, SOMAXCONN);
        }
    });
    listening_ = std::thread([this] {
        BlockSigpipe();
        server_->listen_after_bind();
    });
    // stop() is only heard once the server runs.
    while (!server_->is_running()) {
        std::this_thread::yield();
    }
    MetricsAddress serving = address;
    serving.port = port_;
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "metrics at http://{}/metrics", serving.Text());
}

MetricsServer::~MetricsServer()
{
    server_->stop();
    // Each connection's thread waits for its client (up to the keep-alive
    // time or the read timeout) before it ends, and the monitor's teardown
    // is bounded: a shut-down socket reads its end at once.
    ForEachSocketOn(port_, [](int fd, bool listening) {
        if (!listening) {
            ::shutdown(fd, SHUT_RDWR);
        }
    });
    listening_.join();
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    stopping_.notify_all();
    if (tracking_.joinable()) {
        tracking_.join();
    }
}

void MetricsServer::Serve(std::shared_ptr<const quillModel::TallyList> tallies)
{
    std::lock_guard lock(mutex_);
    tallies_ = std::make_shared<TallyMetrics>(std::move(tallies));
    tracking_ = std::thread([this] { TrackDepartures(); });
}

void MetricsServer::TrackDepartures()
{
    std::unique_lock lock(mutex_);
    const auto period = tallies_->Grace() / TRACKS_PER_GRACE;
    while (!stopping_.wait_for(lock, period, [this] { return stopped_; })) {
        const auto tallies = tallies_;
        lock.unlock();
        tallies->Track();
        lock.lock();
    }
}

std::string MetricsServer::Exposition(bool shown)
{
    std::vector<prometheus::MetricFamily> families = endpoint_->Collect();
    for (auto& family : process_.Collect()) {
        families.push_back(std::move(family));
    }
    std::shared_ptr<TallyMetrics> tallies;
    {
        std::lock_guard lock(mutex_);
        tallies = tallies_;
    }
    if (tallies) {
        for (auto& family : tallies->Collect(shown)) {
            families.push_back(std::move(family));
        }
    }
    return prometheus::TextSerializer().Serialize(families);
}

} // namespace quillMetrics
