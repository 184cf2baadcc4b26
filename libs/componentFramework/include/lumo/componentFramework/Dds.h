// The toolkit's DDS facade: participant set-up from a QoS XML profile.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lumo/componentFramework/DiscoveryRecords.h"

namespace eprosima::fastdds::dds {
class DomainParticipant;
class Topic;
} // namespace eprosima::fastdds::dds

namespace lumo::componentFramework {

class DiscoveryListener;

// Every failure of the facade is reported as this exception; its text names
// what failed (file, profile, interface, topic ...).
class DdsError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class Dds
{
public:
    static constexpr const char* DEFAULT_QOS_PROFILE = "Lumo_Default_Profile";
    static constexpr const char* TELEM_DP_QOS_FILE = "telemDataPathDdsQos.xml";

    // Nothing touches DDS yet: the QoS file is loaded by CreateParticipant.
    Dds(std::string qosFile, std::string qosProfile, uint32_t domainId, std::string toolName);
    virtual ~Dds();

    Dds(const Dds&) = delete;
    Dds& operator=(const Dds&) = delete;

    // Restricts the UDP transport to these interfaces, given by name ("lo",
    // "eth0") or IPv4 address; shared memory stays available. Call before
    // CreateParticipant. An unknown interface or an address that no local
    // interface holds is a DdsError.
    void SetInterfaceWhiteList(const std::vector<std::string>& interfaces);

    // Properties added to the participant's (the profile's properties stay),
    // e.g. the DDS Security plugins' settings. Call before CreateParticipant.
    void SetParticipantProperties(std::vector<std::pair<std::string, std::string>> properties);

    // Loads the QoS file and creates the participant from its <participant>
    // profile named qosProfile, and registers AgnosticTopic.
    void CreateParticipant();

    const std::string& QosProfile() const { return qosProfile_; }

    // Who hears of the remote participants and writers that discovery
    // reports, from the participant's creation on; call before
    // CreateParticipant. Kept as long as the participant may call it. None
    // by default: nothing is kept of what discovery says.
    void SetDiscoveryObserver(std::shared_ptr<DiscoveryObserver> observer);
    // One more observer beside that one, under the same terms; every
    // observer is told of each event, in the order they were added (the one
    // set by SetDiscoveryObserver first).
    void AddDiscoveryObserver(std::shared_ptr<DiscoveryObserver> observer);
    // How the participant looks for its peers; a DdsError before
    // CreateParticipant.
    DiscoverySettings Discovery() const;

    // Who hears of remote participants' announcements, authentications and
    // departures, from the participant's creation on; call before
    // CreateParticipant. Kept as long as the participant may call it. None by
    // default.
    void SetParticipantObserver(std::shared_ptr<ParticipantObserver> observer);
    const std::shared_ptr<ParticipantObserver>& GetParticipantObserver() const { return participantObserver_; }

protected:
    // The largest shared-memory segment this participant needs, in bytes; 0
    // keeps the profile's. A segment holds what the participant sends, and
    // it is mapped and touched whole at creation.
    virtual uint32_t SharedMemorySegmentCap() const { return 0; }
    // The participant; a DdsError before CreateParticipant.
    eprosima::fastdds::dds::DomainParticipant* Participant() const;
    eprosima::fastdds::dds::DomainParticipant* ParticipantOrNull() const noexcept { return participant_; }
    // The AgnosticTopic topic of that name, created from the <topic> profile
    // on first use; readers and writers of one name share it.
    eprosima::fastdds::dds::Topic* FindOrCreateTopic(const std::string& name);
    // The same for a topic of another registered type.
    eprosima::fastdds::dds::Topic* FindOrCreateTopic(const std::string& name, const std::string& typeName);
    // A DdsError naming both types when topic `name` exists with another
    // type than typeName (one participant has one Topic per name).
    void CheckTopicType(const std::string& name, const std::string& typeName) const;
    // Deletes the topics, then the participant; derived classes delete their
    // readers or writers first.
    void DeleteParticipant() noexcept;

private:
    // Tells the Fast DDS log route that this participant's shared-memory
    // transport is gone, once.
    void ForgetSharedMemory() noexcept;

    std::string qosFile_;
    std::string resolvedQosFile_;
    std::string qosProfile_;
    uint32_t domainId_;
    std::string toolName_;
    std::vector<std::string> allowedAddresses_;
    bool whiteListSet_ = false;
    bool sharedMemory_ = false;
    std::vector<std::pair<std::string, std::string>> properties_;
    std::shared_ptr<DiscoveryObserver> discoveryObserver_;
    std::vector<std::shared_ptr<DiscoveryObserver>> addedObservers_;
    std::shared_ptr<ParticipantObserver> participantObserver_;
    // Declared before the participant: it outlives its last callback.
    std::unique_ptr<DiscoveryListener> discoveryListener_;
    eprosima::fastdds::dds::DomainParticipant* participant_ = nullptr;
    std::vector<eprosima::fastdds::dds::Topic*> topics_;
};

// Path under which a QoS file name is found: as given when it exists (or is
// absolute), otherwise beside the running executable, then in the installed
// QoS directory. Returns the name unchanged when no candidate exists.
std::string ResolveQosFile(const std::string& qosFile);

} // namespace lumo::componentFramework
