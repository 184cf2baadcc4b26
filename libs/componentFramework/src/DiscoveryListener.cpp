#include "DiscoveryListener.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/subscriber/qos/SubscriberQos.hpp>
#if LUMO_FASTDDS_MAJOR >= 3
#include <fastdds/dds/builtin/topic/ParticipantBuiltinTopicData.hpp>
#include <fastdds/dds/builtin/topic/PublicationBuiltinTopicData.hpp>
#include <fastdds/dds/builtin/topic/SubscriptionBuiltinTopicData.hpp>
#include <fastdds/utils/IPLocator.hpp>
#else
#include <fastdds/rtps/builtin/data/ParticipantProxyData.h>
#include <fastdds/rtps/builtin/data/ReaderProxyData.h>
#include <fastdds/rtps/builtin/data/WriterProxyData.h>
#include <fastdds/rtps/participant/ParticipantDiscoveryInfo.h>
#include <fastdds/rtps/reader/ReaderDiscoveryInfo.h>
#include <fastdds/rtps/writer/WriterDiscoveryInfo.h>
#include <fastrtps/utils/IPLocator.h>
#endif

namespace lumo::componentFramework {

namespace dds = eprosima::fastdds::dds;
namespace rtps = compat::rtps;

namespace {

double Seconds(const compat::Duration& d)
{
    if (d.seconds >= compat::Duration::INFINITE_SECONDS) {
        return INFINITE_SECONDS;
    }
    return static_cast<double>(d.seconds) + static_cast<double>(d.nanosec) * 1e-9;
}

std::string PrefixText(const rtps::GuidPrefix_t& prefix)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < rtps::GuidPrefix_t::size; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : ".%02x", prefix.value[i]);
        text += byte;
    }
    return text;
}

// An IPv4 address to reach the writer at: its unicast locators first.
std::string HostAddress(const rtps::RemoteLocatorList& locators)
{
    for (const auto* list : {&locators.unicast, &locators.multicast}) {
        for (const auto& locator : *list) {
            if (locator.kind == LOCATOR_KIND_UDPv4 || locator.kind == LOCATOR_KIND_TCPv4) {
                return rtps::IPLocator::toIPv4string(locator);
            }
        }
    }
    return {};
}

// Where a participant is: an IPv4 address it announced, or this host when it
// offers shared memory alone (as a participant on the same host may).
std::string ParticipantHost(const rtps::RemoteLocatorList& metatraffic, const rtps::RemoteLocatorList& user)
{
    for (const auto* locators : {&metatraffic, &user}) {
        if (auto address = HostAddress(*locators); !address.empty()) {
            return address;
        }
    }
    const auto& unicast = metatraffic.unicast;
    const bool sharedMemory = std::any_of(unicast.begin(), unicast.end(),
                                          [](const auto& locator) { return locator.kind == LOCATOR_KIND_SHM; });
    return sharedMemory ? "this host (shared memory)" : "";
}

// Every unicast IPv4 address a participant announced, in the order given.
std::vector<std::string> UnicastAddresses(const rtps::RemoteLocatorList& metatraffic,
                                          const rtps::RemoteLocatorList& user)
{
    std::vector<std::string> addresses;
    for (const auto* locators : {&metatraffic, &user}) {
        for (const auto& locator : locators->unicast) {
            if (locator.kind != LOCATOR_KIND_UDPv4 && locator.kind != LOCATOR_KIND_TCPv4) {
                continue;
            }
            auto address = rtps::IPLocator::toIPv4string(locator);
            if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
                addresses.push_back(std::move(address));
            }
        }
    }
    return addresses;
}

std::string VendorText(const rtps::VendorId_t& vendor)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x.%02x", vendor[0], vendor[1]);
    return text;
}

#if LUMO_FASTDDS_MAJOR < 3
// The authentication a participant asks of its peers ("DDS:Auth:PKI-DH:1.0"),
// empty for one without DDS Security.
std::string IdentityClass([[maybe_unused]] const rtps::ParticipantProxyData& data)
{
#if HAVE_SECURITY
    return data.identity_token_.class_id();
#else
    return {};
#endif
}
#endif

std::vector<int16_t> Representations(const dds::DataRepresentationQosPolicy& policy)
{
    std::vector<int16_t> ids;
    for (const auto id : policy.m_value) {
        ids.push_back(static_cast<int16_t>(id));
    }
    return ids;
}

} // namespace

