// Remote participants' authentication for the facade's hook: what their
// discovery announcements said (address, vendor, name) and, for a refusal,
// the cause Fast DDS logged just before it reported the refusal.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "lumo/componentFramework/Dds.h"

namespace lumo::componentFramework {

class AuthenticationWatch
{
public:
    // `secured`: this participant authenticates its peers.
    AuthenticationWatch(AuthenticationHook hook, bool secured)
        : hook_(std::move(hook))
        , secured_(secured)
    {
    }

    // A participant's announcement, heard before or after its handshake;
    // `identityClass` is the authentication it asks for, when told.
    void Announced(const std::string& prefix, const std::string& host, const std::string& vendorId,
                   const std::string& name, const std::string& identityClass);
    // Its handshake ended; on Fast DDS's thread that ran it.
    void Authenticated(const std::string& prefix, bool authorized);

private:
    struct Announcement
    {
        std::string host;
        std::string vendorId;
        std::string name;
        std::string identityClass;
    };

    AuthenticationHook hook_;
    bool secured_;
    std::mutex mutex_;
    std::map<std::string, Announcement> announced_;
};

} // namespace lumo::componentFramework
