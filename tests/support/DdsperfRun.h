// Cyclone DDS's ddsperf publishing on a test host (a network namespace with
// multicast on its loopback, which ddsperf needs to find Fast DDS peers
// reliably): a writer of another implementation whose types the project
// never built, keyed or not.
#pragma once

#include <memory>
#include <string>

#include "NetworkNamespaces.h"

namespace lumo::test {

class DdsperfRun
{
public:
    // ddsperf's topics: KS (seq num, key value, sequence of octets; keyed)
    // and OU (seq num; keyless).
    enum class Topic
    {
        KS,
        OU
    };

    // Makes `host` on `hosts` (loopback up, multicast on) and starts
    // `ddsperf -T KS|OU [-u] pub RATE [size SIZE]` there on `domain`. SIZE
    // counts KS's fixed part (12 bytes) too; OU has no size.
    DdsperfRun(NetworkNamespaces& hosts, const std::string& host, uint32_t domain, Topic topic, bool bestEffort,
               const std::string& rate, uint32_t size = 0);
    // Ends ddsperf; the host goes with `hosts`.
    ~DdsperfRun();

    DdsperfRun(const DdsperfRun&) = delete;
    DdsperfRun& operator=(const DdsperfRun&) = delete;

    // What its writer announces: the topic name says the reliability too
    // (DDSPerfRDataKS reliable, DDSPerfUDataKS best effort).
    static std::string TopicName(Topic topic, bool bestEffort);
    static std::string TypeName(Topic topic);
    static bool Keyed(Topic topic) { return topic == Topic::KS; }
    // Serialized size of one sample, encapsulation header included.
    static uint32_t SampleBytes(Topic topic, uint32_t size);

    ProcessRunner& Process() { return *process_; }

private:
    std::unique_ptr<ProcessRunner> process_;
};

// Whether Debian's ddsperf (cyclonedds-tools) is installed.
bool DdsperfAvailable();

} // namespace lumo::test
