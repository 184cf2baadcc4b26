// Run by ddsSubTest inside a test host (a network namespace), where the
// writers of other implementations are: raw readers made through the facade,
// each on a participant of its own (one participant has one type per topic).
//   lumoRawReader QOS_FILE PROFILE DOMAIN TOPIC [TYPE keyed|keyless]...
// Prints "reader I matched=M samples=N bytes=B invalid=V rejected=R" for
// reader I whenever one of its counts changes, and "writer topic=... type=...
// keyed=0|1 reliability=1|2" for each writer discovered. Runs until killed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <log4cplus/initializer.h>

#include "lumo/componentFramework/DdsSub.h"
#include "lumo/componentFramework/Logging.h"
#include "lumo/componentFramework/RawTopicType.h"

namespace fdds = eprosima::fastdds::dds;
using namespace lumo::componentFramework;

namespace {

class CountingListener : public fdds::DataReaderListener
{
public:
    void on_data_available(fdds::DataReader* reader) override
    {
        compat::RawSample sample;
        fdds::SampleInfo info;
        while (compat::IsOk(reader->take_next_sample(&sample, &info))) {
            if (info.valid_data) {
                ++samples;
                bytes += sample.bytes.size();
            } else {
                ++invalid;
            }
        }
    }
    void on_subscription_matched(fdds::DataReader*, const fdds::SubscriptionMatchedStatus& status) override
    {
        matched = status.current_count;
    }
    void on_sample_rejected(fdds::DataReader*, const fdds::SampleRejectedStatus& status) override
    {
        rejected = status.total_count;
    }

    std::atomic<int> matched{0};
    std::atomic<uint64_t> samples{0};
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> invalid{0};
    std::atomic<int> rejected{0};
};

class WriterPrinter : public DiscoveryObserver
{
public:
    void ParticipantDiscovered(const DiscoveredParticipant&) override {}
    void ParticipantChanged(const DiscoveredParticipant&) override {}
    void ParticipantRemoved(const std::string&) override {}
    void WriterDiscovered(const DiscoveredWriter& writer) override
    {
        std::lock_guard lock(mutex_);
        std::printf("writer topic=%s type=%s keyed=%d reliability=%u\n", writer.topicName.c_str(),
                    writer.qos.typeName.c_str(), writer.qos.keyed ? 1 : 0, writer.qos.reliability);
        std::fflush(stdout);
    }
    void WriterRemoved(const std::string&) override {}

private:
    std::mutex mutex_;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 7 || (argc - 5) % 2 != 0) {
        std::fprintf(stderr, "usage: lumoRawReader QOS_FILE PROFILE DOMAIN TOPIC [TYPE keyed|keyless]...\n");
        return 2;
    }
    log4cplus::Initializer initializer;
    LogConfigureTool("lumoRawReader", log4cplus::ERROR_LOG_LEVEL, false);
    const std::string topic = argv[4];
    std::vector<std::unique_ptr<DdsSub>> subs;
    std::vector<std::shared_ptr<CountingListener>> listeners;
    for (int arg = 5; arg < argc; arg += 2) {
        auto sub = std::make_unique<DdsSub>(argv[1], argv[2], static_cast<uint32_t>(std::stoul(argv[3])),
                                            "lumoRawReader");
        if (subs.empty()) {
            sub->SetDiscoveryObserver(std::make_shared<WriterPrinter>());
        }
        sub->CreateParticipant();
        sub->CreateSubscriber();
        auto listener = std::make_shared<CountingListener>();
        const size_t index = sub->CreateRawDataReader(
            {topic, argv[arg], std::string(argv[arg + 1]) == "keyed", listener, ""});
        sub->EnableDataReader(index);
        subs.push_back(std::move(sub));
        listeners.push_back(std::move(listener));
    }
    std::vector<std::string> last(listeners.size());
    for (;;) {
        for (size_t i = 0; i < listeners.size(); ++i) {
            const auto& counts = *listeners[i];
            const std::string line = "reader " + std::to_string(i) + " matched=" + std::to_string(counts.matched) +
                                     " samples=" + std::to_string(counts.samples) +
                                     " bytes=" + std::to_string(counts.bytes) +
                                     " invalid=" + std::to_string(counts.invalid) +
                                     " rejected=" + std::to_string(counts.rejected);
            if (line != last[i]) {
                std::printf("%s\n", line.c_str());
                std::fflush(stdout);
                last[i] = line;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
