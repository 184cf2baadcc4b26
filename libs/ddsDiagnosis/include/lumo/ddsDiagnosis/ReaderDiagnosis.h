// What the monitor tells an operator about discovery beside its readers'
// own lines: why a discovered writer is not read (DiscoveryWatch), and that
// no writer has matched for a while and how discovery looks for them
// (NoMatchWarning). The monitor wires it to the facade's discovery hook and
// hands it its readers' match and incompatible-QoS events.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <log4cplus/logger.h>

#include "lumo/ddsDiagnosis/DiscoveryWatch.h"
#include "lumo/ddsDiagnosis/NoMatchWarning.h"

namespace lumo::componentFramework {
class DdsSub;
} // namespace lumo::componentFramework

namespace lumo::ddsDiagnosis {

class ReaderDiagnosis
{
public:
    // Once the readers are enabled, a WARN line says how discovery looks for
    // writers when none of the readers has had a matched writer for this long
    // (once per such quiet period). Discovery on a LAN takes well under a
    // second, through a discovery server a few seconds.
    static constexpr std::chrono::seconds NO_MATCH_WARNING_DELAY{10};

    // Listens to the facade's discovery: call before its participant exists.
    ReaderDiagnosis(log4cplus::Logger& logger, componentFramework::DdsSub& dds,
                    NoMatchWarning::Clock::duration quietPeriod = NO_MATCH_WARNING_DELAY);

    // The readers, reader i reading topics[i], as the facade creates them with
    // its profile; the other shipped profiles the QoS file holds are
    // suggested for writers they would read. `security[i]`: what DDS Security
    // makes reader i announce (none when empty). After CreateSubscriber.
    void AddReaders(const componentFramework::DdsSub& dds, const std::vector<std::string>& topics,
                    const std::vector<componentFramework::EndpointSecurity>& security = {});
    // Keep the writers of every topic (DiscoveryWatch::WatchEveryTopic).
    void WatchEveryTopic() { watch_->WatchEveryTopic(); }
    // A reader made while the run goes on: `readerIndex` is its listener's,
    // `ddsIndex` the facade's (they differ once readers are made in the
    // order their writers appear). `qos`: what it requests.
    void AddLateReader(const componentFramework::DdsSub& dds, uint32_t readerIndex, size_t ddsIndex,
                       const std::string& topic, const EndpointQos& qos);
    // What discovery says now of the writers on a topic, and the topics
    // that have writers (DiscoveryWatch).
    std::vector<componentFramework::DiscoveredWriter> WritersOn(const std::string& topic) const
    {
        return watch_->WritersOn(topic);
    }
    std::vector<std::string> TopicsWithWriters() const { return watch_->TopicsWithWriters(); }
    // Told of each writer DDS Security keeps from a reader. Before Start.
    void SetSecurityRefusalHook(DiscoveryWatch::SecurityRefusalHook hook);
    // The readers are enabled.
    void Start();
    // Before the readers are deleted: no line after this returns.
    void Stop();

    // What discovery said of a participant's addresses (DiscoveryWatch).
    std::vector<std::string> ParticipantAddresses(const std::string& guidPrefix) const
    {
        return watch_->ParticipantAddresses(guidPrefix);
    }

    // A reader (GUID) whose pairing DDS Security refused (DiscoveryWatch).
    void PairingRefused(const std::string& readerGuid) { watch_->PairingRefused(readerGuid); }

    // A reader's events, after its listener has logged its own line.
    void SubscriptionMatched(uint32_t readerIndex, int32_t currentCount);
    void IncompatibleQos(uint32_t readerIndex);

private:
    std::shared_ptr<DiscoveryWatch> watch_;
    // Listener index to the facade's, for readers made late; the others
    // have the same index in both.
    struct IndexMap
    {
        std::mutex mutex;
        std::map<uint32_t, size_t> ddsIndex;
    };
    std::shared_ptr<IndexMap> indexMap_ = std::make_shared<IndexMap>();
    std::unique_ptr<NoMatchWarning> noMatch_;
    log4cplus::Logger& logger_;
    NoMatchWarning::Clock::duration quietPeriod_;
};

} // namespace lumo::ddsDiagnosis
