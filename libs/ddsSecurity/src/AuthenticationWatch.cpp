#include "lumo/ddsSecurity/AuthenticationWatch.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/componentFramework/Logging.h"

namespace lumo::ddsSecurity {

AuthenticationWatch::AuthenticationWatch(AuthenticationHook hook)
    : hook_(std::move(hook))
    , now_(Clock::now)
    , ownThread_(true)
{
}

AuthenticationWatch::AuthenticationWatch(AuthenticationHook hook, SecurityLog& log, Now now)
    : hook_(std::move(hook))
    , log_(&log)
    , now_(std::move(now))
    , ownThread_(false)
{
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

void AuthenticationWatch::SetPairingRefusedHook(PairingRefusedHook hook)
{
    std::lock_guard lock(mutex_);
    pairingRefused_ = std::move(hook);
}

void AuthenticationWatch::Joining(bool authenticatesPeers)
{
    std::lock_guard lock(mutex_);
    secured_ = authenticatesPeers;
    // A secured participant watches for the refusals Fast DDS does not
    // report, from the moment its log is read.
    if (secured_ && hook_ && ownThread_ && !watching_.joinable()) {
        log_ = &ProcessSecurityLog();
        watching_ = std::thread([this] { WatchRefusals(); });
    }
}

void AuthenticationWatch::Announced(const Announcement& participant)
{
    if (!hook_) {
        return;
    }
    bool secured = false;
    {
        std::lock_guard lock(mutex_);
        secured = secured_;
        announced_[participant.guidPrefix] = participant;
        if (secured_ && !participant.identityClass.empty() && settled_.count(participant.guidPrefix) == 0) {
            handshakesDue_.emplace(participant.guidPrefix, now_() + HANDSHAKE_PATIENCE);
        }
    }
    wake_.notify_all();
    if (!secured && !participant.identityClass.empty()) {
        ParticipantAuthentication record{participant.guidPrefix,
                                         ParticipantAuthentication::Outcome::Unsecured,
                                         participant.host,
                                         participant.vendorId,
                                         participant.name,
                                         participant.identityClass,
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

void AuthenticationWatch::Authenticated(const std::string& guidPrefix, bool authorized)
{
    if (!hook_) {
        return;
    }
    ParticipantAuthentication record;
    SecurityLog* log = nullptr;
    {
        std::lock_guard lock(mutex_);
        log = log_;
        record = RecordOf(guidPrefix, authorized);
        handshakesDue_.erase(guidPrefix);
        settled_.insert(guidPrefix);
    }
    // A peer heard announcing no identity joined without DDS Security: Fast
    // DDS refuses it without logging a cause. Complaints logged meanwhile
    // belong to a handshake with another peer, whose refusal is yet to come.
    const bool heardUnsecured = componentFramework::compat::ANNOUNCEMENT_BEFORE_AUTHENTICATION &&
                                !record.vendorId.empty() && record.identityClass.empty();
    if (!authorized && !heardUnsecured && log != nullptr) {
        if (ownThread_) {
            // Fast DDS logs the cause on this thread right before it reports
            // the refusal, and hands its log to the hook on a thread of its
            // own: once flushed, the cause has gone through the hook.
            componentFramework::FlushFastDdsLog();
        }
        record.reason = log->TakeComplaints();
    }
    hook_(record);
}

void AuthenticationWatch::Removed(const std::string& guidPrefix)
{
    std::lock_guard lock(mutex_);
    // One that left before its patience ran out may just have been on its
    // way: nothing is said of it.
    handshakesDue_.erase(guidPrefix);
    settled_.erase(guidPrefix);
    announced_.erase(guidPrefix);
}

void AuthenticationWatch::Poll()
{
    std::vector<ParticipantAuthentication> refused;
    std::vector<std::string> readers;
    PairingRefusedHook pairingRefused;
    {
        std::lock_guard lock(mutex_);
        if (log_ == nullptr) {
            return; // nothing read yet
        }
        // Authenticated, then refused by access control, which Fast DDS only
        // logs.
        for (auto& [prefix, cause] : log_->TakeAccessRefusals()) {
            auto record = RecordOf(prefix, false);
            record.outcome = ParticipantAuthentication::Outcome::PermissionsRefused;
            record.reason = std::move(cause);
            handshakesDue_.erase(prefix);
            settled_.insert(prefix);
            refused.push_back(std::move(record));
        }
        // Unanswered: nothing here complained of them, so no cause.
        const auto now = now_();
        for (auto due = handshakesDue_.begin(); due != handshakesDue_.end();) {
            if (due->second > now) {
                ++due;
                continue;
            }
            refused.push_back(RecordOf(due->first, false));
            settled_.insert(due->first);
            due = handshakesDue_.erase(due);
        }
        readers = log_->TakeRefusedPairings();
        pairingRefused = pairingRefused_;
    }
    for (const auto& record : refused) {
        hook_(record);
    }
    for (const auto& reader : readers) {
        if (pairingRefused) {
            pairingRefused(reader);
        }
    }
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
        lock.unlock();
        Poll();
        lock.lock();
    }
}

void OnRefusedPairings(componentFramework::Dds& dds, AuthenticationWatch::PairingRefusedHook hook)
{
    if (auto watch = std::dynamic_pointer_cast<AuthenticationWatch>(dds.GetParticipantObserver())) {
        watch->SetPairingRefusedHook(std::move(hook));
    }
}

} // namespace lumo::ddsSecurity
