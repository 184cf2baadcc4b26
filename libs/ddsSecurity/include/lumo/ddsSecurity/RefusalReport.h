// One ERROR line per remote participant that DDS Security keeps away: its
// GUID prefix, host, vendor and the reason Fast DDS gives.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <log4cplus/logger.h>

#include "lumo/ddsSecurity/ParticipantAuthentication.h"

namespace lumo::ddsSecurity {

// The line for a refused or unreachable participant; empty for an
// authorized one.
std::string RefusalText(const ParticipantAuthentication& record);

// Told of each participant RefusalReport logs; a refusal's reason is what
// its line says after "is refused by DDS Security: ".
using KeptAwayHook = std::function<void(const ParticipantAuthentication&)>;

// The authentication watch's hook: logs RefusalText once per participant.
class RefusalReport
{
public:
    explicit RefusalReport(log4cplus::Logger& logger, KeptAwayHook keptAway = {});

    void operator()(const ParticipantAuthentication& record) const;

private:
    struct State
    {
        std::mutex mutex;
        std::set<std::string> reported;
    };

    log4cplus::Logger& logger_;
    KeptAwayHook keptAway_;
    std::shared_ptr<State> state_;
};

} // namespace lumo::ddsSecurity