std::string GuidText(const rtps::GUID_t& guid)
{
    std::string text = PrefixText(guid.guidPrefix) + "|";
    char byte[4];
    for (size_t i = 0; i < rtps::EntityId_t::size; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%x" : ".%x", guid.entityId.value[i]);
        text += byte;
    }
    return text;
}

#if LUMO_FASTDDS_MAJOR >= 3

void DiscoveryListener::on_participant_discovery(dds::DomainParticipant*, rtps::ParticipantDiscoveryStatus reason,
                                                 const dds::ParticipantBuiltinTopicData& info, bool&)
{
    const DiscoveredParticipant record{PrefixText(info.guid.guidPrefix), info.participant_name.to_string(),
                                       UnicastAddresses(info.metatraffic_locators, info.default_locators),
                                       VendorText(info.vendor_id),
                                       ParticipantHost(info.metatraffic_locators, info.default_locators)};
    switch (reason) {
    case rtps::ParticipantDiscoveryStatus::DISCOVERED_PARTICIPANT:
    case rtps::ParticipantDiscoveryStatus::CHANGED_QOS_PARTICIPANT:
        if (participants_ != nullptr) {
            // 3.x keeps the identity token a participant announces to itself.
            participants_->Announced({record.guidPrefix, record.host, record.vendorId, record.name, {}});
        }
        if (reason == rtps::ParticipantDiscoveryStatus::DISCOVERED_PARTICIPANT) {
            Tell([&record](DiscoveryObserver& o) { o.ParticipantDiscovered(record); });
        } else {
            Tell([&record](DiscoveryObserver& o) { o.ParticipantChanged(record); });
        }
        break;
    case rtps::ParticipantDiscoveryStatus::REMOVED_PARTICIPANT:
    case rtps::ParticipantDiscoveryStatus::DROPPED_PARTICIPANT:
        if (participants_ != nullptr) {
            participants_->Removed(record.guidPrefix);
        }
        Tell([&record](DiscoveryObserver& o) { o.ParticipantRemoved(record.guidPrefix); });
        break;
    default:
        break; // ignored: never discovered
    }
}

void DiscoveryListener::on_data_writer_discovery(dds::DomainParticipant*, rtps::WriterDiscoveryStatus reason,
                                                 const dds::PublicationBuiltinTopicData& data, bool&)
{
    if (observers_.empty() || reason == rtps::WriterDiscoveryStatus::IGNORED_WRITER) {
        return;
    }
    if (reason == rtps::WriterDiscoveryStatus::REMOVED_WRITER) {
        Tell([guid = GuidText(data.guid)](DiscoveryObserver& o) { o.WriterRemoved(guid); });
        return;
    }
    DiscoveredWriter writer;
    writer.guid = GuidText(data.guid);
    writer.participantPrefix = PrefixText(data.guid.guidPrefix);
    writer.hostAddress = HostAddress(data.remote_locators);
    writer.topicName = data.topic_name.to_string();
    writer.qos.reliability = static_cast<uint32_t>(data.reliability.kind);
    writer.qos.durability = static_cast<uint32_t>(data.durability.kind);
    writer.qos.livelinessKind = static_cast<uint32_t>(data.liveliness.kind);
    writer.qos.livelinessLeaseSec = Seconds(data.liveliness.lease_duration);
    writer.qos.deadlineSec = Seconds(data.deadline.period);
    writer.qos.ownership = static_cast<uint32_t>(data.ownership.kind);
    writer.qos.disablePositiveAcks = data.disable_positive_acks.enabled;
    writer.qos.keyed = data.topic_kind == rtps::WITH_KEY;
    writer.qos.representations = Representations(data.representation);
    writer.qos.partitions = data.partition.names();
    writer.qos.typeName = data.type_name.to_string();
    Tell([&writer](DiscoveryObserver& o) { o.WriterDiscovered(writer); });
}

