// Fast DDS's own log goes through log4cplus: run a program that logs many
// lines at once through both, and find every line whole, at its level, in
// the one layout, and governed by the log configuration.
#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ProcessRunner.h"

using namespace std::chrono_literals;
using lumo::test::ProcessRunner;
using ::testing::IsEmpty;

namespace {

// What lumoLogStorm logs for thread t and line i, as "LEVEL message" after
// the time stamp: the tool's line, then Fast DDS's (Error, Warning, Info in
// turn), each kept only when `fastDdsKeeps` lets its level through.
std::vector<std::string> Expected(int lines, int threads, const std::vector<std::string>& fastDdsKeeps)
{
    std::vector<std::string> expected;
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < lines; ++i) {
            const std::string id = std::to_string(t) + "." + std::to_string(i);
            expected.push_back("ERROR tool line " + id);
            const std::string kind = i % 3 == 0 ? "Error" : i % 3 == 1 ? "Warning" : "Info";
            const std::string level = i % 3 == 0 ? "ERROR" : i % 3 == 1 ? "WARN " : "INFO ";
            if (std::find(fastDdsKeeps.begin(), fastDdsKeeps.end(), kind) != fastDdsKeeps.end()) {
                // One printable line each.
                expected.push_back(level + " [STORM " + kind + "] fast dds line " + id + (i % 2 == 1 ? "(\\x00)" : "") +
                                   " -> Function Storm");
            }
        }
    }
    std::sort(expected.begin(), expected.end());
    return expected;
}

// Runs the storm; returns the lines, each checked to start with the layout's
// time stamp, which is taken off.
std::vector<std::string> Storm(int lines, int threads, const std::string& mode,
                               const std::vector<std::string>& env = {})
{
    ProcessRunner storm(LUMO_LOG_STORM_PATH, {std::to_string(lines), std::to_string(threads), mode}, env);
    EXPECT_EQ(storm.Wait(60s), 0);
    static const std::regex stamped(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (.*)$)");
    std::vector<std::string> messages;
    std::vector<std::string> broken;
    for (const auto& line : storm.Lines()) {
        std::smatch m;
        if (std::regex_match(line, m, stamped)) {
            messages.push_back(m[1]);
        } else {
            broken.push_back(line);
        }
    }
    EXPECT_THAT(broken, IsEmpty());
    std::sort(messages.begin(), messages.end());
    return messages;
}

// Lines of `actual` not in `expected` and the reverse, a few of each, for a
// readable failure.
std::string Difference(const std::vector<std::string>& actual, const std::vector<std::string>& expected)
{
    std::vector<std::string> extra;
    std::vector<std::string> missing;
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(), std::back_inserter(missing));
    std::string text = std::to_string(extra.size()) + " unexpected, " + std::to_string(missing.size()) + " missing";
    for (size_t k = 0; k < std::min<size_t>(5, extra.size()); ++k) {
        text += "\n  unexpected: " + extra[k];
    }
    for (size_t k = 0; k < std::min<size_t>(5, missing.size()); ++k) {
        text += "\n  missing: " + missing[k];
    }
    return text;
}

TEST(FastDdsLog, EveryLineStaysWholeWhenBothLogAtOnce)
{
    // 2 tool threads and 2 Fast DDS threads, 3000 lines each.
    const auto expected = Expected(3000, 2, {"Error", "Warning", "Info"});
    const auto actual = Storm(3000, 2, "debug");
    EXPECT_EQ(actual.size(), 12000u);
    EXPECT_TRUE(actual == expected) << Difference(actual, expected);
}

TEST(FastDdsLog, ErrorsOnlyAtTheToolsStartUpLevel)
{
    const auto expected = Expected(30, 1, {"Error"});
    const auto actual = Storm(30, 1, "plain");
    EXPECT_EQ(actual.size(), 40u);
    EXPECT_TRUE(actual == expected) << Difference(actual, expected);
}

TEST(FastDdsLog, TheLogConfigurationGovernsFastDdsLinesToo)
{
    const std::string path = ::testing::TempDir() + "fastdds-log-" + std::to_string(getpid()) + ".properties";
    {
        std::ofstream properties(path);
        properties << "log4cplus.rootLogger=INFO, out\n"
                      "log4cplus.logger.lumo.fastdds=WARN\n"
                      "log4cplus.appender.out=log4cplus::ConsoleAppender\n"
                      "log4cplus.appender.out.ImmediateFlush=true\n"
                      "log4cplus.appender.out.layout=log4cplus::PatternLayout\n"
                      "log4cplus.appender.out.layout.ConversionPattern=%c|%p|%m%n\n";
    }
    ProcessRunner storm(LUMO_LOG_STORM_PATH, {"3", "1", "fastdds-info"}, {"LUMO_LOG_CONFIG=" + path});
    ASSERT_EQ(storm.Wait(60s), 0);
    std::remove(path.c_str());
    auto lines = storm.Lines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "lumo.fastdds|ERROR|[STORM Error] fast dds line 0.0 -> Function Storm",
                         "lumo.fastdds|WARN|[STORM Warning] fast dds line 0.1(\\x00) -> Function Storm",
                         "lumo|ERROR|tool line 0.0",
                         "lumo|ERROR|tool line 0.1",
                         "lumo|ERROR|tool line 0.2",
                     }));
}

} // namespace
