// What Fast DDS's security plugins log about remote participants, read from
// the facade's log hook: Fast DDS reports a failed handshake without its
// cause, and an access control refusal or a refused pairing only in its log.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/componentFramework/Logging.h"

namespace lumo::ddsSecurity {

class SecurityLog
{
public:
    // The last complaints kept for a handshake's refusal; the access
    // refusals and refused pairings kept between two takes.
    static constexpr size_t KEPT_COMPLAINTS = 3;
    static constexpr size_t KEPT_REFUSALS = 64;

    // One entry of Fast DDS's log; on its logging thread.
    void Consume(const componentFramework::FastDdsLogEntry& entry);

    // What the security plugins said (their SECURITY and
    // SECURITY_AUTHENTICATION warnings and errors) since the last call, oldest
    // first, each once, joined by "; " (at most the last few); empty when
    // they said nothing.
    std::string TakeComplaints();
    // The authenticated peers that access control refused since the last
    // call, by GUID prefix, with the cause Fast DDS gave (may be empty).
    std::map<std::string, std::string> TakeAccessRefusals();
    // The local readers (GUIDs) that the security manager refused to pair
    // with a discovered writer since the last call; Fast DDS names neither
    // the writer nor the cause.
    std::vector<std::string> TakeRefusedPairings();

private:
    // The cause was logged a moment before on its own: it belongs to this
    // refusal, not to the next handshake's.
    void KeepAccessRefusal(const std::string& prefix, const std::string& message, const std::string& cause);

    std::mutex mutex_;
    std::deque<std::string> complaints_;
    std::map<std::string, std::string> accessRefusals_;
    std::deque<std::string> accessRefusalOrder_;
    std::deque<std::string> refusedPairings_;
};

// The one fed by this process's Fast DDS log, from its first use on (which
// opens Fast DDS's log to warnings, see AddFastDdsLogHook). Never destroyed:
// Fast DDS's logging thread outlives main.
SecurityLog& ProcessSecurityLog();

} // namespace lumo::ddsSecurity
