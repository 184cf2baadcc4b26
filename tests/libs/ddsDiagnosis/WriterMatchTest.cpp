// Why a discovered writer does not match a reader: the pairing rules and
// the plain-words text.
#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LogCapture.h"
#include "endpointQos.h"
#include "lumo/componentFramework/Logging.h"
#include "lumo/ddsDiagnosis/DiscoveryWatch.h"
#include "lumo/ddsDiagnosis/WriterMatch.h"

using namespace lumo::componentFramework;
using namespace lumo::ddsDiagnosis;
using namespace endpointQos;
using namespace std::chrono_literals;

namespace {

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
