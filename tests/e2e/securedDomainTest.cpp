// lumoQuillpub into lumoQuillmon on a DDS Security domain (--security), with
// enclaves made at test time: the data is read with exact counts and crosses
// the loopback interface only encrypted, faulty enclaves are refused before
// joining, and every participant that security keeps away is explained once.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ExpectedLines.h"
#include "LoopbackCapture.h"
#include "ProcessRunner.h"
#include "ReportSchema.h"
#include "ScratchDir.h"
#include "TestEnclaves.h"
#include "TestNames.h"
#include "ToolRuns.h"
#include "lumo/componentFramework/FastDdsCompat.h"

using namespace std::chrono_literals;
using namespace lumo::test;
using ::testing::Contains;
using ::testing::Eq;
using ::testing::Ge;
using ::testing::Not;

namespace {

// How many of `lines` match `pattern`.
size_t CountMatching(const std::vector<std::string>& lines, const std::regex& pattern)
{
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                             [&](const std::string& line) { return std::regex_match(line, pattern); }));
}

// A refusal line: everything literal but the GUID prefix, host and name.
// Without the peer's announcement before its handshake, its name, host and
// vendor are unknown.
std::regex Refusal(const std::string& vendor, const std::string& what)
{
    if (!lumo::componentFramework::compat::ANNOUNCEMENT_BEFORE_AUTHENTICATION) {
        return std::regex(R"(participant \(GUID prefix [0-9a-f.]{35}, host unknown, vendor unknown\) )" +
                          RegexEscaped(what));
    }
    return std::regex(R"(participant "[^"]*" \(GUID prefix [0-9a-f.]{35}, host [^,]+, vendor )" +
                      RegexEscaped(vendor + ") " + what));
}

const std::string FAST_DDS = "01.0f eProsima Fast DDS";

class SecuredDomain : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { enclaves_ = new TestEnclaves(); }
    static void TearDownTestSuite() { delete enclaves_; }

    static std::string Enclave(const std::string& identity) { return enclaves_->Dir(identity); }

    static TestEnclaves* enclaves_;
    const std::string topic_ = UniqueTopic("Secured");
};

TestEnclaves* SecuredDomain::enclaves_ = nullptr;

TEST_F(SecuredDomain, SecuredPublisherIsReadAndEveryParticipantKeptAwayIsExplainedOnce)
{
    const ScratchDir scratch;
    const std::string report = scratch.File("report.jsonl");
    auto secured = StartReadyMonitor(
        {"-d", "-t", topic_, "--security", Enclave("monitor"), "--report", report, "--report-period", "0.1"});
    const std::string openReport = scratch.File("open.jsonl");
    auto open = StartReadyMonitor({"-d", "-t", topic_, "--report", openReport});
    // Its identity comes from another CA: each peer that checks its
    // certificate refuses it, and it refuses theirs. Which side checks is
    // the handshake's choice (by GUID); with these identities it is the
    // outsider.
    auto outsider = StartConfinedPublisher(
        {"-t", topic_, "--security", Enclave("outsider"), "-n", "10", "--wait-timeout", "10"});
    auto publisher = StartConfinedPublisher(
        {"-t", topic_, "--security", Enclave("publisher"), "-n", "300", "-r", "300", "--linger", "60"});
    ASSERT_TRUE(publisher->WaitForText(Summary(topic_, 0, 300), 60s)) << publisher->Output();
    EXPECT_EQ(outsider->Wait(30s), 1) << outsider->Output();
    ASSERT_TRUE(lumo::test::WaitForReportedSamples(report, topic_, 300, 30s)) << secured->Output();
    EXPECT_EQ(StopWith(*secured), 0) << secured->Output();
    EXPECT_EQ(StopWith(*open), 0) << open->Output();

    const auto infos = MessagesAt(*secured, "INFO");
    EXPECT_THAT(infos,
                Contains(ExitReport(topic_, 0, CountSinceLastReset(infos, Prefix(topic_, 0), IdsFromZero(300)), 0)))
        << secured->Output();
    EXPECT_THAT(MessagesAt(*open, "INFO"), Contains(ExitReport(topic_, 0, 0, 0))) << open->Output();

    // The secured monitor and the publisher, once each.
    const auto outsiderErrors = MessagesAt(*outsider, "ERROR");
    EXPECT_EQ(CountMatching(outsiderErrors,
                            Refusal(FAST_DDS,
                                    "is refused by DDS Security: authentication failed: Invalidation error of "
                                    "certificate (unable to get local issuer certificate); Error verifying "
                                    "certificate")),
              2u)
        << outsider->Output();
    if constexpr (lumo::componentFramework::compat::ANNOUNCEMENT_BEFORE_AUTHENTICATION) {
        const std::regex joinedOpen = Refusal(FAST_DDS, "is refused by DDS Security: authentication failed: "
                                                        "it joined without DDS Security");
        EXPECT_EQ(CountMatching(outsiderErrors, joinedOpen), 1u) << outsider->Output();
        // The open monitor, and the outsider, which refused the monitor's
        // certificate and so never answered its handshake.
        const auto securedErrors = MessagesAt(*secured, "ERROR");
        EXPECT_EQ(CountMatching(securedErrors, joinedOpen), 1u) << secured->Output();
        EXPECT_EQ(CountMatching(securedErrors, Refusal(FAST_DDS, "is refused by DDS Security: authentication failed: "
                                                                 "the handshake went unanswered")),
                  1u)
            << secured->Output();
        EXPECT_EQ(securedErrors.size(), 2u) << secured->Output();
        // The report has the same, as events of no reader.
        std::vector<std::string> reported;
        for (const auto& event : RecordsOf(ReadReport(report), "event")) {
            if (!event.contains("topic")) {
                reported.push_back(event.value("event", "") + ": " + event.value("reason", "") + " (" +
                                   event["vendor"].get<std::string>() + ")");
            }
        }
        EXPECT_THAT(reported, ::testing::UnorderedElementsAre(
                                  "participant_refused: authentication failed: it joined without DDS Security (01.0f)",
                                  "participant_refused: authentication failed: the handshake went unanswered (01.0f)"));
        // The secured monitor, the outsider and the publisher, once each.
        const auto openErrors = MessagesAt(*open, "ERROR");
        EXPECT_EQ(CountMatching(openErrors, Refusal(FAST_DDS, "requires DDS Security (DDS:Auth:PKI-DH:1.0): nothing "
                                                              "of it can be read without --security")),
                  3u)
            << open->Output();
        EXPECT_EQ(openErrors.size(), 3u) << open->Output();
        const auto openEvents = RecordsOf(ReadReport(openReport), "event");
        EXPECT_EQ(std::count_if(openEvents.begin(), openEvents.end(),
                                [](const auto& event) {
                                    return event.value("event", "") == "security_required" &&
                                           event.value("identity_class", "") == "DDS:Auth:PKI-DH:1.0";
                                }),
                  3)
            << open->Output();
    }
    EXPECT_EQ(StopWith(*publisher), 0);
}

