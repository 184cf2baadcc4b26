#include "metricsServer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <optional>

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
constexpr const char* PATH = "/metrics";
// Departures are noted this often between scrapes, in fractions of the grace.
constexpr int TRACKS_PER_GRACE = 10;

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

MetricsServer::MetricsServer(const MetricsAddress& address, log4cplus::Logger& logger, WebConfig web)
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

    HttpServer::Authorizer authorize;
    if (!web.users.empty()) {
        authorize = [users = std::move(web.users)](const std::string& authorization) {
            return Authorized(users, authorization);
        };
    }
    server_ = std::make_unique<HttpServer>(
        address, [this](const HttpRequest& request) { return Answer(request); }, web.tls, std::move(authorize));
    MetricsAddress serving = address;
    serving.port = server_->Port();
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "metrics at {}://{}/metrics", web.tls ? "https" : "http",
                 serving.Text());
}

MetricsServer::~MetricsServer()
{
    server_.reset();
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    stopping_.notify_all();
    if (tracking_.joinable()) {
        tracking_.join();
    }
}

HttpAnswer MetricsServer::Answer(const HttpRequest& request)
{
    // An exact match: /metricsx and /metrics%00 are not it; a query is ignored.
    if (request.target.substr(0, request.target.find('?')) != PATH) {
        return {404, {{"Content-Type", CONTENT_TYPE}}, "Not Found\n"};
    }
    const bool get = request.method == "GET";
    if (!get && request.method != "HEAD") {
        return {405, {{"Allow", "GET, HEAD"}, {"Content-Type", CONTENT_TYPE}}, "Method Not Allowed\n"};
    }
    const auto start = std::chrono::steady_clock::now();
    HttpAnswer answer{200, {{"Content-Type", CONTENT_TYPE}, {"Vary", "Accept-Encoding"}}, Exposition(get)};
    if (AcceptsGzip(request.acceptEncoding)) {
        if (std::string gzipped = Gzipped(answer.body); !gzipped.empty()) {
            answer.body = std::move(gzipped);
            answer.headers.emplace_back("Content-Encoding", "gzip");
        }
    }
    if (get) {
        transferredBytes_->Increment(static_cast<double>(answer.body.size()));
        scrapes_->Increment();
        latencies_->Observe(static_cast<double>(
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count()));
    }
    return answer;
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
