#include "lumo/ddsDiagnosis/DiscoveryDescription.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace lumo::ddsDiagnosis {

using Mode = componentFramework::DiscoverySettings::Mode;

namespace {

std::string AddressList(const std::vector<std::string>& addresses)
{
    std::string text;
    for (const auto& address : addresses) {
        text += (text.empty() ? "" : ", ") + address;
    }
    return text.empty() ? "no address" : text;
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

std::string DiscoveryDescription(const componentFramework::DiscoverySettings& settings)
{
    switch (settings.mode) {
    case Mode::SIMPLE:
        if (const auto servers = EnvironmentServers(); !servers.empty()) {
            return "server, client of " + servers + " (ROS_DISCOVERY_SERVER)";
        }
        if (!settings.initialPeers.empty()) {
            return "static peers " + AddressList(settings.initialPeers);
        }
        if (!settings.multicast.empty()) {
            return "simple, multicast " + AddressList(settings.multicast);
        }
        return "simple, multicast 239.255.0.1:" + std::to_string(settings.domainMulticastPort);
    case Mode::CLIENT:
        return "server, client of " + AddressList(settings.servers);
    case Mode::SERVER:
        return "server, serving at " + AddressList(settings.listening);
    case Mode::NONE:
        break;
    }
    return "none (no built-in discovery)";
}

} // namespace lumo::ddsDiagnosis
