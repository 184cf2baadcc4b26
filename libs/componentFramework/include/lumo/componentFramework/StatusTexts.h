#pragma once

#include <cstdint>
#include <string_view>

#include <fastdds/dds/core/status/SampleRejectedStatus.hpp>

namespace lumo::componentFramework {

// Name of a sample-rejected reason ("REJECTED_BY_SAMPLES_LIMIT"); "unknown"
// beyond the known ones. Read as raw bits, so that a reason outside the
// enumeration (a newer peer's) is never loaded as an enum value.
std::string_view SampleRejectedReasonName(const eprosima::fastdds::dds::SampleRejectedStatusKind& kind);

// Name of a DDS QoS policy by its id ("RELIABILITY"), as Fast DDS numbers
// its policies; "UNKNOWN" beyond them.
std::string_view QosPolicyName(uint32_t policyId);

} // namespace lumo::componentFramework
