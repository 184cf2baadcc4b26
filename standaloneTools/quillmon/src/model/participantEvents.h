// Remote participants that DDS Security kept away, as the report's event
// records: handed over on Fast DDS's threads, written on the report's.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <vector>

#include "lumo/ddsSecurity/ParticipantAuthentication.h"

namespace quillModel {

struct ParticipantEvent
{
    // With the reason as the log line gives it.
    lumo::ddsSecurity::ParticipantAuthentication participant;
    std::chrono::system_clock::time_point time;
};

class ParticipantEvents
{
public:
    // Each participant comes once; this many are kept between two periods.
    static constexpr size_t CAPACITY = 4096;

    void Add(const lumo::ddsSecurity::ParticipantAuthentication& participant);
    std::vector<ParticipantEvent> Take();

private:
    std::mutex mutex_;
    std::vector<ParticipantEvent> events_;
};

} // namespace quillModel
