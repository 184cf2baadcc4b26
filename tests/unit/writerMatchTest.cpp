// Why a discovered writer does not match a reader: the pairing rules, the
// plain-words text, and the watch that prints it once per writer and reader.
#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "lumo/componentFramework/Logging.h"
#include "lumo/ddsDiagnosis/DiscoveryWatch.h"
#include "lumo/ddsDiagnosis/WriterMatch.h"

using namespace lumo::componentFramework;
using namespace lumo::ddsDiagnosis;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

constexpr uint32_t BEST_EFFORT = 1;

EndpointQos Endpoint()
{
    EndpointQos qos;
    qos.typeName = "lumo::componentFramework::AgnosticTopic";
    return qos;
}

struct Case
{
    const char* what; // the case's test name
    EndpointQos writer;
    EndpointQos reader;
    std::vector<std::string> differences;
    bool qosIncompatible;
};

// Shown by name, not as bytes, in the test list and failures.
void PrintTo(const Case& c, std::ostream* out)
{
    *out << c.what;
}

template <typename Change>
EndpointQos With(Change change)
{
    auto qos = Endpoint();
    change(qos);
    return qos;
}

// DDS Security's attributes as Fast DDS announces them: both masks valid.
EndpointQos Secured(uint32_t endpoint, uint32_t plugin)
{
    return With([&](auto& q) { q.security = {EndpointSecurity::VALID | endpoint, EndpointSecurity::VALID | plugin}; });
}

using S = EndpointSecurity;

