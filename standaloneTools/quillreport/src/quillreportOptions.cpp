#include "quillreportOptions.h"

#include "lumo/toolsCommon/CommonOptions.h"

namespace po = boost::program_options;

po::options_description MakeQuillreportOptions()
{
    po::options_description options("lumoQuillreport Usage: lumoQuillreport REPORT.jsonl -o REPORT.html");
    lumo::toolsCommon::AddHelpOption(options);
    lumo::toolsCommon::AddVersionOption(options);
    // clang-format off
    options.add_options()
        ("report", po::value<std::string>()->required(), "The lumoQuillmon report (JSON Lines) to read")
        ("output,o", po::value<std::string>()->required(),
            "The HTML page to write: one file, viewable without network");
    // clang-format on
    return options;
}

po::positional_options_description QuillreportPositionals()
{
    po::positional_options_description positional;
    positional.add("report", 1);
    return positional;
}

const char* QuillreportUsageNotes()
{
    return "Exit status:\n"
           "  0  the page was written (from the whole records of a report whose last line was cut, too)\n"
           "  1  an error (\"ERROR: ...\"): bad command line, a file that is not a lumoQuillmon report or\n"
           "     has another schema, a report or page that cannot be read or written, a page path that is\n"
           "     the report itself\n";
}

ReportToolSettings ReportToolSettingsFrom(const po::variables_map& vm)
{
    return ReportToolSettings{vm["report"].as<std::string>(), vm["output"].as<std::string>()};
}
