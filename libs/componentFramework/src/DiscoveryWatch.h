// Watches the writers that discovery reports on the topics of this
// participant's readers, and explains once, at ERROR, each one that a reader
// cannot read: which policies differ, and which shipped profile would read it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <log4cplus/logger.h>

#include "lumo/componentFramework/WriterMatch.h"

namespace lumo::componentFramework {

class DiscoveryWatch
{
public:
    explicit DiscoveryWatch(log4cplus::Logger& logger)
        : logger_(logger)
    {
    }

    // A local reader (its index is its position among the readers) and the
    // profiles to suggest, in order of preference. Nothing is explained until
    // Activate: a disabled reader is not paired with anything yet.
    void AddReader(uint32_t index, const std::string& topicName, const EndpointQos& qos);
    void SetSuggestedProfiles(std::vector<std::pair<std::string, EndpointQos>> profiles);
    // The readers are enabled: explains the writers already known.
    void Activate();
    // The readers are gone: nothing more to explain.
    void Deactivate();

    // Discovery events, from Fast DDS's threads.
    void ParticipantDiscovered(const std::string& prefix, const std::string& name);
    void ParticipantRemoved(const std::string& prefix);
    void WriterDiscovered(DiscoveredWriter writer);
    void WriterRemoved(const std::string& guid);
    // The reader's listener has just reported an incompatible QoS: the
    // explanations waiting for that line follow it now.
    void IncompatibleQosReported(uint32_t readerIndex);
    // Remote participants known now (a discovery server included).
    size_t KnownParticipants() const;

private:
    struct Reader
    {
        uint32_t index;
        std::string topicName;
        EndpointQos qos;
    };

    // `deferIncompatible`: an incompatible QoS is reported by the reader's
    // listener only after discovery has told us of the writer, so its
    // explanation waits for that line; the others are logged at once.
    void ExplainLocked(const DiscoveredWriter& writer, bool deferIncompatible);
    void Log(const std::string& text) const;
    std::string SuggestedProfile(const EndpointQos& writer) const;

    log4cplus::Logger& logger_;
    mutable std::mutex mutex_;
    bool active_ = false;
    std::vector<Reader> readers_;
    std::vector<std::pair<std::string, EndpointQos>> suggested_;
    std::map<std::string, std::string> participantNames_;
    std::map<std::string, DiscoveredWriter> writers_;
    // (writer GUID, reader index) pairs already explained: a writer that
    // keeps updating its QoS, or leaves and comes back, is explained once
    // per reader.
    std::set<std::pair<std::string, uint32_t>> explained_;
    // Explanation lines waiting for their reader's incompatible-QoS line.
    std::map<uint32_t, std::vector<std::string>> pending_;
};

} // namespace lumo::componentFramework