// One case a line, as far as it fits.
// clang-format off
const std::vector<Case> CASES{
    {"TheSameQos", Endpoint(), Endpoint(), {}, false},
    {"FiniteLeaseOfferedNoneRequested", With([](auto& q) { q.livelinessLeaseSec = 3; }), Endpoint(), {}, false},
    {"InfiniteLeaseOffered3sRequested", Endpoint(), With([](auto& q) { q.livelinessLeaseSec = 3; }),
     {"liveliness offered AUTOMATIC with lease infinite, requested AUTOMATIC with lease 3 s or less"}, true},
    {"WeakerLivelinessKind", With([](auto& q) { q.livelinessLeaseSec = 0.5; }),
     With([](auto& q) { q.livelinessKind = 2; }),
     {"liveliness offered AUTOMATIC with lease 0.5 s, requested MANUAL_BY_TOPIC with lease infinite or less"}, true},
    {"StrongerLivelinessKind", With([](auto& q) { q.livelinessKind = 2; }), Endpoint(), {}, false},
    {"ReliableOfferedBestEffortRequested", Endpoint(), With([](auto& q) { q.reliability = BEST_EFFORT; }), {}, false},
    {"BestEffortOfferedReliableRequested", With([](auto& q) { q.reliability = BEST_EFFORT; }), Endpoint(),
     {"reliability offered BEST_EFFORT, requested RELIABLE"}, true},
    {"Durability", Endpoint(), With([](auto& q) { q.durability = 1; }),
     {"durability offered VOLATILE, requested TRANSIENT_LOCAL"}, true},
    {"Deadline", With([](auto& q) { q.deadlineSec = 0.5; }), With([](auto& q) { q.deadlineSec = 0.25; }),
     {"deadline offered 0.5 s, requested 0.25 s or less"}, true},
    {"OwnershipOneValueUnknown", With([](auto& q) { q.ownership = 9; }), Endpoint(),
     {"ownership offered unknown (9), requested SHARED"}, true},
    {"PositiveAcknowledgements", Endpoint(), With([](auto& q) { q.disablePositiveAcks = true; }),
     {"positive acknowledgements offered expected, requested disabled"}, true},
    {"Xcdr2OfferedXcdr1OnlyAccepted", With([](auto& q) { q.representations = {XCDR2_REPRESENTATION}; }),
     Endpoint(), {"data representation offered XCDR2, requested XCDR1"}, true},
    {"Xcdr2OfferedBothAccepted", With([](auto& q) { q.representations = {XCDR2_REPRESENTATION}; }),
     With([](auto& q) { q.representations = {XCDR1_REPRESENTATION, XCDR2_REPRESENTATION}; }), {}, false},
    {"FirstRepresentationOfferedIsTheOneUsed",
     With([](auto& q) { q.representations = {XCDR1_REPRESENTATION, XCDR2_REPRESENTATION}; }), Endpoint(), {}, false},
    {"XmlOffered", With([](auto& q) { q.representations = {XML_REPRESENTATION}; }),
     With([](auto& q) { q.representations = {XCDR1_REPRESENTATION, XCDR2_REPRESENTATION}; }),
     {"data representation offered XML, requested XCDR1 or XCDR2"}, true},
    {"RepresentationMismatchTheReaderDoesNotCheck", With([](auto& q) { q.representations = {XCDR2_REPRESENTATION}; }),
     With([](auto& q) { q.representationChecked = false; }),
     {"data representation offered XCDR2, requested XCDR1"}, false},
    {"PartitionsByWildcard", With([](auto& q) { q.partitions = {"sens*"}; }),
     With([](auto& q) { q.partitions = {"other", "sensors"}; }), {}, false},
    {"DefaultPartitionAgainstAWildcard", Endpoint(), With([](auto& q) { q.partitions = {"*"}; }), {}, false},
    // Fast DDS (2.9 and 3.x alike) pairs two patterns when either matches
    // the other's text, although DDS itself never pairs two patterns: the
    // rules follow the library that does the pairing.
    {"TwoPatternsOneReadingTheOther", With([](auto& q) { q.partitions = {"se*"}; }),
     With([](auto& q) { q.partitions = {"sens*"}; }), {}, false},
    {"TwoPatternsNeitherReadingTheOther", With([](auto& q) { q.partitions = {"a*"}; }),
     With([](auto& q) { q.partitions = {"b?"}; }), {"partition offered \"a*\", requested \"b?\""}, false},
    {"AnotherPartition", With([](auto& q) { q.partitions = {"sensors"}; }), Endpoint(),
     {"partition offered \"sensors\", requested the default partition"}, false},
    {"AnotherTypeNameAndBestEffort", With([](auto& q) {
         q.typeName = "other::T"; q.reliability = BEST_EFFORT; }), Endpoint(),
     {"type name offered \"other::T\", requested \"lumo::componentFramework::AgnosticTopic\"",
      "reliability offered BEST_EFFORT, requested RELIABLE"}, false},
    {"KeyedTopic", With([](auto& q) { q.keyed = true; }), Endpoint(),
     {"topic kind offered keyed, requested keyless"}, false},
    {"SecurityNotAnnounced", Endpoint(), Secured(S::PAYLOAD_PROTECTED, S::PAYLOAD_ENCRYPTED), {}, false},
    {"EncryptedDataOfferedSignedRequested",
     Secured(S::PAYLOAD_PROTECTED | S::KEY_PROTECTED, S::PAYLOAD_ENCRYPTED), Secured(S::PAYLOAD_PROTECTED, 0),
     {"DDS Security data_protection_kind offered ENCRYPT, requested SIGN"}, false},
    {"WriteAccessAndOriginAuthenticatedMetadata",
     Secured(S::WRITE_PROTECTED | S::SUBMESSAGE_PROTECTED, S::SUBMESSAGE_ORIGIN_AUTHENTICATED), Secured(0, 0),
     {"DDS Security enable_write_access_control offered true, requested false",
      "DDS Security metadata_protection_kind offered SIGN_WITH_ORIGIN_AUTHENTICATION, requested NONE"}, false},
    {"SecurityBitNoGovernanceSettingGives", Secured(1U << 9, 0), Secured(0, 0),
     {"DDS Security endpoint attributes offered 0x80000200/0x80000000, requested 0x80000000/0x80000000"}, false},
    {"SeveralPoliciesInAFixedOrder", With([](auto& q) {
         q.reliability = BEST_EFFORT; q.ownership = 1; }), With([](auto& q) { q.livelinessLeaseSec = 1; }),
     {"reliability offered BEST_EFFORT, requested RELIABLE",
      "liveliness offered AUTOMATIC with lease infinite, requested AUTOMATIC with lease 1 s or less",
      "ownership offered EXCLUSIVE, requested SHARED"}, true},
};
// clang-format on

