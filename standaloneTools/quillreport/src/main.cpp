// lumoQuillreport: turns a lumoQuillmon report (JSON Lines) into one HTML
// page that needs no network and no other file: the run's options and
// verdict, per reader the rate, losses, latency and events on one shared
// time axis, and the per-writer totals.
//
// Logs at INFO: one line for the page written, one WARN line when the
// report's last line was cut; an ERROR line for anything that stops it.
#include <cstdint>

#include <boost/program_options.hpp>

#include "lumo/reportPage/ReportPage.h"
#include "lumo/toolsCommon/ExitStatus.h"
#include "lumo/toolsCommon/Log.h"
#include "lumo/toolsCommon/ToolMain.h"
#include "quillreportOptions.h"

namespace po = boost::program_options;
namespace tools = lumo::toolsCommon;

namespace {

constexpr const char* TOOL_NAME = "lumoQuillreport";

int RunReportTool(int argc, char** argv, log4cplus::Logger& logger)
{
    const po::options_description options = MakeQuillreportOptions();
    const po::positional_options_description positional = QuillreportPositionals();
    po::variables_map vm;
    if (!tools::ParseCommandLine(argc, argv, options, vm, TOOL_NAME, QuillreportUsageNotes(), &positional)) {
        return tools::STATUS_OK;
    }
    const ReportToolSettings settings = ReportToolSettingsFrom(vm);
    const auto page = lumo::reportPage::WriteReportPage(settings.reportPath, settings.pagePath);
    if (page.lastLineCut) {
        QUILL_LOG_TO(logger, log4cplus::WARN_LOG_LEVEL,
                     "The last line of '{}' was cut; the page shows the {} whole records before it",
                     settings.reportPath, static_cast<uint64_t>(page.records));
    }
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Wrote '{}' from {} records of '{}'", settings.pagePath,
                 static_cast<uint64_t>(page.records), settings.reportPath);
    return tools::STATUS_OK;
}

} // namespace

int main(int argc, char** argv)
{
    tools::ToolLogging logging(TOOL_NAME, log4cplus::INFO_LOG_LEVEL);
    log4cplus::Logger& logger = logging.Logger();
    return tools::RunGuarded(logger, [&] { return RunReportTool(argc, argv, logger); });
}
