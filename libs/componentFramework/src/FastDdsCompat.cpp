// The version-specific side of FastDdsCompat.h: headers, namespaces and the
// transport API that Fast DDS 3 moved or replaced.
#include "lumo/componentFramework/FastDdsCompat.h"

#include <cstdlib>
#include <memory>
#include <sstream>

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
std::string LocatorsText(const Locators& locators)
{
    std::string text;
    for (const auto& locator : locators) {
        text += (text.empty() ? "" : ", ") + LocatorText(locator);
    }
    return text.empty() ? "no address" : text;
}

// The servers a participant is a client of: locators in 3.x, servers with
// their GUID prefix and locators in 2.x.
std::string ServersText(const eprosima::fastdds::dds::DomainParticipantQos& qos)
{
    const auto& servers = qos.wire_protocol().builtin.discovery_config.m_DiscoveryServers;
#if LUMO_FASTDDS_MAJOR >= 3
    return LocatorsText(servers);
#else
    std::vector<rtps::Locator_t> locators;
    for (const auto& server : servers) {
        locators.insert(locators.end(), server.metatrafficUnicastLocatorList.begin(),
                        server.metatrafficUnicastLocatorList.end());
    }
    return LocatorsText(locators);
#endif
}

// The servers ROS_DISCOVERY_SERVER names, as Fast DDS reads it: entries
// separated by ';' (an entry's position is the server's id in 2.x, so empty
// ones are kept there), 11811 when an entry gives no port. Empty when the
// variable is unset or names no server.
std::string EnvironmentServers()
{
    const char* value = std::getenv("ROS_DISCOVERY_SERVER");
    if (value == nullptr) {
        return {};
    }
    std::istringstream entries(value);
    std::string text;
    for (std::string entry; std::getline(entries, entry, ';');) {
        entry.erase(0, entry.find_first_not_of(" \t"));
        entry.erase(entry.find_last_not_of(" \t") + 1);
        if (entry.empty()) {
            continue;
        }
        if (entry.find(':') == std::string::npos) {
            entry += ":11811";
        }
        text += (text.empty() ? "" : ", ") + entry;
    }
    return text;
}

} // namespace

std::string DiscoveryDescription(const eprosima::fastdds::dds::DomainParticipantQos& qos, uint32_t domainId)
{
    const auto& builtin = qos.wire_protocol().builtin;
#if LUMO_FASTDDS_MAJOR >= 3
    using Protocol = eprosima::fastdds::rtps::DiscoveryProtocol;
#else
    using Protocol = eprosima::fastrtps::rtps::DiscoveryProtocol_t;
#endif
    switch (builtin.discovery_config.discoveryProtocol) {
    case Protocol::SIMPLE:
        if (const auto servers = EnvironmentServers(); !servers.empty()) {
            return "server, client of " + servers + " (ROS_DISCOVERY_SERVER)";
        }
        if (!builtin.initialPeersList.empty()) {
            return "static peers " + LocatorsText(builtin.initialPeersList);
        }
        if (!builtin.metatrafficMulticastLocatorList.empty()) {
            return "simple, multicast " + LocatorsText(builtin.metatrafficMulticastLocatorList);
        }
        return "simple, multicast 239.255.0.1:" + std::to_string(qos.wire_protocol().port.getMulticastPort(domainId));
    case Protocol::CLIENT:
    case Protocol::SUPER_CLIENT:
        return "server, client of " + ServersText(qos);
    case Protocol::SERVER:
    case Protocol::BACKUP:
        return "server, serving at " + LocatorsText(builtin.metatrafficUnicastLocatorList);
    default:
        return "none (no built-in discovery)";
    }
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

} // namespace lumo::componentFramework::compat
