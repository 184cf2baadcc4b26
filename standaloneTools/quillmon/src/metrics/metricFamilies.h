// The families and samples both collectors hand to prometheus-cpp.
#pragma once

#include <utility>
#include <vector>

#include <prometheus/client_metric.h>
#include <prometheus/metric_family.h>
#include <prometheus/metric_type.h>

namespace quillMetrics {

using Labels = std::vector<prometheus::ClientMetric::Label>;

inline prometheus::MetricFamily Family(const char* name, const char* help, prometheus::MetricType type)
{
    prometheus::MetricFamily family;
    family.name = name;
    family.help = help;
    family.type = type;
    return family;
}

// A counter's or a gauge's sample.
inline prometheus::ClientMetric Metric(Labels labels, double value, prometheus::MetricType type)
{
    prometheus::ClientMetric metric;
    metric.label = std::move(labels);
    if (type == prometheus::MetricType::Counter) {
        metric.counter.value = value;
    } else {
        metric.gauge.value = value;
    }
    return metric;
}

} // namespace quillMetrics