// Authenticated, then refused by access control: Fast DDS only logs that.
TEST_F(SecuredDomain, APeerWhosePermissionsAreRefusedIsExplainedOnce)
{
    auto secured = StartReadyMonitor({"-t", topic_, "--security", Enclave("monitor")});
    auto foreign = StartConfinedPublisher(
        {"-t", topic_, "--security", Enclave("foreign_permissions"), "-n", "10", "--wait-timeout", "4"});
    EXPECT_EQ(foreign->Wait(30s), 1) << foreign->Output();
    EXPECT_EQ(StopWith(*secured), 0) << secured->Output();
    const auto errors = MessagesAt(*secured, "ERROR");
    EXPECT_EQ(CountMatching(errors, Refusal(FAST_DDS, "is refused by DDS Security: its permissions are refused: "
                                                      "Remote participant PermissionsCA differs from local")),
              1u)
        << secured->Output();
}

// Authenticated and allowed, but its governance protects the topic unlike
// the monitor's: Fast DDS pairs nothing, and names neither writer nor cause.
TEST_F(SecuredDomain, AWriterWhoseGovernanceDiffersIsExplainedOnceAndReported)
{
    const ScratchDir scratch;
    const std::string report = scratch.File("report.jsonl");
    auto secured = StartReadyMonitor({"-t", topic_, "--security", Enclave("monitor"), "--report", report});
    auto publisher = StartConfinedPublisher(
        {"-t", topic_, "--security", Enclave("signed_data"), "-n", "10", "--wait-timeout", "4"});
    EXPECT_EQ(publisher->Wait(30s), 1) << publisher->Output();
    EXPECT_EQ(StopWith(*secured), 0) << secured->Output();
    // Fast DDS 3 keeps a remote writer's protection to itself: only the
    // monitor's side can be told.
    const std::string reason =
        LUMO_FASTDDS_MAJOR < 3
            ? "DDS Security data_protection_kind offered SIGN, requested ENCRYPT"
            : "DDS Security refused the pairing (this Fast DDS does not show the writer's protection; this reader's: "
              "enable_discovery_protection true, enable_liveliness_protection true, enable_read_access_control true, "
              "enable_write_access_control true, metadata_protection_kind ENCRYPT, data_protection_kind ENCRYPT)";
    const std::string cause = "does not match: " + reason + ". No shipped profile reads it.";
    const std::regex line(RegexEscaped("[" + topic_ + "][0] writer ") +
                          R"([0-9a-f.|]+ of participant "[^"]*" \(GUID prefix [0-9a-f.]{35}, host [^)]+\) )" +
                          RegexEscaped(cause));
    EXPECT_EQ(CountMatching(MessagesAt(*secured, "ERROR"), line), 1u) << secured->Output();
    std::vector<std::string> reported;
    for (const auto& event : RecordsOf(ReadReport(report), "event")) {
        if (event.value("event", "") == "writer_refused") {
            reported.push_back(event["reason"].get<std::string>());
        }
    }
    EXPECT_THAT(reported, ::testing::ElementsAre(reason));
}

