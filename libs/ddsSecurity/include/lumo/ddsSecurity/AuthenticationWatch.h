// Remote participants' authentication, from the facade's participant events
// and what Fast DDS's security plugins log (SecurityLog): what their
// discovery announcements said (address, vendor, name) and, for a refusal,
// the cause Fast DDS logged just before it reported the refusal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "lumo/componentFramework/Dds.h"
#include "lumo/componentFramework/DiscoveryRecords.h"
#include "lumo/ddsSecurity/ParticipantAuthentication.h"
#include "lumo/ddsSecurity/SecurityLog.h"

namespace lumo::ddsSecurity {

class AuthenticationWatch : public componentFramework::ParticipantObserver
{
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // How long a secured peer heard announcing itself may take to complete
    // its handshake before it counts as unanswered. A handshake on a
    // working path takes milliseconds, with its resends well under a second.
    static constexpr std::chrono::seconds HANDSHAKE_PATIENCE{5};
    // How often access control's refusals are looked for.
    static constexpr std::chrono::seconds ACCESS_POLL{1};

    // A local reader (GUID) that DDS Security would not pair with a writer.
    using PairingRefusedHook = std::function<void(const std::string& readerGuid)>;

    // On a participant that authenticates its peers, reads this process's
    // Fast DDS log and polls on a thread of its own, from Joining on.
    explicit AuthenticationWatch(AuthenticationHook hook);
    // Reads `log`, at the times `now` gives; nothing polls but the caller
    // (Poll).
    AuthenticationWatch(AuthenticationHook hook, SecurityLog& log, Now now);
    ~AuthenticationWatch() override;

    AuthenticationWatch(const AuthenticationWatch&) = delete;
    AuthenticationWatch& operator=(const AuthenticationWatch&) = delete;

    // Told up to ACCESS_POLL after Fast DDS logged the refusal.
    void SetPairingRefusedHook(PairingRefusedHook hook);

    // The facade's participant events, on Fast DDS's threads.
    void Joining(bool authenticatesPeers) override;
    // Heard before or after its handshake.
    void Announced(const componentFramework::ParticipantAnnouncement& participant) override;
    void Authenticated(const std::string& guidPrefix, bool authorized) override;
    void Removed(const std::string& guidPrefix) override;

    // Reports what Fast DDS does not: a peer whose authentication access
    // control then refused (it only logs that), one whose handshake requests
    // went unanswered (on 2.x; 3.x reports those after its resends) once its
    // patience has run out, and the readers whose pairing was refused.
    void Poll();

private:
    using Announcement = componentFramework::ParticipantAnnouncement;

    ParticipantAuthentication RecordOf(const std::string& prefix, bool authorized);
    void WatchRefusals();

    AuthenticationHook hook_;
    // Null until read: the process's from Joining on a secured participant.
    SecurityLog* log_ = nullptr;
    Now now_;
    // Whether this watch polls on a thread of its own, and reads the
    // process's log (which is flushed before a refusal takes its cause).
    const bool ownThread_;
    bool secured_ = false;
    PairingRefusedHook pairingRefused_;
    std::mutex mutex_;
    std::map<std::string, Announcement> announced_;
    // Secured peers heard, by when their handshake is due.
    std::map<std::string, Clock::time_point> handshakesDue_;
    // Peers whose handshake ended, either way.
    std::set<std::string> settled_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread watching_;
};

// Hands the readers whose pairing DDS Security refused to `hook`, from the
// authentication watch that ApplySecurityOption gave `dds`; nothing when it
// gave none. Before the participant is created.
void OnRefusedPairings(componentFramework::Dds& dds, AuthenticationWatch::PairingRefusedHook hook);

} // namespace lumo::ddsSecurity
