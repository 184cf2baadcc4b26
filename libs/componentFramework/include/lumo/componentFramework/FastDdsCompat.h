// The few places where the Fast DDS 2.x and 3.x DDS-layer APIs differ.
#pragma once

#include <cstdint>

#include <fastdds/dds/core/status/StatusMask.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>

#if __has_include(<fastdds/config.hpp>)
#include <fastdds/config.hpp>
#endif
#if __has_include(<fastrtps/config.h>)
#include <fastrtps/config.h>
#endif

#if defined(FASTDDS_VERSION_MAJOR) && FASTDDS_VERSION_MAJOR >= 3
#include <fastdds/dds/core/ReturnCode.hpp>
#define LUMO_FASTDDS_RETCODE_IS_INT 1
#else
#include <fastrtps/types/TypesBase.h>
#define LUMO_FASTDDS_RETCODE_IS_INT 0
#endif

namespace lumo::componentFramework::compat {

#if LUMO_FASTDDS_RETCODE_IS_INT
using ReturnCode = eprosima::fastdds::dds::ReturnCode_t;
inline int32_t RetcodeValue(ReturnCode rc) { return static_cast<int32_t>(rc); }
inline bool IsOk(ReturnCode rc) { return rc == eprosima::fastdds::dds::RETCODE_OK; }
#else
using ReturnCode = eprosima::fastrtps::types::ReturnCode_t;
// In 2.x the return code is a class: its value comes from rc(), and only
// comparison with RETCODE_OK is reliable.
inline int32_t RetcodeValue(const ReturnCode& rc) { return static_cast<int32_t>(rc()); }
inline bool IsOk(const ReturnCode& rc) { return rc == ReturnCode::RETCODE_OK; }
#endif

// DataWriter::write returns a bool in 2.x and a return code in 3.x.
inline bool WriteSucceeded(bool ok) { return ok; }
inline bool WriteSucceeded(const ReturnCode& rc) { return IsOk(rc); }

// The data representations a reader accepts: part of its type-consistency
// QoS in 2.x, a QoS of its own in 3.x. Only 3.x tells discovery about them;
// a 2.x reader is taken by every peer to accept XCDR1 alone.
#if LUMO_FASTDDS_RETCODE_IS_INT
inline constexpr bool READER_REPRESENTATION_ANNOUNCED = true;
inline auto& ReaderRepresentation(eprosima::fastdds::dds::DataReaderQos& qos) { return qos.representation(); }
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

} // namespace lumo::componentFramework::compat
