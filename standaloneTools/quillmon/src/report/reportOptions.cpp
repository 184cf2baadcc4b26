#include "reportOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string_view>

#include <sys/stat.h>

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
        m_error_template += "; conditions: " + quillModel::ConditionNames();
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

// Digits, then optionally a point and digits: no sign, space, exponent,
// hexadecimal or "inf", all of which strtod would take.
bool IsPlainDecimal(std::string_view text)
{
    const auto digits = [](std::string_view part) {
        return !part.empty() && std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    const size_t point = text.find('.');
    return point == std::string_view::npos ? digits(text)
                                           : digits(text.substr(0, point)) && digits(text.substr(point + 1));
}

template <typename Bounded>
void ValidateSeconds(boost::any& target, const std::vector<std::string>& values)
{
    po::validators::check_first_occurrence(target);
    const std::string& text = po::validators::get_single_string(values);
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    const bool plain = IsPlainDecimal(text) && parsed.ec == std::errc() && parsed.ptr == end;
    if (!plain || !(value >= Bounded::MIN && value <= Bounded::MAX)) {
        throw InvalidSeconds(text, Bounded::MIN, Bounded::MAX);
    }
    target = Bounded{value};
}

// Whether two paths name one file: the same file once both exist, else the
// same path once resolved.
bool SameFile(const std::string& a, const std::string& b)
{
    namespace fs = std::filesystem;
    // Not fs::equivalent: it refuses to compare two pipes.
    struct stat fileA
    {
    };
    struct stat fileB
    {
    };
    if (stat(a.c_str(), &fileA) == 0 && stat(b.c_str(), &fileB) == 0) {
        return fileA.st_dev == fileB.st_dev && fileA.st_ino == fileB.st_ino;
    }
    // Absolute first: a relative path that does not exist stays relative,
    // so "./x" and "x" would differ.
    std::error_code error;
    const fs::path resolvedA = fs::weakly_canonical(fs::absolute(a), error);
    if (error) {
        return a == b;
    }
    const fs::path resolvedB = fs::weakly_canonical(fs::absolute(b), error);
    return error ? a == b : resolvedA == resolvedB;
}

// The page replaces its file at exit: it must not be the report itself, nor
// a pipe, FIFO or device, which nobody may ever read.
void CheckPagePath(const std::string& reportPath, const std::string& pagePath)
{
    namespace fs = std::filesystem;
    if (SameFile(reportPath, pagePath)) {
        throw po::error("--report-html '" + pagePath + "' is the --report file; give the page a file of its own");
    }
    std::error_code error;
    const fs::file_status page = fs::status(pagePath, error);
    if (fs::exists(page) && !fs::is_regular_file(page)) {
        throw po::error("--report-html '" + pagePath + "' is not a regular file; the page needs one");
    }
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
    const auto conditions = quillModel::ParseConditions(text);
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

void CheckReportSettings(const ReportSettings& settings)
{
    if (!settings.htmlPath) {
        return;
    }
    if (!settings.path) {
        throw po::error("--report-html needs --report");
    }
    CheckPagePath(*settings.path, *settings.htmlPath);
}

} // namespace quillReport
