// The report's command-line options (--report, --report-period, --duration,
// --fail-on, --report-html), added after the monitor's own, their value
// types, and the report's part of the settings. --duration and --fail-on
// give the model's part (quillModel::RunSettings); quillmonOptions reads them.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include <boost/any.hpp>
#include <boost/program_options.hpp>

#include "model/failOn.h"
#include "reportSettings.h"

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
    std::vector<quillModel::Condition> conditions;
};

std::ostream& operator<<(std::ostream& out, const PeriodSeconds& seconds);
std::ostream& operator<<(std::ostream& out, const DurationSeconds& seconds);

// Found by the option library through argument-dependent lookup.
void validate(boost::any& target, const std::vector<std::string>& values, PeriodSeconds*, int);
void validate(boost::any& target, const std::vector<std::string>& values, DurationSeconds*, int);
void validate(boost::any& target, const std::vector<std::string>& values, ConditionList*, int);

void AddReportOptions(boost::program_options::options_description& options);

// The page replaces its file at exit: refused (a program_options error)
// without a report, when it is the report itself, or not a regular file.
void CheckReportSettings(const ReportSettings& settings);

} // namespace quillReport
