#include "lumo/reportPage/ReportPage.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "pageText.h"
#include "reportSeries.h"

namespace lumo::reportPage {

PageSummary WriteReportPage(const std::string& reportPath, const std::string& pagePath)
{
    std::ifstream in(reportPath, std::ios::binary);
    if (!in) {
        throw ReportPageError("cannot read the report file '" + reportPath + "': " + std::strerror(errno));
    }
    return WriteReportPage(in, reportPath, pagePath);
}

PageSummary WriteReportPage(std::istream& report, const std::string& reportName, const std::string& pagePath)
{
    const ReportSeries series = ReadReportSeries(report, reportName);
    const std::string page = RenderPage(series);
    std::ofstream out(pagePath, std::ios::binary | std::ios::trunc);
    if (out) {
        out.write(page.data(), static_cast<std::streamsize>(page.size()));
        out.flush();
    }
    if (!out) {
        throw ReportPageError("cannot write the page '" + pagePath + "': " + std::strerror(errno));
    }
    return PageSummary{series.records, series.lastLineCut, !series.final.is_null()};
}

} // namespace lumo::reportPage
