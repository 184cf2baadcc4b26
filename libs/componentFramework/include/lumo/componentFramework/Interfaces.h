#pragma once

#include <string>
#include <vector>

namespace lumo::componentFramework {

// Translates interface names and IPv4 addresses into the IPv4 addresses of
// this host that they stand for (the UDP white list of Fast DDS 2.x matches
// addresses only). A name is replaced by every IPv4 address of that
// interface; an address must belong to some local interface. Anything else
// is a DdsError naming the entry.
std::vector<std::string> ResolveIPv4Interfaces(const std::vector<std::string>& namesOrAddresses);

// True for a dotted-quad IPv4 multicast group (224.0.0.0/4).
bool IsIPv4MulticastAddress(const std::string& address);

} // namespace lumo::componentFramework
