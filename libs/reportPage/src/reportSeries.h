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

// Records nest a few levels; a line nested deeper is refused before it is
// parsed, so that no input can exhaust the stack.
constexpr std::size_t MAX_RECORD_DEPTH = 64;

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
// ReportPageError naming `name` and the line. Readers of more writers than
// DRAWN_WRITERS + 1 have the rest folded: writers ranked by faults (missing
// ids, middleware losses, duplicates, backward jumps, undecodable samples,
// failed payload checks, in sum), then by taking part in a restart, then by
// samples.
ReportSeries ReadReportSeries(std::istream& in, const std::string& name);

} // namespace lumo::reportPage
