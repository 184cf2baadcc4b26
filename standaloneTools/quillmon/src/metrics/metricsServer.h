// The Prometheus endpoint of --metrics: prometheus-cpp's HTTP server
// (civetweb) on the given address, serving the text exposition format at
// /metrics. It listens from its construction, before the monitor joins the
// domain, so that a bad address ends the run before it starts; the
// tallies' metrics come once the readers exist.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

#include <log4cplus/logger.h>

#include "metricsOptions.h"
#include "report/readerTally.h"

namespace prometheus {
class Exposer;
}

namespace quillMetrics {

class ProcessMetrics;
class TallyMetrics;

// The address cannot be served: what() is the ERROR line's text.
class MetricsError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class MetricsServer
{
public:
    // Listening on `address` when it returns; throws MetricsError otherwise.
    MetricsServer(const MetricsAddress& address, log4cplus::Logger& logger);
    ~MetricsServer();

    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // From now on the readers' metrics too.
    void Serve(const std::vector<std::shared_ptr<quillReport::ReaderTally>>& tallies);

private:
    std::shared_ptr<ProcessMetrics> process_;
    std::shared_ptr<TallyMetrics> tallies_;
    std::unique_ptr<prometheus::Exposer> exposer_; // last: it stops serving before the collectors go
};

} // namespace quillMetrics