TEST_F(SecuredDomain, SamplesCrossTheWireOnlyEncryptedWhereAnOpenRunShowsThemInClear)
{
    if (const std::string reason = LoopbackCapture::Unavailable(); !reason.empty()) {
        GTEST_SKIP() << "the capture needs a packet socket (root): " << reason;
    }
    constexpr uint32_t COUNT = 200;
    constexpr uint32_t PAYLOAD_SIZE = 4096;
    constexpr double RAMP_START = 1.5;
    // The ramp's first 16 elements, the same in every sample: 64 bytes that
    // no cipher text holds by chance.
    std::vector<uint8_t> clearText;
    for (int k = 0; k < 16; ++k) {
        const auto element = static_cast<float>(RAMP_START + k * 0.001);
        const auto* bytes = reinterpret_cast<const uint8_t*>(&element);
        clearText.insert(clearText.end(), bytes, bytes + sizeof element);
    }
    // Each governance's enclaves ("" for none: open); the topic's name is
    // what discovery would show of it.
    struct Case
    {
        std::string governance;
        ::testing::Matcher<size_t> timesInClear;
        ::testing::Matcher<size_t> topicInClear;
    };
    const std::vector<Case> cases{
        {"", Eq(0u), Eq(0u)},
        // The kinds that cost less: the data stays encrypted all the same.
        {"payload_only_", Eq(0u), Eq(0u)},
        {"rtps_only_", Eq(0u), Eq(0u)},
        // What proves the capture would see the bytes: every sample once at
        // least (repairs may add more), the name in the endpoints'
        // announcements.
        {"open", Ge(size_t{COUNT}), Ge(size_t{1})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.governance.empty() ? "secured" : c.governance);
        const std::string topic = UniqueTopic("Wire");
        // UDP alone: shared memory between the two would never reach an
        // interface.
        const auto args = [&](std::vector<std::string> given, const std::string& identity) {
            given.insert(given.end(),
                         {"-t", topic, "--qos-file", LUMO_TEST_QOS_FILE, "--qos-profile", "Test_Reliable"});
            if (c.governance != "open") {
                given.insert(given.end(), {"--security", Enclave(c.governance + identity)});
            }
            return given;
        };
        LoopbackCapture capture(TestDomain());
        const ScratchDir scratch;
        const std::string report = scratch.File("report.jsonl");
        auto monitor = StartReadyMonitor(args({"-d", "--report", report, "--report-period", "0.1"}, "monitor"));
        auto publisher = StartConfinedPublisher(
            args({"-n", std::to_string(COUNT), "-r", "400", "--payload", "ramp", "--payload-size",
                  std::to_string(PAYLOAD_SIZE), "--ramp-start", std::to_string(RAMP_START), "--linger", "60"},
                 "publisher"));
        ASSERT_TRUE(publisher->WaitForText(Summary(topic, 0, COUNT), 60s)) << publisher->Output();
        ASSERT_TRUE(lumo::test::WaitForReportedSamples(report, topic, COUNT, 30s)) << monitor->Output();
        EXPECT_EQ(StopWith(*monitor), 0) << monitor->Output();
        EXPECT_EQ(StopWith(*publisher), 0) << publisher->Output();
        const auto datagrams = capture.Stop();

        const auto infos = MessagesAt(*monitor, "INFO");
        EXPECT_THAT(infos,
                    Contains(ExitReport(topic, 0, CountSinceLastReset(infos, Prefix(topic, 0), IdsFromZero(COUNT)), 0)))
            << monitor->Output();
        // The samples went through the interface, whatever their form.
        size_t sent = 0;
        for (const auto& datagram : datagrams) {
            sent += datagram.payload.size();
        }
        EXPECT_GE(sent, size_t{COUNT} * PAYLOAD_SIZE) << datagrams.size() << " datagrams";
        EXPECT_THAT(CountOccurrences(datagrams, clearText), c.timesInClear);
        EXPECT_THAT(CountOccurrences(datagrams, std::vector<uint8_t>(topic.begin(), topic.end())), c.topicInClear);
    }
}

