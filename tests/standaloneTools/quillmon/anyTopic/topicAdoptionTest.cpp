// Which type a topic of any type is read with, from what its writers announce.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "anyTopic/topicAdoption.h"

namespace cf = lumo::componentFramework;
using anyTopic::TopicType;
using anyTopic::TypeToRead;

namespace {

cf::DiscoveredWriter Writer(const std::string& guid, const std::string& typeName, bool keyed)
{
    cf::DiscoveredWriter writer;
    writer.guid = guid;
    writer.qos.typeName = typeName;
    writer.qos.keyed = keyed;
    return writer;
}

} // namespace

TEST(TypeToRead, TheTypeMostWritersAnnounceAndOfEqualsTheFirstWriters)
{
    const TopicType a{"A", true};
    const TopicType b{"B", false};
    struct Case
    {
        std::string name;
        std::vector<cf::DiscoveredWriter> writers;
        std::optional<TopicType> read;
    };
    for (const auto& c : std::vector<Case>{
             {"no writer", {}, std::nullopt},
             {"one writer", {Writer("1", "B", false)}, b},
             {"one writer of each: the first writer's", {Writer("1", "A", true), Writer("2", "B", false)}, a},
             {"the majority, though its writers come later",
              {Writer("1", "B", false), Writer("2", "A", true), Writer("3", "A", true)},
              a},
             {"keyed and keyless of one name are two types",
              {Writer("1", "A", false), Writer("2", "A", true), Writer("3", "A", true)},
              a},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TypeToRead(c.writers), c.read);
    }
}
