// The participant's listener: hands discovery of remote participants and
// writers to a DiscoveryWatch, in the facade's version-neutral records
// (Fast DDS 2.x and 3.x report discovery through different callbacks and
// records). It is attached with an empty status mask, so that every reader
// status and every data-available call stays with the readers' own
// listeners.
#pragma once

#include <string>

#include <fastdds/dds/domain/DomainParticipantListener.hpp>

#include "AuthenticationWatch.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/componentFramework/WriterMatch.h"

namespace eprosima::fastdds::dds {
class DataReaderQos;
class SubscriberQos;
} // namespace eprosima::fastdds::dds

namespace lumo::componentFramework {

class DiscoveryWatch;

class DiscoveryListener : public eprosima::fastdds::dds::DomainParticipantListener
{
public:
    // `secured`: the participant authenticates its peers.
    DiscoveryListener(DiscoveryWatch& watch, AuthenticationHook authenticationHook, bool secured)
        : watch_(watch)
        , authentication_(std::move(authenticationHook), secured)
    {
    }

#if LUMO_FASTDDS_MAJOR >= 3
    void on_participant_discovery(eprosima::fastdds::dds::DomainParticipant* participant,
                                  eprosima::fastdds::rtps::ParticipantDiscoveryStatus reason,
                                  const eprosima::fastdds::dds::ParticipantBuiltinTopicData& info,
                                  bool& shouldBeIgnored) override;
    void on_data_writer_discovery(eprosima::fastdds::dds::DomainParticipant* participant,
                                  eprosima::fastdds::rtps::WriterDiscoveryStatus reason,
                                  const eprosima::fastdds::dds::PublicationBuiltinTopicData& info,
                                  bool& shouldBeIgnored) override;
#else
    void on_participant_discovery(eprosima::fastdds::dds::DomainParticipant* participant,
                                  eprosima::fastrtps::rtps::ParticipantDiscoveryInfo&& info) override;
    void on_publisher_discovery(eprosima::fastdds::dds::DomainParticipant* participant,
                                eprosima::fastrtps::rtps::WriterDiscoveryInfo&& info) override;
#endif
#if HAVE_SECURITY
    void onParticipantAuthentication(eprosima::fastdds::dds::DomainParticipant* participant,
                                     compat::rtps::ParticipantAuthenticationInfo&& info) override;
#endif

private:
    DiscoveryWatch& watch_;
    AuthenticationWatch authentication_;
};

// What a local reader requests, for comparison with discovered writers.
EndpointQos ReaderEndpointQos(const eprosima::fastdds::dds::DataReaderQos& reader,
                              const eprosima::fastdds::dds::SubscriberQos& subscriber, const std::string& typeName);

} // namespace lumo::componentFramework
