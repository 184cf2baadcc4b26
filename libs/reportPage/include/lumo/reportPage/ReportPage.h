// lumoQuillmon's JSON Lines report as one self-contained HTML page: charts
// of every reader on one shared time axis, the verdict and the per-writer
// totals, with the chart library inlined so that the page needs no network
// and no other file.
#pragma once

#include <cstddef>
#include <istream>
#include <stdexcept>
#include <string>

namespace lumo::reportPage {

// A file that cannot be made into a page: not readable, not a report, or a
// report of another schema. what() is the whole reason, for one ERROR line.
class ReportPageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// What went into a page.
struct PageSummary
{
    std::size_t records = 0;  // whole records read
    bool lastLineCut = false; // the last line was not a whole record (a killed monitor)
    bool hasFinal = false;    // the report ends with its final record
};

// Reads the report at `reportPath` and writes the page to `pagePath`, which
// must not be the report itself. The page is written whole beside its place
// and renamed into it: a failed write leaves no page, nor a page half made.
// Throws ReportPageError.
PageSummary WriteReportPage(const std::string& reportPath, const std::string& pagePath);

// The same from records already at hand (a report that went to a pipe):
// `reportName` names the report in errors and on the page. The page is
// written as above.
PageSummary WriteReportPage(std::istream& report, const std::string& reportName, const std::string& pagePath);

} // namespace lumo::reportPage
