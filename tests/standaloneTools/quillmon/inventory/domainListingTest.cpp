// --list's table and records from an inventory fed by hand, as discovery
// would feed it: each writer judged in the "does not match" lines' words,
// and whether --any-type would read it.
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ReportSchema.h"
#include "ScratchDir.h"
#include "inventory/domainListing.h"

using namespace lumo::componentFramework;
using namespace quillInventory;
using lumo::ddsDiagnosis::TopicInventory;

namespace {

const std::string TYPE = "lumo::componentFramework::AgnosticTopic";
const std::string PUB = "01.0f.aa.aa.aa.aa.aa.aa.aa.aa.aa.aa";
const std::string OTHER = "01.10.bb.bb.bb.bb.bb.bb.bb.bb.bb.bb";

EndpointQos Qos()
{
    EndpointQos qos;
    qos.typeName = TYPE;
    return qos;
}

template <typename Change>
EndpointQos With(Change change)
{
    auto qos = Qos();
    change(qos);
    return qos;
}

// One topic: its writers' QoS, and the lines the table gives it.
struct Row
{
    std::string topic;
    std::vector<EndpointQos> writers;
    std::vector<std::string> lines; // the topic's line, then one per writer
};

std::string Writer(const std::string& entity)
{
    return "  writer " + PUB + "|0.0." + entity + " of participant \"pub\" (host 127.0.0.1): ";
}

constexpr const char* PLAIN = "RELIABLE, VOLATILE, SHARED, the default partition, XCDR1: ";

// Topics in name order: the table sorts them so.
// clang-format off
const std::vector<Row> ROWS{
    {"A_Readable", {Qos()}, {"Topic \"A_Readable\" (type \"" + TYPE + "\", keyless): readable",
                             Writer("1.3") + PLAIN + "readable"}},
    {"B_OtherType", {With([](auto& q) { q.typeName = "demo::Pose"; })},
     {"Topic \"B_OtherType\" (type \"demo::Pose\", keyless): readable with --any-type",
      Writer("2.3") + PLAIN + "does not match: type name offered \"demo::Pose\", requested \"" + TYPE +
          "\" (readable with --any-type)"}},
    {"C_Keyed", {With([](auto& q) { q.keyed = true; })},
     {"Topic \"C_Keyed\" (type \"" + TYPE + "\", keyed): readable with --any-type",
      Writer("3.3") + PLAIN + "does not match: topic kind offered keyed, requested keyless (readable with --any-type)"}},
    {"D_Partition", {With([](auto& q) { q.partitions = {"cell7"}; })},
     // Its type gets the monitor's own reader, of the profile's partitions.
     {"Topic \"D_Partition\" (type \"" + TYPE + "\", keyless): not readable",
      Writer("4.3") + "RELIABLE, VOLATILE, SHARED, \"cell7\", XCDR1: does not match: partition offered \"cell7\", "
                      "requested the default partition"}},
    {"E_BestEffort", {With([](auto& q) { q.reliability = 1; })},
     {"Topic \"E_BestEffort\" (type \"" + TYPE + "\", keyless): not readable",
      Writer("5.3") + "BEST_EFFORT, VOLATILE, SHARED, the default partition, XCDR1: does not match: reliability "
                      "offered BEST_EFFORT, requested RELIABLE"}},
    {"F_TypeAndXcdr2", {With([](auto& q) { q.typeName = "demo::Pose"; q.representations = {2}; })},
     {"Topic \"F_TypeAndXcdr2\" (type \"demo::Pose\", keyless): not readable",
      Writer("6.3") + "RELIABLE, VOLATILE, SHARED, the default partition, XCDR2: does not match: type name offered "
                      "\"demo::Pose\", requested \"" + TYPE + "\"; data representation offered XCDR2, requested XCDR1"}},
    {"G_Mixed", {Qos(), With([](auto& q) { q.typeName = "demo::Pose"; q.ownership = 1; })},
     {"Topic \"G_Mixed\" (type \"" + TYPE + "\" or \"demo::Pose\", keyless): readable from 1 of 2 writers",
      Writer("7.3") + PLAIN + "readable",
      Writer("7.4") + "RELIABLE, VOLATILE, EXCLUSIVE, the default partition, XCDR1: does not match: type name "
                      "offered \"demo::Pose\", requested \"" + TYPE + "\"; ownership offered EXCLUSIVE, requested SHARED"}},
    // One writer of each type: --any-type reads the lowest GUID's.
    {"H_TwoTypes", {With([](auto& q) { q.typeName = "demo::Pose"; }),
                    With([](auto& q) { q.typeName = "demo::Twist"; q.keyed = true; })},
     {"Topic \"H_TwoTypes\" (type \"demo::Pose\" or \"demo::Twist\", keyed and keyless): readable with --any-type from 1 of 2 writers",
      Writer("8.3") + PLAIN + "does not match: type name offered \"demo::Pose\", requested \"" + TYPE +
          "\" (readable with --any-type)",
      Writer("8.4") + PLAIN + "does not match: type name offered \"demo::Twist\", requested \"" + TYPE +
          "\"; topic kind offered keyed, requested keyless"}},
};
// clang-format on

// The inventory as discovery leaves it: every row's writers, a reader of
// its own topic, and endpoints and a participant that came and went.
std::shared_ptr<TopicInventory> Inventory()
{
    auto inventory = std::make_shared<TopicInventory>();
    inventory->ParticipantDiscovered({PUB, "old name", {"127.0.0.1"}, "01.0f", "127.0.0.1"});
    inventory->ParticipantChanged({PUB, "pub", {"127.0.0.1"}, "01.0f", "127.0.0.1"});
    inventory->ParticipantDiscovered({OTHER, "", {}, "01.10", "this host (shared memory)"});
    const std::string gone = "01.0f.cc.cc.cc.cc.cc.cc.cc.cc.cc.cc";
    inventory->ParticipantDiscovered({gone, "gone", {}, "01.0f", ""});
    inventory->WriterDiscovered({gone + "|0.0.1.3", gone, "", "", "A_Readable", Qos()});
    inventory->ParticipantRemoved(gone);
    for (size_t row = 0; row < ROWS.size(); ++row) {
        for (size_t w = 0; w < ROWS[row].writers.size(); ++w) {
            const std::string entity = std::to_string(row + 1) + "." + std::to_string(w + 3);
            inventory->WriterDiscovered(
                {PUB + "|0.0." + entity, PUB, "", "127.0.0.1", ROWS[row].topic, ROWS[row].writers[w]});
        }
    }
    // Its grant denies the monitor this topic: named nowhere.
    inventory->WriterDiscovered({PUB + "|0.0.18.3", PUB, "", "127.0.0.1", "SecretPlans", Qos()});
    inventory->WriterDiscovered({PUB + "|0.0.19.3", PUB, "", "127.0.0.1", "A_Readable", Qos()});
    inventory->WriterRemoved(PUB + "|0.0.19.3");
    auto reader = With([](auto& q) {
        q.reliability = 1;
        q.representations = {0, 2};
        q.partitions = {"a", "b*"};
    });
    inventory->ReaderDiscovered({OTHER + "|0.0.1.4", OTHER, "", "", "Z_ReadersOnly", reader});
    inventory->ReaderDiscovered({OTHER + "|0.0.2.4", OTHER, "", "", "Z_ReadersOnly", Qos()});
    inventory->ReaderRemoved(OTHER + "|0.0.2.4");
    return inventory;
}

LocalReader ReaderOf(const std::string& topic)
{
    return {Qos(), topic.rfind("Secret", 0) != 0};
}

TEST(DomainListing, EachTopicIsJudgedAsTheDoesNotMatchLinesSayAndForAnyType)
{
    const auto inventory = Inventory();
    const auto snapshot = inventory->Snapshot();
    std::vector<std::string> expected{"Domain 7: 2 participant(s), 9 topic(s)",
                                      "1 more topic(s) left out: the DDS Security permissions do not allow "
                                      "subscribing to them",
                                      "Participant \"pub\" (GUID prefix " + PUB +
                                          ", vendor 01.0f eProsima Fast DDS, host 127.0.0.1)",
                                      "Participant (unnamed) (GUID prefix " + OTHER +
                                          ", vendor 01.10 Eclipse Cyclone DDS, host this host (shared "
                                          "memory))"};
    for (const auto& row : ROWS) {
        expected.insert(expected.end(), row.lines.begin(), row.lines.end());
    }
    expected.push_back("Topic \"Z_ReadersOnly\" (type \"" + TYPE + "\", keyless): no writer");
    expected.push_back("  reader " + OTHER +
                       "|0.0.1.4 of participant (unnamed) (host unknown): BEST_EFFORT, VOLATILE, "
                       "SHARED, \"a\", \"b*\", XCDR1 or XCDR2");
    EXPECT_THAT(ListingLines(snapshot, ListTopics(snapshot, ReaderOf), 7), ::testing::ElementsAreArray(expected));

    EXPECT_EQ(inventory->TopicsWithWriters(),
              (std::vector<std::string>{"A_Readable", "B_OtherType", "C_Keyed", "D_Partition", "E_BestEffort",
                                        "F_TypeAndXcdr2", "G_Mixed", "H_TwoTypes", "SecretPlans"}));
    // Every event above changed the inventory.
    EXPECT_EQ(inventory->Generation(), 22u);
    const auto mixed = inventory->WritersOf("G_Mixed");
    ASSERT_EQ(mixed.size(), 2u);
    EXPECT_EQ(mixed[0].guid, PUB + "|0.0.7.3");
    EXPECT_EQ(mixed[1].participantName, "pub");
}

TEST(DomainListing, RecordsFollowTheReportSchemaAndCarryTheVerdicts)
{
    const auto snapshot = Inventory()->Snapshot();
    const auto topics = ListTopics(snapshot, ReaderOf);
    const lumo::test::ScratchDir scratch;
    const std::string path = scratch.File("listing.jsonl");
    {
        std::ofstream file(path);
        for (const auto& record : ListingRecords(snapshot, topics, {std::chrono::system_clock::now(), 0.0})) {
            file << record << '\n';
        }
    }
    const auto records = lumo::test::ReadReport(path);
    const auto participants = lumo::test::RecordsOf(records, "participant");
    ASSERT_EQ(participants.size(), 2u);
    EXPECT_EQ(participants[0]["vendor"], "01.0f");
    EXPECT_EQ(participants[1]["name"], nullptr);
    EXPECT_EQ(participants[1]["host"], "this host (shared memory)");
    const auto listed = lumo::test::RecordsOf(records, "topic");
    ASSERT_EQ(listed.size(), ROWS.size() + 1);
    std::vector<std::string> verdicts;
    for (const auto& topic : listed) {
        verdicts.push_back(topic["topic"].get<std::string>() + ": " + topic["verdict"].get<std::string>());
        for (const auto& writer : topic["writers"]) {
            verdicts.push_back("  " + writer["readability"].get<std::string>() + " " + writer["differences"].dump());
        }
    }
    EXPECT_THAT(verdicts,
                ::testing::
                    ElementsAre("A_Readable: readable", "  readable []", "B_OtherType: readable with --any-type",
                                "  readable_with_any_type [\"type name offered \\\"demo::Pose\\\", requested \\\"" +
                                    TYPE + "\\\"\"]",
                                "C_Keyed: readable with --any-type",
                                "  readable_with_any_type [\"topic kind offered keyed, requested keyless\"]",
                                "D_Partition: not readable",
                                "  not_readable [\"partition offered \\\"cell7\\\", requested the default partition\"]",
                                "E_BestEffort: not readable",
                                "  not_readable [\"reliability offered BEST_EFFORT, requested RELIABLE\"]",
                                "F_TypeAndXcdr2: not readable",
                                ::testing::StartsWith("  not_readable [\"type name offered"),
                                "G_Mixed: readable from 1 of 2 writers", "  readable []",
                                ::testing::StartsWith("  not_readable [\"type name offered"),
                                "H_TwoTypes: readable with --any-type from 1 of 2 writers",
                                ::testing::StartsWith("  readable_with_any_type [\"type name offered"),
                                ::testing::StartsWith("  not_readable [\"type name offered"),
                                "Z_ReadersOnly: no writer"));
    EXPECT_EQ(listed[2]["kinds"], nlohmann::json::array({"keyed"}));
    EXPECT_EQ(listed.back()["readers"].size(), 1u);
    EXPECT_EQ(listed.back()["readers"][0]["representations"], nlohmann::json::array({"XCDR1", "XCDR2"}));
    EXPECT_EQ(listed[3]["writers"][0]["partitions"], nlohmann::json::array({"cell7"}));
}

} // namespace
