// The watch that explains each writer that does not match, once per writer
// and reader, and holds an explanation back for the reader's own line.
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
using ::testing::ElementsAre;
using ::testing::IsEmpty;

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
