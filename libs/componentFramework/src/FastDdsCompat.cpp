// The version-specific side of FastDdsCompat.h: headers, namespaces and the
// transport API that Fast DDS 3 moved or replaced.
#include "lumo/componentFramework/FastDdsCompat.h"

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

} // namespace

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