void DiscoveryListener::on_data_reader_discovery(dds::DomainParticipant*, rtps::ReaderDiscoveryStatus reason,
                                                 const dds::SubscriptionBuiltinTopicData& data, bool&)
{
    if (observers_.empty() || reason == rtps::ReaderDiscoveryStatus::IGNORED_READER) {
        return;
    }
    if (reason == rtps::ReaderDiscoveryStatus::REMOVED_READER) {
        Tell([guid = GuidText(data.guid)](DiscoveryObserver& o) { o.ReaderRemoved(guid); });
        return;
    }
    DiscoveredReader reader;
    reader.guid = GuidText(data.guid);
    reader.participantPrefix = PrefixText(data.guid.guidPrefix);
    reader.hostAddress = HostAddress(data.remote_locators);
    reader.topicName = data.topic_name.to_string();
    reader.qos.reliability = static_cast<uint32_t>(data.reliability.kind);
    reader.qos.durability = static_cast<uint32_t>(data.durability.kind);
    reader.qos.livelinessKind = static_cast<uint32_t>(data.liveliness.kind);
    reader.qos.livelinessLeaseSec = Seconds(data.liveliness.lease_duration);
    reader.qos.deadlineSec = Seconds(data.deadline.period);
    reader.qos.ownership = static_cast<uint32_t>(data.ownership.kind);
    reader.qos.disablePositiveAcks = data.disable_positive_acks.enabled;
    reader.qos.keyed = data.topic_kind == rtps::WITH_KEY;
    reader.qos.representations = Representations(data.representation);
    reader.qos.partitions = data.partition.names();
    reader.qos.typeName = data.type_name.to_string();
    Tell([&reader](DiscoveryObserver& o) { o.ReaderDiscovered(reader); });
}

#else

void DiscoveryListener::on_participant_discovery(dds::DomainParticipant*, rtps::ParticipantDiscoveryInfo&& info)
{
    const DiscoveredParticipant record{PrefixText(info.info.m_guid.guidPrefix), info.info.m_participantName.to_string(),
                                       UnicastAddresses(info.info.metatraffic_locators, info.info.default_locators),
                                       VendorText(info.info.m_VendorId),
                                       ParticipantHost(info.info.metatraffic_locators, info.info.default_locators)};
    switch (info.status) {
    case rtps::ParticipantDiscoveryInfo::DISCOVERED_PARTICIPANT:
    case rtps::ParticipantDiscoveryInfo::CHANGED_QOS_PARTICIPANT:
        if (participants_ != nullptr) {
            participants_->Announced(
                {record.guidPrefix, record.host, record.vendorId, record.name, IdentityClass(info.info)});
        }
        if (info.status == rtps::ParticipantDiscoveryInfo::DISCOVERED_PARTICIPANT) {
            Tell([&record](DiscoveryObserver& o) { o.ParticipantDiscovered(record); });
        } else {
            Tell([&record](DiscoveryObserver& o) { o.ParticipantChanged(record); });
        }
        break;
    case rtps::ParticipantDiscoveryInfo::REMOVED_PARTICIPANT:
    case rtps::ParticipantDiscoveryInfo::DROPPED_PARTICIPANT:
        if (participants_ != nullptr) {
            participants_->Removed(record.guidPrefix);
        }
        Tell([&record](DiscoveryObserver& o) { o.ParticipantRemoved(record.guidPrefix); });
        break;
    }
}

void DiscoveryListener::on_publisher_discovery(dds::DomainParticipant*, rtps::WriterDiscoveryInfo&& info)
{
    const auto& data = info.info;
    if (observers_.empty()) {
        return;
    }
    if (info.status == rtps::WriterDiscoveryInfo::REMOVED_WRITER) {
        Tell([guid = GuidText(data.guid())](DiscoveryObserver& o) { o.WriterRemoved(guid); });
        return;
    }
    DiscoveredWriter writer;
    writer.guid = GuidText(data.guid());
    writer.participantPrefix = PrefixText(data.guid().guidPrefix);
    writer.hostAddress = HostAddress(data.remote_locators());
    writer.topicName = data.topicName().to_string();
    const auto& qos = data.m_qos;
    writer.qos.reliability = static_cast<uint32_t>(qos.m_reliability.kind);
    writer.qos.durability = static_cast<uint32_t>(qos.m_durability.kind);
    writer.qos.livelinessKind = static_cast<uint32_t>(qos.m_liveliness.kind);
    writer.qos.livelinessLeaseSec = Seconds(qos.m_liveliness.lease_duration);
    writer.qos.deadlineSec = Seconds(qos.m_deadline.period);
    writer.qos.ownership = static_cast<uint32_t>(qos.m_ownership.kind);
    writer.qos.disablePositiveAcks = qos.m_disablePositiveACKs.enabled;
    writer.qos.keyed = data.topicKind() == rtps::WITH_KEY;
    writer.qos.representations = Representations(qos.representation);
    writer.qos.partitions = qos.m_partition.names();
    writer.qos.typeName = data.typeName().to_string();
#if HAVE_SECURITY
    writer.qos.security = {data.security_attributes_, data.plugin_security_attributes_};
#endif
    Tell([&writer](DiscoveryObserver& o) { o.WriterDiscovered(writer); });
}