class PairingRules : public ::testing::TestWithParam<Case>
{
};

TEST_P(PairingRules, GiveTheDifferencesAndTheVerdict)
{
    const Case& c = GetParam();
    bool qosIncompatible = !c.qosIncompatible;
    EXPECT_EQ(MatchDifferences(c.writer, c.reader, qosIncompatible), c.differences);
    EXPECT_EQ(qosIncompatible, c.qosIncompatible);
}

INSTANTIATE_TEST_SUITE_P(PolicyByPolicy, PairingRules, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return std::string(info.param.what); });

} // namespace

TEST(MismatchText, IsPrintableAndBoundedWhateverTheWireCarries)
{
    EXPECT_EQ(Printable("plain name"), "plain name");
    EXPECT_EQ(Printable(std::string("a\nb\0c\"d\\e\x7f\xc3\xa9", 12)), "a\\x0ab\\x00c\\x22d\\x5ce\\x7f\\xc3\\xa9");
    EXPECT_EQ(Printable(std::string(200, 'x'), 5), "xxxxx...");
    EXPECT_EQ(Printable(std::string(5, 'x'), 5), "xxxxx");

    // A thousand long partition names: eight are shown, each cut short.
    auto writer = With([](auto& q) { q.partitions.assign(1000, std::string(500, 'p')); });
    bool qosIncompatible = true;
    const auto differences = MatchDifferences(writer, Endpoint(), qosIncompatible);
    ASSERT_EQ(differences.size(), 1u);
    EXPECT_LT(differences[0].size(), 1000u);
    EXPECT_TRUE(differences[0].ends_with("...\" and 992 more, requested the default partition")) << differences[0];

    DiscoveredWriter hostile;
    hostile.guid = "01.02|0.0.1.3";
    hostile.participantPrefix = "01.02";
    hostile.participantName = std::string("evil\x1b[2J") + std::string(300, 'n');
    const auto line = MismatchExplanation(hostile, {"reliability offered BEST_EFFORT, requested RELIABLE"}, "");
    EXPECT_EQ(line, "writer 01.02|0.0.1.3 of participant \"evil\\x1b[2J" + std::string(88, 'n') +
                        "...\" (GUID prefix 01.02, host unknown) does not match: reliability offered BEST_EFFORT, "
                        "requested RELIABLE. No shipped profile reads it.");
}

class WatchTest : public ::testing::Test
{
protected:
    WatchTest()
        : watch_(GetLogger("lumo"))
    {
        watch_.AddReader(0, "T", Endpoint());
        watch_.AddReader(1, "T", With([](auto& q) { q.livelinessLeaseSec = 3; }));
        watch_.AddReader(2, "U", Endpoint());
        watch_.SetSuggestedProfiles({{"Lumo_Liveliness_Profile", With([](auto& q) { q.livelinessLeaseSec = 3; })},
                                     {"Lumo_BestEffort_Profile", With([](auto& q) { q.reliability = BEST_EFFORT; })}});
        watch_.ParticipantDiscovered({"01.02", "pub"});
    }

    static DiscoveredWriter Writer(const std::string& guid, const std::string& topic, const EndpointQos& qos)
    {
        return {guid, "01.02", "", "127.0.0.1", topic, qos};
    }

    lumo::test::LogCapture log_;
    DiscoveryWatch watch_;
};

