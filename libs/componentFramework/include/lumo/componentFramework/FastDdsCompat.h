// Where the Fast DDS 2.x and 3.x DDS-layer APIs differ. The tools, tests and
// benchmarks name version-specific things only through this header (and
// TypeSupportCompat.h), so that their own code builds unchanged on both.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <fastdds/dds/core/status/StatusMask.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>

#include "lumo/componentFramework/DiscoveryRecords.h"

// 3.x's configuration header first: a 3.x build may see Debian's 2.x headers
// in /usr/include as well, and must not take its version from them.
#if __has_include(<fastdds/config.hpp>)
#include <fastdds/config.hpp>
#elif __has_include(<fastrtps/config.h>)
#include <fastrtps/config.h>
#endif

#if defined(FASTDDS_VERSION_MAJOR) && FASTDDS_VERSION_MAJOR >= 3
#define LUMO_FASTDDS_MAJOR 3
#elif defined(FASTRTPS_VERSION_MAJOR) && FASTRTPS_VERSION_MAJOR == 2
#define LUMO_FASTDDS_MAJOR 2
#else
#error "Fast DDS 2.x or 3.x is required"
#endif

#if LUMO_FASTDDS_MAJOR >= 3
#include <fastdds/dds/core/ReturnCode.hpp>
#include <fastdds/dds/core/Time_t.hpp>
#include <fastdds/rtps/common/Locator.hpp>
#else
#include <fastdds/rtps/common/Locator.h>
#include <fastrtps/rtps/common/Time_t.h>
#include <fastrtps/types/TypesBase.h>
#include <fastrtps/utils/IPLocator.h>
#endif

namespace eprosima::fastdds::dds {
class DomainParticipantQos;
} // namespace eprosima::fastdds::dds

