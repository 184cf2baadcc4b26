// The monitor's own figures, under the names Prometheus gives every
// process (process_cpu_seconds_total, process_resident_memory_bytes), and
// its build: lumo_quillmon_build_info{version, fastdds_version} 1.
#pragma once

#include <string>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

namespace quillMetrics {

class ProcessMetrics : public prometheus::Collectable
{
public:
    ProcessMetrics(std::string version, std::string fastDdsVersion);

    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    const std::string version_;
    const std::string fastDdsVersion_;
};

} // namespace quillMetrics
