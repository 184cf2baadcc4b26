// The version-specific side of FastDdsCompat.h: headers, namespaces and the
// transport API that Fast DDS 3 moved or replaced.
#include "lumo/componentFramework/FastDdsCompat.h"

#include <algorithm>
#include <memory>

#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>

#if LUMO_FASTDDS_MAJOR >= 3
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.hpp>
#include <fastdds/rtps/transport/network/AllowedNetworkInterface.hpp>
#include <fastdds/rtps/transport/shared_mem/SharedMemTransportDescriptor.hpp>
#include <fastdds/utils/IPLocator.hpp>
#else
#include <fastdds/rtps/transport/UDPv4TransportDescriptor.h>
#include <fastdds/rtps/transport/shared_mem/SharedMemTransportDescriptor.h>
#endif

namespace lumo::componentFramework::compat {

using eprosima::fastdds::rtps::SharedMemTransportDescriptor;
using eprosima::fastdds::rtps::UDPv4TransportDescriptor;

namespace {

void Restrict(UDPv4TransportDescriptor& udp, const std::vector<std::string>& addresses)
{
#if LUMO_FASTDDS_MAJOR >= 3
    // 3.x still reads interfaceWhiteList but warns on every participant that
    // it will go; the allow-list takes names and addresses alike, each with
    // the descriptor's netmask filter.
    udp.interfaceWhiteList.clear();
    udp.interface_allowlist.clear();
    for (const auto& address : addresses) {
        udp.interface_allowlist.emplace_back(address);
    }
#else
    udp.interfaceWhiteList = addresses;
#endif
}

std::string LocatorText(const rtps::Locator_t& locator)
{
    std::string text = rtps::IPLocator::ip_to_string(locator);
    // Port 0 leaves the port to Fast DDS (the domain's well-known ports).
    return locator.port == 0 ? text : text + ":" + std::to_string(locator.port);
}

template <typename Locators>
std::vector<std::string> LocatorTexts(const Locators& locators)
{
    std::vector<std::string> texts;
    for (const auto& locator : locators) {
        texts.push_back(LocatorText(locator));
    }
    return texts;
}

// The servers a participant is a client of: locators in 3.x, servers with
// their GUID prefix and locators in 2.x.
std::vector<std::string> ServerTexts(const eprosima::fastdds::dds::DomainParticipantQos& qos)
{
    const auto& servers = qos.wire_protocol().builtin.discovery_config.m_DiscoveryServers;
#if LUMO_FASTDDS_MAJOR >= 3
    return LocatorTexts(servers);
#else
    std::vector<std::string> texts;
    for (const auto& server : servers) {
        const auto more = LocatorTexts(server.metatrafficUnicastLocatorList);
        texts.insert(texts.end(), more.begin(), more.end());
    }
    return texts;
#endif
}

} // namespace

DiscoverySettings DiscoverySettingsOf(const eprosima::fastdds::dds::DomainParticipantQos& qos, uint32_t domainId)
{
    const auto& builtin = qos.wire_protocol().builtin;
#if LUMO_FASTDDS_MAJOR >= 3
    using Protocol = eprosima::fastdds::rtps::DiscoveryProtocol;
#else
    using Protocol = eprosima::fastrtps::rtps::DiscoveryProtocol_t;
#endif
    DiscoverySettings settings;
    settings.initialPeers = LocatorTexts(builtin.initialPeersList);
    settings.multicast = LocatorTexts(builtin.metatrafficMulticastLocatorList);
    settings.domainMulticastPort = qos.wire_protocol().port.getMulticastPort(domainId);
    switch (builtin.discovery_config.discoveryProtocol) {
    case Protocol::SIMPLE:
        settings.mode = DiscoverySettings::Mode::SIMPLE;
        break;
    case Protocol::CLIENT:
    case Protocol::SUPER_CLIENT:
        settings.mode = DiscoverySettings::Mode::CLIENT;
        settings.servers = ServerTexts(qos);
        break;
    case Protocol::SERVER:
    case Protocol::BACKUP:
        settings.mode = DiscoverySettings::Mode::SERVER;
        settings.listening = LocatorTexts(builtin.metatrafficUnicastLocatorList);
        break;
    default:
        settings.mode = DiscoverySettings::Mode::NONE;
        break;
    }
    return settings;
}

const char* FastDdsVersion()
{
#if LUMO_FASTDDS_MAJOR >= 3
    return FASTDDS_VERSION_STR;
#else
    return FASTRTPS_VERSION_STR;
#endif
}

Duration ToDuration(std::chrono::milliseconds time)
{
    const auto ms = time.count();
    return Duration(static_cast<int32_t>(ms / 1000), static_cast<uint32_t>((ms % 1000) * 1000000));
}

std::string IPv4Text(const rtps::Locator_t& locator)
{
    return rtps::IPLocator::ip_to_string(locator);
}

rtps::Locator_t UdpV4Locator(const std::string& address)
{
    rtps::Locator_t locator;
    locator.kind = LOCATOR_KIND_UDPv4;
    rtps::IPLocator::setIPv4(locator, address);
    locator.port = 0;
    return locator;
}

void RestrictUdpToAddresses(eprosima::fastdds::dds::DomainParticipantQos& qos,
                            const std::vector<std::string>& addresses)
{
    auto& transport = qos.transport();
    if (transport.use_builtin_transports) {
        transport.use_builtin_transports = false;
        transport.user_transports.clear();
        transport.user_transports.push_back(std::make_shared<SharedMemTransportDescriptor>());
        auto udp = std::make_shared<UDPv4TransportDescriptor>();
        Restrict(*udp, addresses);
        transport.user_transports.push_back(udp);
        return;
    }
    for (auto& descriptor : transport.user_transports) {
        if (auto udp = std::dynamic_pointer_cast<UDPv4TransportDescriptor>(descriptor)) {
            auto restricted = std::make_shared<UDPv4TransportDescriptor>(*udp);
            Restrict(*restricted, addresses);
            descriptor = restricted;
        }
    }
}

void SetProperty(eprosima::fastdds::dds::DomainParticipantQos& qos, const std::string& name, const std::string& value)
{
    auto& properties = qos.properties().properties();
    for (auto& property : properties) {
        if (property.name() == name) {
            property.value(value);
            return;
        }
    }
    properties.emplace_back(name, value);
}

void CapSharedMemorySegment(eprosima::fastdds::dds::DomainParticipantQos& qos, uint32_t maxBytes)
{
    for (auto& descriptor : qos.transport().user_transports) {
        auto shm = std::dynamic_pointer_cast<SharedMemTransportDescriptor>(descriptor);
        if (shm && shm->segment_size() > maxBytes) {
            auto capped = std::make_shared<SharedMemTransportDescriptor>(*shm);
            capped->segment_size(maxBytes);
            descriptor = capped;
        }
    }
}

bool UsesSharedMemory(const eprosima::fastdds::dds::DomainParticipantQos& qos)
{
    const auto& transport = qos.transport();
    return transport.use_builtin_transports ||
           std::any_of(transport.user_transports.begin(), transport.user_transports.end(), [](const auto& descriptor) {
               return std::dynamic_pointer_cast<SharedMemTransportDescriptor>(descriptor) != nullptr;
           });
}

} // namespace lumo::componentFramework::compat
