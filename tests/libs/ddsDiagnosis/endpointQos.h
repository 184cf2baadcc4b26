// Endpoint QoS made by hand for the diagnosis's tests: the reader's defaults
// and one policy changed.
#pragma once

#include <cstdint>

#include "lumo/componentFramework/DiscoveryRecords.h"

namespace endpointQos {

using lumo::componentFramework::EndpointQos;
using lumo::componentFramework::EndpointSecurity;
using S = EndpointSecurity;

constexpr uint32_t BEST_EFFORT = 1;

inline EndpointQos Endpoint()
{
    EndpointQos qos;
    qos.typeName = "lumo::componentFramework::AgnosticTopic";
    return qos;
}

template <typename Change>
EndpointQos With(Change change)
{
    auto qos = Endpoint();
    change(qos);
    return qos;
}

// DDS Security's attributes as Fast DDS announces them: both masks valid.
inline EndpointQos Secured(uint32_t endpoint, uint32_t plugin)
{
    return With([&](auto& q) { q.security = {EndpointSecurity::VALID | endpoint, EndpointSecurity::VALID | plugin}; });
}

} // namespace endpointQos
