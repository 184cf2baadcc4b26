// The report's records: JSON strings from hostile text, and the final
// totals. Expected values are literal.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <nlohmann/json.hpp>

#include "report/reportRecords.h"

using namespace quillModel;
using namespace quillReport;

TEST(ReportRecords, AnyBytesInATopicNameGiveOneValidLineThatKeepsTheWellFormedText)
{
    // Quotes, controls, well-formed UTF-8, then broken sequences: a stray
    // continuation, a cut sequence, an overlong form, a surrogate.
    RunDescription run;
    run.topics = {std::string("q\"b\\\n\x01\0\xc3\xa9|\x80|\xe2\x82|\xc0\xaf|\xed\xa0\x80", 21)};
    const std::string line = StartRecord(run, RecordTime{});
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const auto topic = nlohmann::json::parse(line).at("options").at("topics").at(0).get<std::string>();
    // One U+FFFD per maximal ill-formed subsequence, as Unicode recommends.
    const std::string fffd = "\xef\xbf\xbd";
    EXPECT_EQ(topic, std::string("q\"b\\\n\x01\0\xc3\xa9|", 10) + fffd + "|" + fffd + "|" + fffd + fffd + "|" + fffd +
                         fffd + fffd);
}

TEST(ReportRecords, FinalTotalsSumEveryStreamOfEveryReaderAndTheUnlistedWriters)
{
    ReaderSnapshot first;
    first.streams.resize(2);
    first.streams[0].samples = 10;
    first.streams[0].missingIds = 3;
    first.streams[0].middlewareLost = 1;
    first.streams[1].samples = 20;
    first.streams[1].missingIds = 4;
    first.streams[1].duplicates = 2;
    first.unlisted.samples = 5;
    first.unlisted.missingIds = 10;
    first.unlistedWriters = 1;
    ReaderSnapshot second;
    second.streams.resize(1);
    second.streams[0].samples = 7;
    second.streams[0].missingIds = 1;
    second.streams[0].checksFailed = 2;
    const auto record = nlohmann::json::parse(FinalRecord(RunDescription{}, {first, second}, Verdict{}, RecordTime{}));
    const auto& totals = record.at("totals");
    EXPECT_EQ(totals.at("readers"), 2);
    EXPECT_EQ(totals.at("writers"), 4);
    EXPECT_EQ(totals.at("samples"), 42);
    EXPECT_EQ(totals.at("missing_ids"), 18);
    EXPECT_EQ(totals.at("middleware_lost"), 1);
    EXPECT_EQ(totals.at("duplicates"), 2);
    EXPECT_EQ(totals.at("checks_failed"), 2);
}
