#include "processMetrics.h"

#include <fstream>

#include <sys/resource.h>
#include <unistd.h>

#include "metricFamilies.h"

using prometheus::MetricFamily;
using prometheus::MetricType;

namespace quillMetrics {

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Resident pages, the second figure of /proc/self/statm.
double ResidentBytes()
{
    std::ifstream statm("/proc/self/statm");
    double size = 0.0;
    double resident = 0.0;
    statm >> size >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE));
}

MetricFamily One(const char* name, const char* help, MetricType type, double value, Labels labels = {})
{
    MetricFamily family = Family(name, help, type);
    family.metric.push_back(Metric(std::move(labels), value, type));
    return family;
}

} // namespace

ProcessMetrics::ProcessMetrics(std::string version, std::string fastDdsVersion)
    : version_(std::move(version))
    , fastDdsVersion_(std::move(fastDdsVersion))
{
}

std::vector<MetricFamily> ProcessMetrics::Collect() const
{
    return {One("lumo_quillmon_build_info", "The monitor's version and the Fast DDS it runs on", MetricType::Gauge, 1.0,
                {{"version", version_}, {"fastdds_version", fastDdsVersion_}}),
            One("process_cpu_seconds_total", "User and system CPU time the monitor used, in seconds",
                MetricType::Counter, CpuSeconds()),
            One("process_resident_memory_bytes", "The monitor's resident memory, in bytes", MetricType::Gauge,
                ResidentBytes())};
}

} // namespace quillMetrics