TEST_F(WatchTest, ExplainsEachWriterOncePerReaderAndOnlyOnceReadersAreEnabled)
{
    const auto bestEffort = With([](auto& q) { q.reliability = BEST_EFFORT; });
    watch_.WriterDiscovered(Writer("01.02|0", "U", With([](auto& q) { q.partitions = {"p"}; })));
    watch_.WriterDiscovered(Writer("01.02|1", "T", bestEffort));
    EXPECT_THAT(log_.Messages(), IsEmpty()) << "readers still disabled";

    watch_.Activate();
    const std::string head = " writer 01.02|1 of participant \"pub\" (GUID prefix 01.02, host 127.0.0.1) does not "
                             "match: reliability offered BEST_EFFORT, requested RELIABLE";
    const std::string tail = ". Lumo_BestEffort_Profile would read it.";
    EXPECT_THAT(log_.Messages(),
                ElementsAre("[U][2] writer 01.02|0 of participant \"pub\" (GUID prefix 01.02, host 127.0.0.1) does "
                            "not match: partition offered \"p\", requested the default partition. No shipped "
                            "profile reads it.",
                            "[T][0]" + head + tail,
                            "[T][1]" + head +
                                "; liveliness offered AUTOMATIC with lease infinite, requested AUTOMATIC with lease "
                                "3 s or less" +
                                tail));

    // A writer that keeps announcing itself, a matching one, one elsewhere.
    for (int i = 0; i < 100; ++i) {
        watch_.WriterDiscovered(Writer("01.02|1", "T", bestEffort));
    }
    watch_.WriterDiscovered(Writer("01.02|2", "T", With([](auto& q) { q.livelinessLeaseSec = 1; })));
    watch_.WriterDiscovered(Writer("01.02|3", "V", bestEffort));
    EXPECT_EQ(log_.Messages().size(), 3u);

    // A flapping writer, gone and back again and again: the same writer.
    for (int i = 0; i < 100; ++i) {
        watch_.WriterRemoved("01.02|1");
        watch_.WriterDiscovered(Writer("01.02|1", "T", bestEffort));
        watch_.IncompatibleQosReported(0);
        watch_.IncompatibleQosReported(1);
    }
    EXPECT_EQ(log_.Messages().size(), 3u);
    // Another writer of the same participant is explained in its turn.
    watch_.WriterDiscovered(Writer("01.02|4", "T", bestEffort));
    watch_.IncompatibleQosReported(0);
    EXPECT_EQ(log_.Messages().size(), 4u);
}

TEST_F(WatchTest, AnIncompatibleQosWaitsForTheReadersOwnLine)
{
    watch_.Activate();
    // Reader 1 requests a lease; reader 0 reads this writer.
    watch_.WriterDiscovered(Writer("01.02|7", "T", Endpoint()));
    EXPECT_THAT(log_.Messages(), IsEmpty());
    watch_.IncompatibleQosReported(0);
    EXPECT_THAT(log_.Messages(), IsEmpty());
    watch_.IncompatibleQosReported(1);
    EXPECT_THAT(log_.Messages(),
                ElementsAre("[T][1] writer 01.02|7 of participant \"pub\" (GUID prefix 01.02, host 127.0.0.1) does "
                            "not match: liveliness offered AUTOMATIC with lease infinite, requested AUTOMATIC with "
                            "lease 3 s or less. Lumo_BestEffort_Profile would read it."));
    watch_.IncompatibleQosReported(1);
    EXPECT_EQ(log_.Messages().size(), 1u);

    // A difference that leaves no event is told at once.
    watch_.WriterDiscovered(Writer("01.02|8", "U", With([](auto& q) { q.partitions = {"p"}; })));
    EXPECT_EQ(log_.Messages().size(), 2u);
    watch_.Deactivate();
    watch_.WriterDiscovered(Writer("01.02|9", "U", With([](auto& q) { q.partitions = {"p"}; })));
    EXPECT_EQ(log_.Messages().size(), 2u) << "no readers left";
}

