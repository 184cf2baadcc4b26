// The report's part of the settings: where the records go, how often, and
// the page made of them at exit.
#pragma once

#include <optional>
#include <string>

namespace quillReport {

struct ReportSettings
{
    std::optional<std::string> path;
    std::optional<std::string> htmlPath; // the report as a page, written at exit
    double periodSec = 1.0;
};

} // namespace quillReport
