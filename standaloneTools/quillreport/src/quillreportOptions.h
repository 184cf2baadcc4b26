// Command line of lumoQuillreport: the report to read and the page to write.
#pragma once

#include <string>

#include <boost/program_options.hpp>

struct ReportToolSettings
{
    std::string reportPath;
    std::string pagePath;
};

// The option table, in usage order.
boost::program_options::options_description MakeQuillreportOptions();

// The report file may also be given without its option name.
boost::program_options::positional_options_description QuillreportPositionals();

// What the usage prints after the option table: the exit statuses.
const char* QuillreportUsageNotes();

ReportToolSettings ReportToolSettingsFrom(const boost::program_options::variables_map& vm);
