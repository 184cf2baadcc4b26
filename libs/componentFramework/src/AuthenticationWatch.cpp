#include "AuthenticationWatch.h"

#include <fastdds/dds/log/Log.hpp>

#include "FastDdsLogRoute.h"
#include "lumo/componentFramework/FastDdsCompat.h"

namespace lumo::componentFramework {

void AuthenticationWatch::Announced(const std::string& prefix, const std::string& host, const std::string& vendorId,
                                    const std::string& name, const std::string& identityClass)
{
    if (!hook_) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        announced_[prefix] = Announcement{host, vendorId, name, identityClass};
    }
    if (!secured_ && !identityClass.empty()) {
        ParticipantAuthentication record{prefix, ParticipantAuthentication::Outcome::Unsecured,
                                         host,   vendorId,
                                         name,   identityClass,
                                         {}};
        hook_(record);
    }
}

void AuthenticationWatch::Authenticated(const std::string& prefix, bool authorized)
{
    if (!hook_) {
        return;
    }
    ParticipantAuthentication record;
    record.guidPrefix = prefix;
    record.outcome = authorized ? ParticipantAuthentication::Outcome::Authorized
                                : ParticipantAuthentication::Outcome::Refused;
    {
        std::lock_guard lock(mutex_);
        if (const auto found = announced_.find(prefix); found != announced_.end()) {
            record.host = found->second.host;
            record.vendorId = found->second.vendorId;
            record.name = found->second.name;
            record.identityClass = found->second.identityClass;
        }
    }
    // A peer heard announcing no identity joined without DDS Security: Fast
    // DDS refuses it without logging a cause. Complaints logged meanwhile
    // belong to a handshake with another peer, whose refusal is yet to come.
    const bool heardUnsecured =
        compat::ANNOUNCEMENT_BEFORE_AUTHENTICATION && !record.vendorId.empty() && record.identityClass.empty();
    if (!authorized && !heardUnsecured) {
        // Fast DDS logs the cause on this thread right before it reports the
        // refusal, and hands its log to the route on a thread of its own:
        // once flushed, the cause has gone through the route.
        eprosima::fastdds::dds::Log::Flush();
        record.reason = TakeSecurityComplaints();
    }
    hook_(record);
}

} // namespace lumo::componentFramework
