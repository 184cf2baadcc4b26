#include "participantEvents.h"

#include <utility>

namespace quillModel {

void ParticipantEvents::Add(const lumo::ddsSecurity::ParticipantAuthentication& participant)
{
    const auto now = std::chrono::system_clock::now();
    std::lock_guard lock(mutex_);
    if (events_.size() < CAPACITY) {
        events_.push_back(ParticipantEvent{participant, now});
    }
}

std::vector<ParticipantEvent> ParticipantEvents::Take()
{
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
}

} // namespace quillModel
