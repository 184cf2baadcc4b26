// One ERROR line per remote participant that DDS Security keeps away: its
// GUID prefix, host, vendor and the reason Fast DDS gives.
#pragma once

#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <log4cplus/logger.h>

#include "lumo/componentFramework/Dds.h"

namespace lumo::ddsSecurity {

// The line for a refused or unreachable participant; empty for an
// authorized one.
std::string RefusalText(const componentFramework::ParticipantAuthentication& record);

// The facade's authentication hook: logs RefusalText once per participant.
class RefusalReport
{
public:
    explicit RefusalReport(log4cplus::Logger& logger);

    void operator()(const componentFramework::ParticipantAuthentication& record) const;

private:
    struct State
    {
        std::mutex mutex;
        std::set<std::string> reported;
    };

    log4cplus::Logger& logger_;
    std::shared_ptr<State> state_;
};

} // namespace lumo::ddsSecurity