namespace lumo::componentFramework::compat {

#if LUMO_FASTDDS_MAJOR >= 3
// The RTPS layer's namespace (locators, payloads, instance handles).
namespace rtps = eprosima::fastdds::rtps;
using Duration = eprosima::fastdds::dds::Duration_t;
using ReturnCode = eprosima::fastdds::dds::ReturnCode_t;
inline int32_t RetcodeValue(ReturnCode rc)
{
    return static_cast<int32_t>(rc);
}
inline bool IsOk(ReturnCode rc)
{
    return rc == eprosima::fastdds::dds::RETCODE_OK;
}
// DataWriter::write returns a return code in 3.x.
inline bool WriteSucceeded(ReturnCode rc)
{
    return IsOk(rc);
}
#else
namespace rtps = eprosima::fastrtps::rtps;
using Duration = eprosima::fastrtps::Duration_t;
using ReturnCode = eprosima::fastrtps::types::ReturnCode_t;
// In 2.x the return code is a class: its value comes from rc(), and only
// comparison with RETCODE_OK is reliable.
inline int32_t RetcodeValue(const ReturnCode& rc)
{
    return static_cast<int32_t>(rc());
}
inline bool IsOk(const ReturnCode& rc)
{
    return rc == ReturnCode::RETCODE_OK;
}
// DataWriter::write returns a bool in 2.x.
inline bool WriteSucceeded(bool ok)
{
    return ok;
}
#endif

// Version of the Fast DDS the code was built against, e.g. "3.6.2".
const char* FastDdsVersion();

// A DDS duration from milliseconds.
Duration ToDuration(std::chrono::milliseconds time);

// Dotted-quad text of an IPv4 locator's address.
std::string IPv4Text(const rtps::Locator_t& locator);

// A UDPv4 locator for an IPv4 address, port left to Fast DDS (0: it fills in
// the domain's port).
rtps::Locator_t UdpV4Locator(const std::string& address);

// Confines every UDPv4 transport of the participant to these local IPv4
// addresses, keeping shared memory. When the QoS uses the built-in
// transports they are replaced by the same pair (shared memory, UDPv4) with
// the UDP side restricted; the profile's own UDPv4 descriptors are restricted
// as copies, since they are shared with the factory's stored profile.
void RestrictUdpToAddresses(eprosima::fastdds::dds::DomainParticipantQos& qos,
                            const std::vector<std::string>& addresses);

// Sets a participant property, replacing one of the same name (a profile's).
void SetProperty(eprosima::fastdds::dds::DomainParticipantQos& qos, const std::string& name, const std::string& value);

// Shrinks every shared-memory transport of the participant whose segment is
// larger than maxBytes to that size (copies, as above). The segment holds what
// the participant sends and is mapped whole when the participant starts.
void CapSharedMemorySegment(eprosima::fastdds::dds::DomainParticipantQos& qos, uint32_t maxBytes);

// Whether a participant created with this QoS has the shared-memory transport:
// one of its own descriptors, or the built-in transports (which include it
// by default in both versions).
bool UsesSharedMemory(const eprosima::fastdds::dds::DomainParticipantQos& qos);

// How a participant created with this QoS on this domain finds its peers:
// the discovery settings of the QoS, in the facade's own record.
DiscoverySettings DiscoverySettingsOf(const eprosima::fastdds::dds::DomainParticipantQos& qos, uint32_t domainId);

// Whether the access control plugin finds a permissions grant only by a
// subject name whose attributes come in the certificate's order (as
// RFC 2253 prints it, most specific last: "O=Lumo,CN=monitor"); 3.x compares
// them as a set.
#if LUMO_FASTDDS_MAJOR >= 3
inline constexpr bool SUBJECT_ATTRIBUTE_ORDER_MATTERS = false;
#else
inline constexpr bool SUBJECT_ATTRIBUTE_ORDER_MATTERS = true;
#endif

// Whether the participant listener hears of a secured remote participant
// before its handshake, with its announcement whole (addresses, vendor, the
// authentication it asks for): 2.x does; 3.x tells it only of authorized
// participants, and never of their identity token.
#if LUMO_FASTDDS_MAJOR >= 3
inline constexpr bool ANNOUNCEMENT_BEFORE_AUTHENTICATION = false;
#else
inline constexpr bool ANNOUNCEMENT_BEFORE_AUTHENTICATION = true;
#endif

// The data representations a reader accepts: part of its type-consistency
// QoS in 2.x, a QoS of its own in 3.x. Only 3.x tells discovery about them;
// a 2.x reader is taken by every peer to accept XCDR1 alone.
#if LUMO_FASTDDS_MAJOR >= 3
inline constexpr bool READER_REPRESENTATION_ANNOUNCED = true;
inline auto& ReaderRepresentation(eprosima::fastdds::dds::DataReaderQos& qos)
{
    return qos.representation();
}
inline const auto& ReaderRepresentation(const eprosima::fastdds::dds::DataReaderQos& qos)
{
    return qos.representation();
}
#else
inline constexpr bool READER_REPRESENTATION_ANNOUNCED = false;
inline auto& ReaderRepresentation(eprosima::fastdds::dds::DataReaderQos& qos)
{
    return qos.type_consistency().representation;
}
inline const auto& ReaderRepresentation(const eprosima::fastdds::dds::DataReaderQos& qos)
{
    return qos.type_consistency().representation;
}
#endif

// Whether this Fast DDS reader can take samples of a writer whose only
// representation is XCDR2 (a Cyclone DDS writer of an @appendable type): a
// 2.x reader matches such a writer, which then sends it nothing.
inline constexpr bool READS_XCDR2_ONLY_WRITERS = READER_REPRESENTATION_ANNOUNCED;

// The partitions of a subscriber whose readers read every writer, named
// partition or none: in 2.x "*" matches every name but not the default
// (empty) partition.
#if LUMO_FASTDDS_MAJOR >= 3
inline std::vector<std::string> EveryPartition()
{
    return {"*"};
}
#else
inline std::vector<std::string> EveryPartition()
{
    return {"", "*"};
}
#endif

} // namespace lumo::componentFramework::compat
