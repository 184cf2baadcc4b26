// The Prometheus endpoint of --metrics: an HttpServer (httpServer.h: one
// thread, bounded connections) on the given address (IPv4 or IPv6),
// answering GET and HEAD of exactly /metrics with the text exposition format
// of prometheus-cpp's serializer, gzipped when the client accepts gzip;
// over TLS and for the users of --metrics-web-config when it is given. It
// listens from its construction, before the monitor joins the domain, so
// that a bad address ends the run before it starts; the tallies' metrics
// come once the readers exist.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <log4cplus/logger.h>

#include "httpServer.h"
#include "metricsOptions.h"
#include "model/readerTally.h"
#include "model/tallyList.h"
#include "processMetrics.h"
#include "webConfig.h"

namespace prometheus {
class Counter;
class Registry;
class Summary;
} // namespace prometheus

namespace quillMetrics {

class TallyMetrics;

// Whether an Accept-Encoding header's value accepts gzip (a q above 0).
bool AcceptsGzip(const std::string& acceptEncoding);

class MetricsServer
{
public:
    // Listening on `address` when it returns, as `web` says (TLS, users);
    // throws MetricsError otherwise.
    MetricsServer(const MetricsAddress& address, log4cplus::Logger& logger, WebConfig web = {});
    ~MetricsServer();

    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // From now on the readers' metrics too.
    void Serve(std::shared_ptr<const quillModel::TallyList> tallies);

    // The port it listens on (the one chosen for port 0).
    uint16_t Port() const { return server_->Port(); }

private:
    HttpAnswer Answer(const HttpRequest& request);
    // The exposition; `shown`: a client reads it (not a HEAD request).
    std::string Exposition(bool shown);
    // Folds departed writers on time when nothing scrapes.
    void TrackDepartures();

    const ProcessMetrics process_;
    // The endpoint's own figures, under the names prometheus-cpp's server gave them.
    std::shared_ptr<prometheus::Registry> endpoint_;
    prometheus::Counter* transferredBytes_ = nullptr;
    prometheus::Counter* scrapes_ = nullptr;
    prometheus::Summary* latencies_ = nullptr;

    std::mutex mutex_;
    std::condition_variable stopping_;
    bool stopped_ = false;
    std::shared_ptr<TallyMetrics> tallies_; // mutex_
    std::thread tracking_;

    std::unique_ptr<HttpServer> server_; // stops serving before the figures go
};

} // namespace quillMetrics
