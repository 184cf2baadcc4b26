// Which reader a topic of any type is read with, from what its writers
// announce.
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "anyTopic/readerChoice.h"
#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/componentFramework/FastDdsCompat.h"

namespace cf = lumo::componentFramework;
using anyTopic::AnyTypeReader;

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

// The type most writers announce (of equals, the lowest GUID's, in any
// order); the monitor's own reader for its own type, else a raw one of every
// partition.
TEST(AnyTypeReader, TheTypeMostWritersAnnounceInTheMonitorsOwnReaderOrARawOne)
{
    const std::string own = cf::AgnosticTopicPubSubType::TYPE_NAME;
    const auto every = cf::compat::EveryPartition();
    cf::EndpointQos ownReader;
    ownReader.typeName = own;
    ownReader.partitions = {"cell7"};
    struct Case
    {
        std::string name;
        std::vector<cf::DiscoveredWriter> writers;
        std::string typeName;
        bool keyed;
        std::vector<std::string> partitions;
    };
    for (const auto& c : std::vector<Case>{
             {"its own type", {Writer("1", own, false)}, own, false, {"cell7"}},
             {"its own type's name, keyed", {Writer("1", own, true)}, own, true, every},
             {"one writer of each: the lowest GUID's",
              {Writer("2", "B", false), Writer("1", "A", true)},
              "A",
              true,
              every},
             {"the majority, though its writers come later",
              {Writer("1", own, false), Writer("2", "B", true), Writer("3", "B", true)},
              "B",
              true,
              every},
             {"keyed and keyless of one name are two types",
              {Writer("1", "A", false), Writer("2", "A", true), Writer("3", "A", true)},
              "A",
              true,
              every},
         }) {
        SCOPED_TRACE(c.name);
        const auto reader = AnyTypeReader(ownReader, c.writers);
        ASSERT_TRUE(reader.has_value());
        EXPECT_EQ(reader->typeName, c.typeName);
        EXPECT_EQ(reader->keyed, c.keyed);
        EXPECT_EQ(reader->partitions, c.partitions);
    }
    EXPECT_FALSE(AnyTypeReader(ownReader, {}).has_value());
}
