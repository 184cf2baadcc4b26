#include "AuthenticationWatch.h"

#include <fastdds/dds/log/Log.hpp>

#include "FastDdsLogRoute.h"
#include "lumo/componentFramework/FastDdsCompat.h"

namespace lumo::componentFramework {

AuthenticationWatch::~AuthenticationWatch()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (handshakeDeadlines_.joinable()) {
        handshakeDeadlines_.join();
    }
}

void AuthenticationWatch::Announced(const std::string& prefix, const std::string& host, const std::string& vendorId,
                                    const std::string& name, const std::string& identityClass)
{
    if (!hook_) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        announced_[prefix] = Announcement{host, vendorId, name, identityClass};
        if (secured_ && !identityClass.empty() && settled_.count(prefix) == 0 &&
            handshakesDue_.emplace(prefix, Clock::now() + HANDSHAKE_PATIENCE).second &&
            !handshakeDeadlines_.joinable()) {
            handshakeDeadlines_ = std::thread([this] { AwaitHandshakes(); });
        }
    }
    wake_.notify_all();
    if (!secured_ && !identityClass.empty()) {
        ParticipantAuthentication record{prefix, ParticipantAuthentication::Outcome::Unsecured,
                                         host,   vendorId,
                                         name,   identityClass,
                                         {}};
        hook_(record);
    }
}

ParticipantAuthentication AuthenticationWatch::RecordOf(const std::string& prefix, bool authorized)
{
    ParticipantAuthentication record;
    record.guidPrefix = prefix;
    record.outcome = authorized ? ParticipantAuthentication::Outcome::Authorized
                                : ParticipantAuthentication::Outcome::Refused;
    if (const auto found = announced_.find(prefix); found != announced_.end()) {
        record.host = found->second.host;
        record.vendorId = found->second.vendorId;
        record.name = found->second.name;
        record.identityClass = found->second.identityClass;
    }
    return record;
}

void AuthenticationWatch::Authenticated(const std::string& prefix, bool authorized)
{
    if (!hook_) {
        return;
    }
    ParticipantAuthentication record;
    {
        std::lock_guard lock(mutex_);
        record = RecordOf(prefix, authorized);
        handshakesDue_.erase(prefix);
        settled_.insert(prefix);
    }
    // A peer heard announcing no identity joined without DDS Security: Fast
    // DDS refuses it without logging a cause. Complaints logged meanwhile
    // belong to a handshake with another peer, whose refusal is yet to come.
    const bool heardUnsecured = compat::ANNOUNCEMENT_BEFORE_AUTHENTICATION && !record.vendorId.empty() &&
                                record.identityClass.empty();
    if (!authorized && !heardUnsecured) {
        // Fast DDS logs the cause on this thread right before it reports the
        // refusal, and hands its log to the route on a thread of its own:
        // once flushed, the cause has gone through the route.
        eprosima::fastdds::dds::Log::Flush();
        record.reason = TakeSecurityComplaints();
    }
    hook_(record);
}

void AuthenticationWatch::Removed(const std::string& prefix)
{
    std::lock_guard lock(mutex_);
    // One that left before its patience ran out may just have been on its
    // way: nothing is said of it.
    handshakesDue_.erase(prefix);
    settled_.erase(prefix);
    announced_.erase(prefix);
}

void AuthenticationWatch::AwaitHandshakes()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (handshakesDue_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto next = handshakesDue_.begin();
        for (auto due = handshakesDue_.begin(); due != handshakesDue_.end(); ++due) {
            if (due->second < next->second) {
                next = due;
            }
        }
        if (Clock::now() < next->second) {
            wake_.wait_until(lock, next->second);
            continue;
        }
        const std::string prefix = next->first;
        handshakesDue_.erase(next);
        settled_.insert(prefix);
        // Without a cause: the peer never answered, so nothing here
        // complained.
        const ParticipantAuthentication record = RecordOf(prefix, false);
        lock.unlock();
        hook_(record);
        lock.lock();
    }
}

} // namespace lumo::componentFramework