TEST_F(WatchTest, AnExplanationWhoseLineNeverComesIsLoggedAfterItsHoldBackOrWhenTheReadersGo)
{
    DiscoveryWatch watch(GetLogger("lumo"), 100ms);
    watch.AddReader(0, "T", With([](auto& q) { q.livelinessLeaseSec = 3; }));
    watch.ParticipantDiscovered({"01.02", "pub"});
    watch.Activate();
    const std::string line = "[T][0] writer 01.02|7 of participant \"pub\" (GUID prefix 01.02, host 127.0.0.1) does "
                             "not match: liveliness offered AUTOMATIC with lease infinite, requested AUTOMATIC with "
                             "lease 3 s or less. No shipped profile reads it.";
    watch.WriterDiscovered(Writer("01.02|7", "T", Endpoint()));
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (log_.Messages().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_THAT(log_.Messages(), ElementsAre(line));
    watch.IncompatibleQosReported(0);
    EXPECT_EQ(log_.Messages().size(), 1u) << "told once";

    // Held back for an hour, it still comes out as the readers go.
    DiscoveryWatch patient(GetLogger("lumo"), 1h);
    patient.AddReader(0, "T", With([](auto& q) { q.livelinessLeaseSec = 3; }));
    patient.ParticipantDiscovered({"01.02", "pub"});
    patient.Activate();
    patient.WriterDiscovered(Writer("01.02|7", "T", Endpoint()));
    EXPECT_EQ(log_.Messages().size(), 1u);
    patient.Deactivate();
    EXPECT_THAT(log_.Messages(), ElementsAre(line, line));
}

// Fast DDS 3 names only the reader whose pairing DDS Security refused.
TEST_F(WatchTest, ARefusedPairingNamesTheWritersStillUnmatchedWhoseQosMatchesOnceAndReportsThem)
{
    DiscoveryWatch watch(GetLogger("lumo"));
    const auto encrypted = Secured(S::PAYLOAD_PROTECTED | S::KEY_PROTECTED, S::PAYLOAD_ENCRYPTED);
    watch.AddReader(0, "T", encrypted, "reader-0");
    watch.AddReader(1, "U", Endpoint(), "reader-1");
    std::vector<uint32_t> asked;
    watch.SetMatchedWriters([&asked](uint32_t reader) {
        asked.push_back(reader);
        return std::vector<std::string>{"01.02|1"};
    });
    std::vector<std::string> reported;
    watch.SetSecurityRefusalHook([&reported](uint32_t reader, const DiscoveredWriter& writer, const std::string& why) {
        reported.push_back(std::to_string(reader) + " " + writer.guid + ": " + why);
    });
    watch.ParticipantDiscovered({"01.02", "pub"});
    watch.Activate();
    watch.WriterDiscovered(Writer("01.02|1", "T", Endpoint())); // matched
    watch.WriterDiscovered(Writer("01.02|2", "T", Endpoint())); // refused
    watch.WriterDiscovered(Writer("01.02|3", "U", Endpoint())); // elsewhere
    watch.WriterDiscovered(Writer("01.02|5", "T", encrypted));  // refused, though protected alike
    watch.WriterDiscovered(Writer("01.02|4", "T", With([](auto& q) { q.reliability = BEST_EFFORT; }))); // QoS
    watch.IncompatibleQosReported(0);
    ASSERT_EQ(log_.Messages().size(), 1u);
    watch.PairingRefused("reader-0");
    watch.PairingRefused("another participant's reader");
    watch.WriterRemoved("01.02|2"); // its writer gave up waiting
    watch.PairingRefused("reader-0");
    EXPECT_EQ(log_.Messages().size(), 1u) << "within its grace";
    watch.Deactivate();

    const std::string reason =
        "DDS Security refused the pairing (this Fast DDS does not show the writer's protection; this reader's: "
        "enable_discovery_protection false, enable_liveliness_protection false, enable_read_access_control false, "
        "enable_write_access_control false, metadata_protection_kind NONE, data_protection_kind ENCRYPT)";
    const std::string alike = "DDS Security refused the pairing (both ends protect the topic alike; Fast DDS's "
                              "security lines above say why)";
    const auto line = [](const std::string& writer, const std::string& why) {
        return "[T][0] writer " + writer +
               " of participant \"pub\" (GUID prefix 01.02, host 127.0.0.1) does not "
               "match: " +
               why + ". No shipped profile reads it.";
    };
    const auto messages = log_.Messages();
    EXPECT_THAT(std::vector<std::string>(messages.begin() + 1, messages.end()),
                ::testing::UnorderedElementsAre(line("01.02|2", reason), line("01.02|5", alike)));
    EXPECT_THAT(reported, ::testing::UnorderedElementsAre("0 01.02|2: " + reason, "0 01.02|5: " + alike));
    EXPECT_THAT(asked, ::testing::Each(0u));
}

// The refusal comes on a thread of its own: the readers it asks about must
// not be deleted under it.
TEST_F(WatchTest, DeactivateWaitsForARefusalAskingTheReaders)
{
    DiscoveryWatch watch(GetLogger("lumo"));
    watch.AddReader(0, "T", Endpoint(), "reader-0");
    std::atomic<bool> readersGone{false};
    std::atomic<bool> askedAfterGone{false};
    watch.SetMatchedWriters([&](uint32_t) {
        std::this_thread::sleep_for(300ms);
        askedAfterGone = readersGone.load();
        return std::vector<std::string>{};
    });
    watch.Activate();
    watch.WriterDiscovered(Writer("01.02|2", "T", Endpoint()));
    std::thread refusal([&watch] { watch.PairingRefused("reader-0"); });
    std::this_thread::sleep_for(50ms); // the refusal is asking now
    watch.Deactivate();
    readersGone = true;
    refusal.join();
    EXPECT_FALSE(askedAfterGone);
}

TEST_F(WatchTest, AFloodOfParticipantsIsCountedTrueAndPushesOutOnlyTheOldestNames)
{
    // The fixture's "01.02" first, then more than the watch remembers by name.
    const size_t flood = DiscoveryWatch::MAX_REMEMBERED + 100;
    for (size_t i = 0; i < flood; ++i) {
        watch_.ParticipantDiscovered({"flood." + std::to_string(i), "flooder"});
        watch_.ParticipantChanged({"flood." + std::to_string(i), "flooder", {"10.0.0.1", "127.0.0.1"}});
    }
    EXPECT_EQ(watch_.KnownParticipants(), flood + 1);
    // Some of the oldest (no longer named) and some of the newest leave.
    for (size_t i = 0; i < 10; ++i) {
        watch_.ParticipantRemoved("flood." + std::to_string(i));
        watch_.ParticipantRemoved("flood." + std::to_string(flood - 1 - i));
    }
    EXPECT_EQ(watch_.KnownParticipants(), flood + 1 - 20);
    // Their addresses as the last announcement gave them, while remembered.
    EXPECT_THAT(watch_.ParticipantAddresses("flood.4000"), ElementsAre("10.0.0.1", "127.0.0.1"));
    EXPECT_THAT(watch_.ParticipantAddresses("flood.50"), IsEmpty());
    EXPECT_THAT(watch_.ParticipantAddresses("flood." + std::to_string(flood - 1)), IsEmpty());

    // A recent participant is still named in an explanation.
    watch_.Activate();
    watch_.WriterDiscovered(
        {"flood.4000|1", "flood.4000", "", "127.0.0.1", "U", With([](auto& q) { q.partitions = {"p"}; })});
    EXPECT_THAT(log_.Messages(),
                ElementsAre("[U][2] writer flood.4000|1 of participant \"flooder\" (GUID prefix flood.4000, host "
                            "127.0.0.1) does not match: partition offered \"p\", requested the default partition. No "
                            "shipped profile reads it."));
}
