#include "lumo/componentFramework/Interfaces.h"

#include <algorithm>
#include <memory>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include "lumo/componentFramework/Dds.h"

namespace lumo::componentFramework {

namespace {

struct LocalAddress
{
    std::string interfaceName;
    std::string address;
};

std::vector<LocalAddress> LocalIPv4Addresses()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        throw DdsError("cannot list the network interfaces of this host");
    }
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> guard(list, &freeifaddrs);
    std::vector<LocalAddress> result;
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) {
            result.push_back({it->ifa_name, text});
        }
    }
    return result;
}

bool ParseIPv4(const std::string& text, in_addr& out)
{
    return inet_pton(AF_INET, text.c_str(), &out) == 1;
}

} // namespace

std::vector<std::string> ResolveIPv4Interfaces(const std::vector<std::string>& namesOrAddresses)
{
    if (namesOrAddresses.empty()) {
        throw DdsError("the interface white list is empty");
    }
    const auto local = LocalIPv4Addresses();
    std::vector<std::string> addresses;
    auto add = [&addresses](const std::string& address) {
        if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) {
            addresses.push_back(address);
        }
    };
    for (const auto& entry : namesOrAddresses) {
        in_addr parsed{};
        if (ParseIPv4(entry, parsed)) {
            char canonical[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &parsed, canonical, sizeof canonical);
            const bool held = std::any_of(local.begin(), local.end(),
                                          [&](const LocalAddress& a) { return a.address == canonical; });
            if (!held) {
                throw DdsError("interface address '" + entry + "' is not an address of this host");
            }
            add(canonical);
            continue;
        }
        bool found = false;
        for (const auto& a : local) {
            if (a.interfaceName == entry) {
                add(a.address);
                found = true;
            }
        }
        if (!found) {
            if (if_nametoindex(entry.c_str()) != 0) {
                throw DdsError("interface '" + entry + "' has no IPv4 address");
            }
            throw DdsError("unknown network interface '" + entry + "'");
        }
    }
    return addresses;
}

bool IsIPv4MulticastAddress(const std::string& address)
{
    in_addr parsed{};
    if (!ParseIPv4(address, parsed)) {
        return false;
    }
    const uint32_t host = ntohl(parsed.s_addr);
    return (host >> 28) == 0xE;
}

} // namespace lumo::componentFramework
