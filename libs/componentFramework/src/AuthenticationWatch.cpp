#include "AuthenticationWatch.h"

#include <algorithm>
#include <vector>

#include <fastdds/dds/log/Log.hpp>

#include "FastDdsLogRoute.h"
#include "lumo/componentFramework/FastDdsCompat.h"

namespace lumo::componentFramework {

AuthenticationWatch::AuthenticationWatch(AuthenticationHook hook, bool secured, PairingRefusedHook pairingRefused)
    : hook_(std::move(hook))
    , secured_(secured)
    , pairingRefused_(std::move(pairingRefused))
{
    // A secured participant watches for the refusals Fast DDS does not report.
    if (secured_ && hook_) {
        watching_ = std::thread([this] { WatchRefusals(); });
    }
}

AuthenticationWatch::~AuthenticationWatch()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (watching_.joinable()) {
        watching_.join();
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
        if (secured_ && !identityClass.empty() && settled_.count(prefix) == 0) {
            handshakesDue_.emplace(prefix, Clock::now() + HANDSHAKE_PATIENCE);
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

void AuthenticationWatch::WatchRefusals()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        auto wakeAt = Clock::now() + ACCESS_POLL;
        for (const auto& [prefix, due] : handshakesDue_) {
            wakeAt = std::min(wakeAt, due);
        }
        wake_.wait_until(lock, wakeAt);
        if (stopping_) {
            break;
        }
        std::vector<ParticipantAuthentication> refused;
        // Authenticated, then refused by access control, which Fast DDS only
        // logs.
        for (auto& [prefix, cause] : TakeAccessComplaints()) {
            auto record = RecordOf(prefix, false);
            record.outcome = ParticipantAuthentication::Outcome::PermissionsRefused;
            record.reason = std::move(cause);
            handshakesDue_.erase(prefix);
            settled_.insert(prefix);
            refused.push_back(std::move(record));
        }
        // Unanswered: nothing here complained of them, so no cause.
        const auto now = Clock::now();
        for (auto due = handshakesDue_.begin(); due != handshakesDue_.end();) {
            if (due->second > now) {
                ++due;
                continue;
            }
            refused.push_back(RecordOf(due->first, false));
            settled_.insert(due->first);
            due = handshakesDue_.erase(due);
        }
        lock.unlock();
        for (const auto& record : refused) {
            hook_(record);
        }
        for (const auto& reader : TakeRefusedPairings()) {
            if (pairingRefused_) {
                pairingRefused_(reader);
            }
        }
        lock.lock();
    }
}

} // namespace lumo::componentFramework
