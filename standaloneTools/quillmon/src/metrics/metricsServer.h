// The Prometheus endpoint of --metrics: cpp-httplib on the given address
// (IPv4 or IPv6), answering GET and HEAD of exactly /metrics with the text
// exposition format of prometheus-cpp's serializer, gzipped when the client
// accepts gzip. Each connection has a thread of its own, up to
// MAX_CONNECTION_THREADS, so that idle or slow clients do not hold up a
// scrape. It listens from its construction, before the monitor joins the
// domain, so that a bad address ends the run before it starts; the tallies'
// metrics come once the readers exist.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <log4cplus/logger.h>

#include "metricsOptions.h"
#include "model/readerTally.h"
#include "model/tallyList.h"
#include "processMetrics.h"

namespace httplib {
class Server;
}

namespace prometheus {
class Counter;
class Registry;
class Summary;
} // namespace prometheus

namespace quillMetrics {

class TallyMetrics;

// The address cannot be served: what() is the ERROR line's text.
class MetricsError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Whether an Accept-Encoding header's value accepts gzip (a q above 0).
bool AcceptsGzip(const std::string& acceptEncoding);

class MetricsServer
{
public:
    // Connections served at once; more wait for one of them to end (an idle
    // one after the keep-alive time, a slow one after the read timeout).
    static constexpr size_t MAX_CONNECTION_THREADS = 32;

    // Listening on `address` when it returns; throws MetricsError otherwise.
    MetricsServer(const MetricsAddress& address, log4cplus::Logger& logger);
    ~MetricsServer();

    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // From now on the readers' metrics too.
    void Serve(std::shared_ptr<const quillModel::TallyList> tallies);

private:
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

    std::unique_ptr<httplib::Server> server_; // stops serving before the figures go
    uint16_t port_ = 0;
    std::thread listening_;
};

} // namespace quillMetrics
