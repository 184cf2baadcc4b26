// Which reader --any-type makes for a topic, from what its writers announce:
// one decision, taken by the adoption that makes the reader and by --list
// that says what it would read, so that the two cannot disagree.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lumo/componentFramework/DiscoveryRecords.h"

namespace anyTopic {

// What the topic's writers announce, and so what its reader must be.
struct TopicType
{
    std::string typeName;
    bool keyed = false;
    bool operator<(const TopicType& other) const
    {
        return typeName != other.typeName ? typeName < other.typeName : keyed < other.keyed;
    }
    bool operator==(const TopicType& other) const = default;
};

// The type to read a topic with: the one most of its writers announce (of
// equals, the one of the writer with the lowest GUID, whatever the order of
// `writers`); nothing without writers.
std::optional<TopicType> TypeToRead(const std::vector<lumo::componentFramework::DiscoveredWriter>& writers);

// Whether that type gets the monitor's own reader (checks included, the
// profile's partitions) rather than a raw one (every partition).
bool ReadAsOwnType(const TopicType& type);

// What the reader --any-type makes for these writers requests: `ownReader`
// (the reader the monitor makes on a named topic) for its own type, else the
// same with the type read and every partition; nothing without writers.
std::optional<lumo::componentFramework::EndpointQos> AnyTypeReader(
    const lumo::componentFramework::EndpointQos& ownReader,
    const std::vector<lumo::componentFramework::DiscoveredWriter>& writers);

} // namespace anyTopic
