// How the monitor reads topics whose type it was not built with.
#pragma once

#include <optional>
#include <string>

#include "seqField.h"

namespace anyTopic {

struct AnyTopicSettings
{
    // Read each named topic with the type its writers announce.
    bool anyType = false;
    // Also read every discovered topic whose name matches this glob.
    std::optional<std::string> allTopicsGlob;
    // Where a raw sample keeps its publisher's sample id; none: the RTPS
    // sequence numbers alone judge the streams.
    std::optional<SeqField> seqField;

    // Whether readers wait for their topic's writers to say what to read.
    bool Active() const { return anyType || allTopicsGlob.has_value(); }
};

} // namespace anyTopic
