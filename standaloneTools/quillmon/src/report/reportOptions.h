// The report's command-line options (--report, --report-period, --duration,
// --fail-on), added after the monitor's own, and the settings they give.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include <boost/any.hpp>
#include <boost/program_options.hpp>

#include "failOn.h"

namespace quillReport {

// A number of seconds within [MIN, MAX]: the writer's timer and the run's
// deadline are nanosecond counts, and a period that rounds to 0 would spin.
struct PeriodSeconds
{
    static constexpr double MIN = 0.001;
    static constexpr double MAX = 86400.0; // a day
    double value = 0.0;
};
struct DurationSeconds
{
    static constexpr double MIN = 0.001;
    static constexpr double MAX = 31536000.0; // 365 days
    double value = 0.0;
};

// The value of --fail-on: comma-separated condition names.
struct ConditionList
{
    std::vector<Condition> conditions;
};

std::ostream& operator<<(std::ostream& out, const PeriodSeconds& seconds);
std::ostream& operator<<(std::ostream& out, const DurationSeconds& seconds);

// Found by the option library through argument-dependent lookup.
void validate(boost::any& target, const std::vector<std::string>& values, PeriodSeconds*, int);
void validate(boost::any& target, const std::vector<std::string>& values, DurationSeconds*, int);
void validate(boost::any& target, const std::vector<std::string>& values, ConditionList*, int);

void AddReportOptions(boost::program_options::options_description& options);

struct ReportSettings
{
    std::optional<std::string> path;
    std::optional<std::string> htmlPath; // the report as a page, written at exit
    double periodSec = 1.0;
    std::optional<double> durationSec;
    std::vector<Condition> failOn;
    bool metrics = false; // --metrics (quillMetrics) reads the tallies too

    // Whether any of the options was given.
    bool Requested() const;
    // Whether the readers must keep per-writer tallies.
    bool NeedsTallies() const { return path.has_value() || !failOn.empty() || metrics; }
};

ReportSettings ReportSettingsFrom(const boost::program_options::variables_map& vm);

} // namespace quillReport
