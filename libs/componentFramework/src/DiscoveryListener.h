// The participant's listener: hands discovery of remote participants,
// writers and readers to the caller's DiscoveryObservers (in order), and remote participants'
// announcements and authentications to its ParticipantObserver, in the
// facade's version-neutral
// records (Fast DDS 2.x and 3.x report discovery through different callbacks
// and records). It is attached with an empty status mask, so that every reader
// status and every data-available call stays with the readers' own
// listeners.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <fastdds/dds/domain/DomainParticipantListener.hpp>

#include "lumo/componentFramework/DiscoveryRecords.h"
#include "lumo/componentFramework/FastDdsCompat.h"

namespace eprosima::fastdds::dds {
class DataReaderQos;
class SubscriberQos;
} // namespace eprosima::fastdds::dds

namespace lumo::componentFramework {

class DiscoveryListener : public eprosima::fastdds::dds::DomainParticipantListener
{
public:
    // `participants` may be null; `observers` empty.
    DiscoveryListener(std::vector<std::shared_ptr<DiscoveryObserver>> observers,
                      std::shared_ptr<ParticipantObserver> participants)
        : observers_(std::move(observers))
        , participants_(std::move(participants))
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
    void on_data_reader_discovery(eprosima::fastdds::dds::DomainParticipant* participant,
                                  eprosima::fastdds::rtps::ReaderDiscoveryStatus reason,
                                  const eprosima::fastdds::dds::SubscriptionBuiltinTopicData& info,
                                  bool& shouldBeIgnored) override;
#else
    void on_participant_discovery(eprosima::fastdds::dds::DomainParticipant* participant,
                                  eprosima::fastrtps::rtps::ParticipantDiscoveryInfo&& info) override;
    void on_publisher_discovery(eprosima::fastdds::dds::DomainParticipant* participant,
                                eprosima::fastrtps::rtps::WriterDiscoveryInfo&& info) override;
    void on_subscriber_discovery(eprosima::fastdds::dds::DomainParticipant* participant,
                                 eprosima::fastrtps::rtps::ReaderDiscoveryInfo&& info) override;
#endif
#if HAVE_SECURITY
    void onParticipantAuthentication(eprosima::fastdds::dds::DomainParticipant* participant,
                                     compat::rtps::ParticipantAuthenticationInfo&& info) override;
#endif

private:
    template <typename Call>
    void Tell(const Call& call) const
    {
        for (const auto& observer : observers_) {
            call(*observer);
        }
    }

    std::vector<std::shared_ptr<DiscoveryObserver>> observers_;
    std::shared_ptr<ParticipantObserver> participants_;
};

// "01.0f...|0.0.1.4", as discovery records and Fast DDS's log show GUIDs.
std::string GuidText(const compat::rtps::GUID_t& guid);

// What a local reader requests, for comparison with discovered writers.
EndpointQos ReaderEndpointQos(const eprosima::fastdds::dds::DataReaderQos& reader,
                              const eprosima::fastdds::dds::SubscriberQos& subscriber, const std::string& typeName);

} // namespace lumo::componentFramework
