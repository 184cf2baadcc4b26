// lumoQuillpub's command line as its users meet it: usage, refusals with
// their exact messages, the reader wait that gives up, and the bounded
// teardown.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ProcessRunner.h"
#include "TestNames.h"
#include "ToolRuns.h"

using namespace lumo::test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(QuillpubUsage, HelpListsEveryOptionAndTheSummaryContract)
{
    ProcessRunner publisher(LUMO_QUILLPUB_PATH, lumo::test::Confined({"-h", "-t", "X"}));
    ASSERT_EQ(publisher.Wait(EXIT_TIMEOUT), 0);
    const std::string usage = publisher.Output();
    EXPECT_THAT(publisher.Lines().front(), "lumoQuillpub Usage:");
    for (const char* option :
         {"--topic",        "--domain-id",  "--qos-profile",    "--qos-file",     "--allow-interfaces",
          "--multicast",    "--rate",       "--count",          "--duration",     "--payload arg",
          "--payload-size", "--ramp-start", "--reader-index",   "--start-id",     "--id-increment",
          "--skip-every",   "--repeat-id",  "--corrupt-sample", "--wait-readers", "--wait-timeout",
          "--ack-timeout",  "--linger",     "--version",        "--security"}) {
        EXPECT_THAT(usage, HasSubstr(option));
    }
    EXPECT_THAT(usage, HasSubstr("samples written: <n> ids skipped: <n> ids repeated: <n> samples corrupted: <n> "
                                 "write failures: <n>"));
}

TEST(QuillpubUsage, BadArgumentsAreRefusedWithOneErrorAndExitOne)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"-n", "5"}, "ERROR: no topic given: name at least one with -t/--topic"},
        {{"-t", "X", "--payload", "Ramp"}, "ERROR: the argument ('Ramp') for option '--payload' is invalid"},
        {{"-t", "X", "-r", "-1"}, "ERROR: the argument ('-1') for option '--rate' is invalid"},
        {{"-t", "X", "-r", "nan"}, "ERROR: the argument ('nan') for option '--rate' is invalid"},
        {{"-t", "X", "--duration", "1.5x"}, "ERROR: the argument ('1.5x') for option '--duration' is invalid"},
        {{"-t", "X", "--start-id", "4294967296"},
         "ERROR: the argument ('4294967296') for option '--start-id' is invalid"},
        {{"-t", "X", "--skip-every", "3", "--id-increment", "0"},
         "ERROR: --skip-every needs a non-zero --id-increment: with 0 no id can be skipped"},
        {{"-t", "X", "-n", "5", "--corrupt-sample", "5"},
         "ERROR: --corrupt-sample 5 is not below --count 5: that sample is never published"},
        {{"-t", "X", "--repeat-id", "0"}, "ERROR: --repeat-id 0: the first sample has no previous id to repeat"},
        {{"-t", "X", "--payload-size", "0", "--corrupt-sample", "1"},
         "ERROR: --corrupt-sample needs a payload: --payload-size is 0"},
        {{"-t", "X", "--linger", "-2"}, "ERROR: the argument ('-2') for option '--linger' is invalid"},
        {{"-t", "X", "--domain-id", "17179869"},
         "ERROR: the argument ('17179869') for option '--domain-id' is invalid; the largest domain id is 232"},
    };
    for (const auto& [args, message] : cases) {
        // Refused before any participant exists; confined all the same, so
        // that a regression past the checks stays on loopback.
        ProcessRunner publisher(LUMO_QUILLPUB_PATH, lumo::test::Confined(args));
        EXPECT_EQ(publisher.Wait(EXIT_TIMEOUT), 1) << message;
        EXPECT_THAT(MessagesAt(publisher, "ERROR"), ElementsAre(message)) << publisher.Output();
    }
}

TEST(QuillpubRun, NoReaderWithinTheWaitIsAnErrorAndNothingIsWritten)
{
    const auto topic = lumo::test::UniqueTopic("Lonely");
    ProcessRunner publisher(LUMO_QUILLPUB_PATH,
                            lumo::test::Confined({"-t", topic, "-n", "10", "--wait-timeout", "0.5"}));
    EXPECT_EQ(publisher.Wait(EXIT_TIMEOUT), 1);
    EXPECT_THAT(MessagesAt(publisher, "ERROR"),
                ElementsAre("ERROR: [" + topic + "][0] 0 of 1 reader(s) matched within 0.5 s"));
    EXPECT_THAT(publisher.Output(), testing::Not(HasSubstr("samples written")));
}

// Fast DDS 2.9 was seen to deadlock inside DataWriter::write while monitors
// came and went, and the publisher then ignored SIGTERM. A preloaded library
// makes every write hang for good: SIGTERM must still end the run after the
// bound, with one ERROR line and status 1 (no summary could be printed).
TEST(QuillpubTeardown, AWriteThatNeverReturnsEndsTheRunAfterItsBoundOnSigterm)
{
    const auto topic = lumo::test::UniqueTopic("HangingWrite");
    const char* asanOptions = std::getenv("ASAN_OPTIONS");
    // The preloaded library comes before the sanitizer's runtime.
    const std::string asan = "ASAN_OPTIONS=" + std::string(asanOptions != nullptr ? asanOptions : "") +
                             ":verify_asan_link_order=0";
    ProcessRunner publisher(LUMO_QUILLPUB_PATH,
                            lumo::test::Confined(
                                {"-t", topic, "--wait-readers", "0", "-r", "10", "--ack-timeout", "0"}),
                            {"LD_PRELOAD=" LUMO_HANGING_WRITE_PATH, asan});
    ASSERT_TRUE(publisher.WaitForText("Going to create 1 topic(s) and writer(s)", START_TIMEOUT)) << publisher.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // into the first write
    publisher.Signal(SIGTERM);
    EXPECT_EQ(publisher.Wait(EXIT_TIMEOUT), 1) << publisher.Output();
    EXPECT_THAT(MessagesAt(publisher, "ERROR"),
                ElementsAre("ERROR: teardown did not finish within 5 s; ending the process"));
    EXPECT_THAT(publisher.Output(), testing::Not(HasSubstr("samples written")));
}
