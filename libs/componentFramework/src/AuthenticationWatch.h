// Remote participants' authentication for the facade's hook: what their
// discovery announcements said (address, vendor, name) and, for a refusal,
// the cause Fast DDS logged just before it reported the refusal.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "lumo/componentFramework/Dds.h"

namespace lumo::componentFramework {

class AuthenticationWatch
{
public:
    // How long a secured peer heard announcing itself may take to complete
    // its handshake before it counts as unanswered. A handshake on a
    // working path takes milliseconds, with its resends well under a second.
    static constexpr std::chrono::seconds HANDSHAKE_PATIENCE{5};
    // How often access control's refusals are looked for.
    static constexpr std::chrono::seconds ACCESS_POLL{1};

    // A local reader (GUID) that DDS Security would not pair with a writer.
    using PairingRefusedHook = std::function<void(const std::string& readerGuid)>;

    // `secured`: this participant authenticates its peers.
    AuthenticationWatch(AuthenticationHook hook, bool secured, PairingRefusedHook pairingRefused = {});
    ~AuthenticationWatch();

    AuthenticationWatch(const AuthenticationWatch&) = delete;
    AuthenticationWatch& operator=(const AuthenticationWatch&) = delete;

    // A participant's announcement, heard before or after its handshake;
    // `identityClass` is the authentication it asks for, when told.
    void Announced(const std::string& prefix, const std::string& host, const std::string& vendorId,
                   const std::string& name, const std::string& identityClass);
    // Its handshake ended; on Fast DDS's thread that ran it.
    void Authenticated(const std::string& prefix, bool authorized);
    // It left, or its lease ran out.
    void Removed(const std::string& prefix);

private:
    struct Announcement
    {
        std::string host;
        std::string vendorId;
        std::string name;
        std::string identityClass;
    };
    using Clock = std::chrono::steady_clock;

    ParticipantAuthentication RecordOf(const std::string& prefix, bool authorized);
    // Reports what Fast DDS does not: a peer whose authentication access
    // control then refused (it only logs that), and on 2.x, one whose
    // handshake requests went unanswered (3.x reports those after its
    // resends) once its patience has run out.
    void WatchRefusals();

    AuthenticationHook hook_;
    bool secured_;
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

} // namespace lumo::componentFramework
