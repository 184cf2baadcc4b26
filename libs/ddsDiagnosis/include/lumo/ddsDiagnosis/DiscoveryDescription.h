// How a participant looks for its peers, in words for an operator.
#pragma once

#include <string>

#include "lumo/componentFramework/DiscoveryRecords.h"

namespace lumo::ddsDiagnosis {

// The discovery mode and where it looks, e.g. "simple, multicast
// 239.255.0.1:7400", "server, client of 10.0.0.1:11811", "static peers
// 10.0.0.7". Takes ROS_DISCOVERY_SERVER into account as Fast DDS does: a
// SIMPLE participant becomes a client of the servers it names.
std::string DiscoveryDescription(const componentFramework::DiscoverySettings& settings);

} // namespace lumo::ddsDiagnosis
