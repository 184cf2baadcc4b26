#include "readerChoice.h"

#include <algorithm>
#include <map>

#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/componentFramework/FastDdsCompat.h"

namespace cf = lumo::componentFramework;

namespace anyTopic {

std::optional<TopicType> TypeToRead(const std::vector<cf::DiscoveredWriter>& writers)
{
    std::vector<const cf::DiscoveredWriter*> byGuid;
    byGuid.reserve(writers.size());
    for (const auto& writer : writers) {
        byGuid.push_back(&writer);
    }
    std::sort(byGuid.begin(), byGuid.end(), [](const auto* a, const auto* b) { return a->guid < b->guid; });
    std::map<TopicType, size_t> votes;
    std::optional<TopicType> chosen;
    size_t most = 0;
    for (const auto* writer : byGuid) {
        const TopicType type{writer->qos.typeName, writer->qos.keyed};
        const size_t count = ++votes[type];
        if (count > most) {
            most = count;
            chosen = type;
        }
    }
    return chosen;
}

bool ReadAsOwnType(const TopicType& type)
{
    return type.typeName == cf::AgnosticTopicPubSubType::TYPE_NAME && !type.keyed;
}

std::optional<cf::EndpointQos> AnyTypeReader(const cf::EndpointQos& ownReader,
                                             const std::vector<cf::DiscoveredWriter>& writers)
{
    const auto type = TypeToRead(writers);
    if (!type) {
        return std::nullopt;
    }
    if (ReadAsOwnType(*type)) {
        return ownReader;
    }
    cf::EndpointQos raw = ownReader;
    raw.typeName = type->typeName;
    raw.keyed = type->keyed;
    raw.partitions = cf::compat::EveryPartition();
    return raw;
}

} // namespace anyTopic
