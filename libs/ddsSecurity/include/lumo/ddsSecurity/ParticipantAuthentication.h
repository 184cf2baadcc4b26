// A remote participant that DDS Security let in or kept away, as the
// authentication watch tells it.
#pragma once

#include <functional>
#include <string>

namespace lumo::ddsSecurity {

struct ParticipantAuthentication
{
    enum class Outcome
    {
        Authorized,
        Refused,
        // Authenticated, then refused by access control (its permissions).
        PermissionsRefused,
        // It asks its peers to authenticate (identityClass) and this
        // participant joined without DDS Security: they never meet.
        Unsecured,
    };
    std::string guidPrefix; // dotted hex, as in the "does not match" lines
    Outcome outcome = Outcome::Refused;
    // From its discovery announcement, when one was heard: its IPv4 address,
    // its vendor id ("01.0f") and its name. Empty when unknown.
    std::string host;
    std::string vendorId;
    std::string name;
    std::string identityClass;
    // What Fast DDS logged as the cause of a refusal; empty when it gave none
    // (a handshake left unanswered).
    std::string reason;
};
using AuthenticationHook = std::function<void(const ParticipantAuthentication&)>;

} // namespace lumo::ddsSecurity
