// The monitor's own figures, under the names Prometheus gives every
// process (process_cpu_seconds_total, process_resident_memory_bytes), and
// its build: lumo_quillmon_build_info{version, fastdds_version} 1, version
// as --version prints it.
#pragma once

#include <string>
#include <vector>

#include <prometheus/metric_family.h>

namespace quillMetrics {

class ProcessMetrics
{
public:
    ProcessMetrics(std::string version, std::string fastDdsVersion);

    std::vector<prometheus::MetricFamily> Collect() const;

private:
    const std::string version_;
    const std::string fastDdsVersion_;
};

} // namespace quillMetrics
