#include "DdsperfRun.h"

#include <csignal>

#include <unistd.h>

namespace lumo::test {

namespace {
constexpr const char* DDSPERF = "/usr/bin/ddsperf";
// ddsperf's size counts the key's and sequence number's bytes and the
// sequence's length: the octets follow them.
constexpr uint32_t KS_FIXED_PART = 12;
constexpr uint32_t ENCAPSULATION_HEADER = 4;
} // namespace

bool DdsperfAvailable()
{
    return access(DDSPERF, X_OK) == 0;
}

DdsperfRun::DdsperfRun(NetworkNamespaces& hosts, const std::string& host, uint32_t domain, Topic topic, bool bestEffort,
                       const std::string& rate, uint32_t size)
{
    hosts.AddHost(host);
    hosts.LoopbackMulticast(host);
    std::vector<std::string> args{"-i", std::to_string(domain), "-T", topic == Topic::KS ? "KS" : "OU"};
    if (bestEffort) {
        args.emplace_back("-u");
    }
    args.insert(args.end(), {"pub", rate});
    if (topic == Topic::KS && size > 0) {
        args.insert(args.end(), {"size", std::to_string(size)});
    }
    process_ = hosts.Start(host, DDSPERF, args);
}

DdsperfRun::~DdsperfRun()
{
    process_->Signal(SIGTERM);
    process_->Wait(std::chrono::seconds(10));
}

std::string DdsperfRun::TopicName(Topic topic, bool bestEffort)
{
    return std::string("DDSPerf") + (bestEffort ? "U" : "R") + "Data" + (topic == Topic::KS ? "KS" : "OU");
}

std::string DdsperfRun::TypeName(Topic topic)
{
    return topic == Topic::KS ? "KeyedSeq" : "OneULong";
}

uint32_t DdsperfRun::SampleBytes(Topic topic, uint32_t size)
{
    if (topic == Topic::OU) {
        return ENCAPSULATION_HEADER + 4;
    }
    return ENCAPSULATION_HEADER + (size > KS_FIXED_PART ? size : KS_FIXED_PART);
}

} // namespace lumo::test
