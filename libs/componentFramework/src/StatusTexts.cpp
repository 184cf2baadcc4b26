#include "lumo/componentFramework/StatusTexts.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace lumo::componentFramework {

std::string_view SampleRejectedReasonName(const eprosima::fastdds::dds::SampleRejectedStatusKind& kind)
{
    static constexpr std::array<std::string_view, 5> NAMES{
        "NOT_REJECTED",
        "REJECTED_BY_INSTANCES_LIMIT",
        "REJECTED_BY_SAMPLES_LIMIT",
        "REJECTED_BY_SAMPLES_PER_INSTANCE_LIMIT",
        "REJECTED_BY_UNKNOWN_INSTANCE",
    };
    uint32_t value = 0;
    std::memcpy(&value, &kind, std::min(sizeof value, sizeof kind));
    return value < NAMES.size() ? NAMES[value] : "unknown";
}

std::string_view QosPolicyName(uint32_t policyId)
{
    static constexpr std::array<std::string_view, 26> NAMES{
        "INVALID",
        "USER_DATA",
        "DURABILITY",
        "PRESENTATION",
        "DEADLINE",
        "LATENCY_BUDGET",
        "OWNERSHIP",
        "OWNERSHIP_STRENGTH",
        "LIVELINESS",
        "TIME_BASED_FILTER",
        "PARTITION",
        "RELIABILITY",
        "DESTINATION_ORDER",
        "HISTORY",
        "RESOURCE_LIMITS",
        "ENTITY_FACTORY",
        "WRITER_DATA_LIFECYCLE",
        "READER_DATA_LIFECYCLE",
        "TOPIC_DATA",
        "GROUP_DATA",
        "TRANSPORT_PRIORITY",
        "LIFESPAN",
        "DURABILITY_SERVICE",
        "DATA_REPRESENTATION",
        "TYPE_CONSISTENCY_ENFORCEMENT",
        "DISABLE_POSITIVE_ACKS",
    };
    return policyId < NAMES.size() ? NAMES[policyId] : "UNKNOWN";
}

} // namespace lumo::componentFramework
