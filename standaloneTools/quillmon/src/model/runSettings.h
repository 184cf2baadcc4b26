// What the model is asked to keep and judge: the run's own settings, apart
// from how the views show it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "failOn.h"

namespace quillModel {

struct RunSettings
{
    uint32_t expectedIncrement = 1; // between the ids of a writer's samples
    std::optional<double> durationSec;
    std::vector<Condition> failOn;
    // A view reads the tallies: the report or the metrics.
    bool viewed = false;
    // Readers of any type take raw samples, whose losses the tallies count.
    bool rawReaders = false;

    // Whether the readers must keep per-writer tallies.
    bool NeedsTallies() const { return viewed || rawReaders || !failOn.empty(); }
};

} // namespace quillModel
