#include "reportOptions.h"

#include <cmath>
#include <cstdlib>
#include <ostream>

#include "lumo/Format.h"

namespace po = boost::program_options;

namespace quillReport {

namespace {

// An unknown condition, refused like any invalid value, with the names
// that would do.
class InvalidConditions : public po::invalid_option_value
{
public:
    explicit InvalidConditions(const std::string& value)
        : po::invalid_option_value(value)
    {
        m_error_template += "; conditions: " + ConditionNames();
    }
};

// A number of seconds out of its range, refused with the range.
class InvalidSeconds : public po::invalid_option_value
{
public:
    InvalidSeconds(const std::string& value, double min, double max)
        : po::invalid_option_value(value)
    {
        m_error_template += lumo::format("; range: {} to {} seconds", min, max);
    }
};

template <typename Bounded>
void ValidateSeconds(boost::any& target, const std::vector<std::string>& values)
{
    po::validators::check_first_occurrence(target);
    const std::string& text = po::validators::get_single_string(values);
    char* end = nullptr;
    const double value = text.empty() ? 0.0 : std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !(value >= Bounded::MIN && value <= Bounded::MAX)) {
        throw InvalidSeconds(text, Bounded::MIN, Bounded::MAX);
    }
    target = Bounded{value};
}

} // namespace

std::ostream& operator<<(std::ostream& out, const PeriodSeconds& seconds)
{
    return out << seconds.value;
}

std::ostream& operator<<(std::ostream& out, const DurationSeconds& seconds)
{
    return out << seconds.value;
}

void validate(boost::any& target, const std::vector<std::string>& values, PeriodSeconds*, int)
{
    ValidateSeconds<PeriodSeconds>(target, values);
}

void validate(boost::any& target, const std::vector<std::string>& values, DurationSeconds*, int)
{
    ValidateSeconds<DurationSeconds>(target, values);
}

void validate(boost::any& target, const std::vector<std::string>& values, ConditionList*, int)
{
    po::validators::check_first_occurrence(target);
    const std::string& text = po::validators::get_single_string(values);
    const auto conditions = ParseConditions(text);
    if (!conditions) {
        throw InvalidConditions(text);
    }
    target = ConditionList{*conditions};
}

void AddReportOptions(po::options_description& options)
{
    // clang-format off
    options.add_options()
        ("report", po::value<std::string>(),
            "Write a JSON Lines report to this file: per reader and writer stream, every --report-period and at exit")
        ("report-period", po::value<PeriodSeconds>()->default_value(PeriodSeconds{1.0}, "1"),
            "Seconds between report records")
        ("duration", po::value<DurationSeconds>(), "End the run after this many seconds, as SIGINT would")
        ("fail-on", po::value<ConditionList>(),
            "Exit status 2 when any of these happened (comma-separated): missing, duplicates, restart, "
            "middleware-loss, qos, lost, rejected, deadline, pattern, no-data")
        ("report-html", po::value<std::string>(),
            "At exit, also write the report as one self-contained HTML page to this file (needs --report)");
    // clang-format on
}

bool ReportSettings::Requested() const
{
    return path.has_value() || durationSec.has_value() || !failOn.empty() || metrics;
}

ReportSettings ReportSettingsFrom(const po::variables_map& vm)
{
    ReportSettings settings;
    if (vm.count("report") != 0) {
        settings.path = vm["report"].as<std::string>();
    }
    if (vm.count("report-html") != 0) {
        if (!settings.path) {
            throw po::error("--report-html needs --report");
        }
        settings.htmlPath = vm["report-html"].as<std::string>();
    }
    settings.periodSec = vm["report-period"].as<PeriodSeconds>().value;
    if (vm.count("duration") != 0) {
        settings.durationSec = vm["duration"].as<DurationSeconds>().value;
    }
    if (vm.count("fail-on") != 0) {
        settings.failOn = vm["fail-on"].as<ConditionList>().conditions;
    }
    settings.metrics = vm.count("metrics") != 0;
    return settings;
}

} // namespace quillReport