// --list with the monitor's enclave: the topics its grant lets it read are
// listed and judged; SecretX, which the grant denies it, is not.
TEST_F(SecuredDomain, ListShowsWhatTheMonitorsPermissionsLetItSee)
{
    const std::string secret = "Secret" + topic_;
    auto publisher = StartConfinedPublisher({"-t", topic_, secret, "--security", Enclave("publisher"), "-n", "5", "-r",
                                             "100", "--wait-readers", "0", "--linger", "60"});
    ASSERT_TRUE(publisher->WaitForText(Summary(secret, 1, 5), 60s)) << publisher->Output();
    const ScratchDir scratch;
    const std::string report = scratch.File("list.jsonl");
    auto monitor = StartMonitor(
        Confined({"--list", "--duration", "5", "--security", Enclave("monitor"), "--report", report}));
    ASSERT_EQ(monitor->Wait(EXIT_TIMEOUT), 0) << monitor->Output();
    EXPECT_EQ(StopWith(*publisher), 0) << publisher->Output();

    // Fast DDS tells of the denied topic's writer all the same.
    const auto lines = monitor->Lines();
    const std::regex writer(RegexEscaped("  writer ") + R"([0-9a-f.]{35}\|0\.0\.1\.3)" +
                            RegexEscaped(" of participant \"Lumo_Default_Profile\" (host 127.0.0.1): RELIABLE, "
                                         "VOLATILE, SHARED, the default partition, XCDR1: readable"));
    ASSERT_EQ(lines.size(), 5u) << monitor->Output();
    EXPECT_EQ(lines[0], "Domain " + std::to_string(TestDomain()) + ": 1 participant(s), 1 topic(s)");
    EXPECT_EQ(lines[1], "1 more topic(s) left out: the DDS Security permissions do not allow subscribing to them");
    const std::regex participant(RegexEscaped("Participant \"Lumo_Default_Profile\" (GUID prefix ") +
                                 R"([0-9a-f.]{35})" + RegexEscaped(", vendor " + FAST_DDS + ", host ") +
                                 R"((127\.0\.0\.1|this host \(shared memory\))\))");
    EXPECT_TRUE(std::regex_match(lines[2], participant)) << lines[2];
    EXPECT_EQ(lines[3],
              "Topic \"" + topic_ + "\" (type \"lumo::componentFramework::AgnosticTopic\", keyless): readable");
    EXPECT_TRUE(std::regex_match(lines[4], writer)) << lines[4];
    std::vector<std::string> listed;
    for (const auto& record : RecordsOf(ReadReport(report), "topic")) {
        listed.push_back(record["topic"].get<std::string>() + ": " + record["verdict"].get<std::string>());
    }
    EXPECT_THAT(listed, ::testing::ElementsAre(topic_ + ": readable"));
}

// Each fault's text is EnclaveTest's; here, that the tools print it as their
// one ERROR line and stop before joining: a grant out of its dates (which
// Fast DDS would refuse only after joining), and a FIFO as the key (which
// would hold the tool).
TEST_F(SecuredDomain, EachEnclaveFaultIsOneErrorLineAndExitOneBeforeJoining)
{
    const std::string lapsed = Enclave("grant_lapsed");
    const std::string fifoKey = enclaves_->CopyOf("publisher", "fifo_key");
    std::filesystem::remove(fifoKey + "/key.pem");
    ASSERT_EQ(mkfifo((fifoKey + "/key.pem").c_str(), 0600), 0);
    struct Case
    {
        bool publisher;
        std::string dir;
        std::string error;
    };
    const std::vector<Case> cases{
        {false, lapsed,
         "ERROR: " + lapsed +
             "/permissions.p7s: grant \"grant_lapsed\" is valid from not_before 2000-01-01T00:00:00 to not_after "
             "2010-01-01T00:00:00 (local time, as Fast DDS reads them); the current time is outside them"},
        {true, fifoKey, "ERROR: " + fifoKey + "/key.pem: cannot be read: a FIFO, not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        const std::vector<std::string> args{"-d", "-t", topic_, "--security", c.dir};
        auto tool = c.publisher ? StartConfinedPublisher(args) : StartMonitor(Confined(args));
        EXPECT_EQ(tool->Wait(EXIT_TIMEOUT), 1) << tool->Output();
        EXPECT_THAT(MessagesAt(*tool, "ERROR"), ::testing::ElementsAre(c.error)) << tool->Output();
        // Refused before the participant existed.
        EXPECT_THAT(tool->Lines(), Not(Contains(MONITOR_READY_LINE)));
        EXPECT_TRUE(FastDdsMessages(*tool).empty()) << tool->Output();
    }
}

} // namespace
