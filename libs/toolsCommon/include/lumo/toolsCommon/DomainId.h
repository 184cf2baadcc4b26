// The value of --domain-id. Fast DDS maps a domain to UDP ports (port base +
// domain gain * id + an offset, plus twice the participant id for unicast);
// an id whose ports pass 65535 would wrap, so it is refused.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <boost/any.hpp>

namespace lumo::toolsCommon {

// Fast DDS's port parameters; the defaults are its own (and the RTPS
// protocol's).
struct PortParameters
{
    uint32_t portBase = 7400;
    uint32_t domainIdGain = 250;
    uint32_t offsetD0 = 0;  // discovery multicast
    uint32_t offsetD1 = 10; // discovery unicast
    uint32_t offsetD2 = 1;  // user multicast
    uint32_t offsetD3 = 11; // user unicast
};

constexpr uint32_t HIGHEST_PORT = 65535;

// The largest domain id whose ports, its first participant's included, stay
// within HIGHEST_PORT (232 with the defaults; its 62 next participants fit
// too); -1 when none does.
int64_t LargestDomainId(const PortParameters& ports = {});

struct DomainId
{
    uint32_t value = 0;
};

std::ostream& operator<<(std::ostream& out, const DomainId& id);

// Found by the option library through argument-dependent lookup: an unsigned
// 32-bit number, as Unsigned32, and at most LargestDomainId().
void validate(boost::any& target, const std::vector<std::string>& values, DomainId*, int);

} // namespace lumo::toolsCommon