void DiscoveryListener::on_subscriber_discovery(dds::DomainParticipant*, rtps::ReaderDiscoveryInfo&& info)
{
    const auto& data = info.info;
    if (observers_.empty()) {
        return;
    }
    if (info.status == rtps::ReaderDiscoveryInfo::REMOVED_READER) {
        Tell([guid = GuidText(data.guid())](DiscoveryObserver& o) { o.ReaderRemoved(guid); });
        return;
    }
    DiscoveredReader reader;
    reader.guid = GuidText(data.guid());
    reader.participantPrefix = PrefixText(data.guid().guidPrefix);
    reader.hostAddress = HostAddress(data.remote_locators());
    reader.topicName = data.topicName().to_string();
    const auto& qos = data.m_qos;
    reader.qos.reliability = static_cast<uint32_t>(qos.m_reliability.kind);
    reader.qos.durability = static_cast<uint32_t>(qos.m_durability.kind);
    reader.qos.livelinessKind = static_cast<uint32_t>(qos.m_liveliness.kind);
    reader.qos.livelinessLeaseSec = Seconds(qos.m_liveliness.lease_duration);
    reader.qos.deadlineSec = Seconds(qos.m_deadline.period);
    reader.qos.ownership = static_cast<uint32_t>(qos.m_ownership.kind);
    reader.qos.disablePositiveAcks = qos.m_disablePositiveACKs.enabled;
    reader.qos.keyed = data.topicKind() == rtps::WITH_KEY;
    reader.qos.representations = Representations(qos.representation);
    reader.qos.partitions = qos.m_partition.names();
    reader.qos.typeName = data.typeName().to_string();
#if HAVE_SECURITY
    reader.qos.security = {data.security_attributes_, data.plugin_security_attributes_};
#endif
    Tell([&reader](DiscoveryObserver& o) { o.ReaderDiscovered(reader); });
}

#endif

#if HAVE_SECURITY
void DiscoveryListener::onParticipantAuthentication(dds::DomainParticipant*, rtps::ParticipantAuthenticationInfo&& info)
{
    if (participants_ != nullptr) {
        participants_->Authenticated(PrefixText(info.guid.guidPrefix),
                                     info.status == rtps::ParticipantAuthenticationInfo::AUTHORIZED_PARTICIPANT);
    }
}
#endif

EndpointQos ReaderEndpointQos(const dds::DataReaderQos& reader, const dds::SubscriberQos& subscriber,
                              const std::string& typeName)
{
    EndpointQos qos;
    qos.reliability = static_cast<uint32_t>(reader.reliability().kind);
    qos.durability = static_cast<uint32_t>(reader.durability().kind);
    qos.livelinessKind = static_cast<uint32_t>(reader.liveliness().kind);
    qos.livelinessLeaseSec = Seconds(reader.liveliness().lease_duration);
    qos.deadlineSec = Seconds(reader.deadline().period);
    qos.ownership = static_cast<uint32_t>(reader.ownership().kind);
#if LUMO_FASTDDS_MAJOR >= 3
    qos.disablePositiveAcks = reader.reliable_reader_qos().disable_positive_acks.enabled;
#else
    qos.disablePositiveAcks = reader.reliable_reader_qos().disable_positive_ACKs.enabled;
#endif
    qos.representations = Representations(compat::ReaderRepresentation(reader));
    qos.representationChecked = compat::READER_REPRESENTATION_ANNOUNCED;
    qos.partitions = subscriber.partition().names();
    qos.typeName = typeName;
    return qos;
}

} // namespace lumo::componentFramework
