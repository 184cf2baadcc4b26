// The report read back: every reader's series over time, its events and its
// latest records, as the page draws them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumo::reportPage {

// The layout version this reader understands.
constexpr int REPORT_SCHEMA = 1;

// Records nest a few levels; a line nested deeper is refused before it is
// parsed, so that no input can exhaust the stack.
constexpr std::size_t MAX_RECORD_DEPTH = 64;

// The longest line read. A monitor's longest lines are its start and final
// records, which carry its command line: at most about 14 MiB (15 topic
// names and the profile, each up to the kernel's 128 KiB per argument, every
// byte a control character written as a 6-byte escape); a record's counts
// never grow with the run.
constexpr std::size_t MAX_LINE_BYTES = std::size_t{64} << 20;

// The largest report read: about 18 hours of 15 topics at 1 s periods
// (57 MB an hour). Its series are kept in memory, and the page would hold
// every point.
constexpr std::uint64_t MAX_REPORT_BYTES = std::uint64_t{1} << 30;

// What ReadReportSeries reads at most; smaller in the tests.
struct ReadBounds
{
    std::size_t lineBytes = MAX_LINE_BYTES;
    std::uint64_t reportBytes = MAX_REPORT_BYTES;
};

// "64 MiB", "1 GiB", "100 bytes": a bound as its error names it.
std::string BoundText(std::uint64_t bytes);

// A reader draws at most this many writers as their own series; with more,
// it draws the DRAWN_WRITERS ranked first and folds the rest into one
// "other writers" series per chart (one writer more is drawn, not folded).
constexpr std::size_t DRAWN_WRITERS = 8;

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
    bool drawn = true;          // drawn as its own series (else folded into the reader's `other`)
};

struct ReaderSeries
{
    std::string topic;
    unsigned reader = 0;
    std::vector<WriterSeries> writers;
    // The writers not drawn, period by period: their mean rate, their
    // cumulative counts summed, their worst latency; `writer` is empty when
    // none is folded.
    WriterSeries other;
    std::size_t folded = 0;
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
// (lastLineCut); anything else that is not a report of REPORT_SCHEMA (a line
// nested deeper than MAX_RECORD_DEPTH, a field of the wrong type) throws
// ReportPageError naming `name` and the line; so does a line longer than
// `bounds.lineBytes` or a report longer than `bounds.reportBytes`. Readers of more writers than
// DRAWN_WRITERS + 1 have the rest folded: writers ranked by faults (missing
// ids, middleware losses, duplicates, backward jumps, undecodable samples,
// failed payload checks, in sum), then by taking part in a restart, then by
// samples.
ReportSeries ReadReportSeries(std::istream& in, const std::string& name, const ReadBounds& bounds = {});

} // namespace lumo::reportPage
