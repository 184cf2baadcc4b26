// The report read back: every reader's series over time, its events and its
// latest records, as the page draws them.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumo::reportPage {

// The layout version this reader understands.
constexpr int REPORT_SCHEMA = 1;

// One writer stream of one reader, period by period.
struct WriterSeries
{
    std::string writer;
    std::vector<double> t;
    std::vector<double> rateHz;
    std::vector<double> missingIds;
    std::vector<double> middlewareLost;
    std::vector<double> publisherSkipped;
    // Microseconds; NaN where the record had no latency.
    std::vector<double> p50Us;
    std::vector<double> p99Us;
    bool periodLatency = false; // the figures are per period (else since the stream's start)
    nlohmann::json latest;      // its last record (the final one when the report has it)
};

struct ReaderSeries
{
    std::string topic;
    unsigned reader = 0;
    std::vector<WriterSeries> writers;
    std::vector<nlohmann::json> events;
    nlohmann::json latest; // its last reader record, or null
};

struct ReportSeries
{
    nlohmann::json start;
    nlohmann::json final; // null when the report ends without it
    std::vector<ReaderSeries> readers;
    double endT = 0.0; // the latest `t` of any record
    std::size_t records = 0;
    bool lastLineCut = false;
};

// Reads a whole report. A last line that is not a whole record is left out
// (lastLineCut); anything else that is not a report of REPORT_SCHEMA throws
// ReportPageError naming `name` and the line.
ReportSeries ReadReportSeries(std::istream& in, const std::string& name);

} // namespace lumo::reportPage
