#include "reportSeries.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "lumo/reportPage/ReportPage.h"

using nlohmann::json;

namespace lumo::reportPage {

namespace {

constexpr double NS_PER_US = 1000.0;

double Number(const json& record, const char* key)
{
    const auto found = record.find(key);
    return found != record.end() && found->is_number() ? found->get<double>()
                                                       : std::numeric_limits<double>::quiet_NaN();
}

// The p50 and p99 of a latency object, in microseconds; NaN when absent.
std::pair<double, double> Percentiles(const json& record, const char* key)
{
    const auto found = record.find(key);
    if (found == record.end() || !found->is_object()) {
        const double none = std::numeric_limits<double>::quiet_NaN();
        return {none, none};
    }
    return {Number(*found, "p50") / NS_PER_US, Number(*found, "p99") / NS_PER_US};
}

std::string NotAReport(const std::string& name, const std::string& why)
{
    return "'" + name + "' is not a lumoQuillmon report: " + why;
}

// A field the page needs that holds another JSON type; the reader adds the
// line number.
class FieldTypeError : public std::runtime_error
{
public:
    FieldTypeError(const char* key, const char* expected, const json& found)
        : std::runtime_error(std::string("\"") + key + "\" is of type " + found.type_name() + ", not " + expected)
    {
    }
};

// The string at `key`; empty when absent.
std::string Text(const json& record, const char* key)
{
    const auto found = record.find(key);
    if (found == record.end()) {
        return {};
    }
    if (!found->is_string()) {
        throw FieldTypeError(key, "a string", *found);
    }
    return found->get<std::string>();
}

// The reader index at `key`; 0 when absent.
unsigned Index(const json& record, const char* key)
{
    const auto found = record.find(key);
    if (found == record.end()) {
        return 0;
    }
    if (!found->is_number_unsigned() || found->get<uint64_t>() > std::numeric_limits<unsigned>::max()) {
        throw FieldTypeError(key, "an unsigned integer", *found);
    }
    return found->get<unsigned>();
}

// Whether brackets outside strings nest deeper than `limit` in `line`.
bool NestedDeeperThan(const std::string& line, std::size_t limit)
{
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : line) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) {
                return true;
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

double Count(const json& record, const char* key)
{
    const double value = Number(record, key);
    return std::isfinite(value) ? value : 0.0;
}

// What ranks a writer among those of its reader, greatest first.
std::tuple<double, bool, double> Rank(const WriterSeries& writer, const std::set<std::string>& restarted)
{
    const json& latest = writer.latest;
    double faults = 0.0;
    for (const char* key : {"missing_ids", "middleware_lost", "duplicates", "backward_jumps", "undecodable"}) {
        faults += Count(latest, key);
    }
    const auto check = latest.find("payload_check");
    if (check != latest.end() && check->is_object()) {
        faults += Count(*check, "failed");
    }
    const auto restartOf = latest.find("restart_of");
    const bool restart = (restartOf != latest.end() && restartOf->is_string()) || restarted.count(writer.writer) > 0;
    return {faults, restart, Count(latest, "samples")};
}

// Over `folded`, period by period (the records of one period share their
// `t`): the mean rate of those there, so that it compares with a drawn
// writer's; cumulative counts summed, those of writers gone included;
// latency the worst.
WriterSeries FoldedSeries(const std::vector<const WriterSeries*>& folded)
{
    struct Point
    {
        double t;
        std::size_t writer;
        std::size_t at;
    };
    std::vector<Point> points;
    for (std::size_t k = 0; k < folded.size(); ++k) {
        for (std::size_t at = 0; at < folded[k]->t.size(); ++at) {
            if (std::isfinite(folded[k]->t[at])) {
                points.push_back(Point{folded[k]->t[at], k, at});
            }
        }
    }
    std::stable_sort(points.begin(), points.end(), [](const Point& a, const Point& b) { return a.t < b.t; });
    WriterSeries other;
    other.writer = "other writers";
    const double none = std::numeric_limits<double>::quiet_NaN();
    // Each writer's last cumulative counts, so that one that left still counts.
    std::vector<std::array<double, 3>> last(folded.size(), {0.0, 0.0, 0.0});
    std::array<double, 3> sums{0.0, 0.0, 0.0};
    for (std::size_t from = 0; from < points.size();) {
        double rate = none;
        double rates = 0.0;
        double p50 = none;
        double p99 = none;
        std::size_t to = from;
        for (; to < points.size() && points[to].t == points[from].t; ++to) {
            const WriterSeries& writer = *folded[points[to].writer];
            const std::size_t at = points[to].at;
            const auto add = [](double& into, double value) { into = std::isnan(into) ? value : into + value; };
            const auto worst = [](double& into, double value) {
                into = std::isnan(into) ? value : std::max(into, value);
            };
            if (std::isfinite(writer.rateHz[at])) {
                add(rate, writer.rateHz[at]);
                ++rates;
            }
            if (std::isfinite(writer.p50Us[at])) {
                worst(p50, writer.p50Us[at]);
            }
            if (std::isfinite(writer.p99Us[at])) {
                worst(p99, writer.p99Us[at]);
            }
            const std::array<double, 3> counts{writer.missingIds[at], writer.middlewareLost[at],
                                               writer.publisherSkipped[at]};
            for (std::size_t c = 0; c < counts.size(); ++c) {
                if (std::isfinite(counts[c])) {
                    sums[c] += counts[c] - last[points[to].writer][c];
                    last[points[to].writer][c] = counts[c];
                }
            }
        }
        other.t.push_back(points[from].t);
        other.rateHz.push_back(rate / rates);
        other.missingIds.push_back(sums[0]);
        other.middlewareLost.push_back(sums[1]);
        other.publisherSkipped.push_back(sums[2]);
        other.p50Us.push_back(p50);
        other.p99Us.push_back(p99);
        from = to;
    }
    for (const WriterSeries* writer : folded) {
        other.periodLatency = other.periodLatency || writer->periodLatency;
    }
    return other;
}

void FoldWriters(ReaderSeries& reader)
{
    std::vector<WriterSeries>& writers = reader.writers;
    if (writers.size() <= DRAWN_WRITERS + 1) {
        return;
    }
    std::set<std::string> restarted;
    for (const auto& writer : writers) {
        const auto restartOf = writer.latest.find("restart_of");
        if (restartOf != writer.latest.end() && restartOf->is_string()) {
            restarted.insert(restartOf->get<std::string>());
        }
    }
    std::vector<std::tuple<double, bool, double>> ranks;
    ranks.reserve(writers.size());
    for (const auto& writer : writers) {
        ranks.push_back(Rank(writer, restarted));
    }
    std::vector<std::size_t> order(writers.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ranks[a] > ranks[b]; });
    std::vector<const WriterSeries*> folded;
    for (std::size_t i = DRAWN_WRITERS; i < order.size(); ++i) {
        writers[order[i]].drawn = false;
    }
    for (const auto& writer : writers) {
        if (!writer.drawn) {
            folded.push_back(&writer);
        }
    }
    reader.other = FoldedSeries(folded);
    reader.folded = folded.size();
}

class SeriesBuilder
{
public:
    explicit SeriesBuilder(ReportSeries& series)
        : series_(series)
    {
    }

    void Add(const json& record)
    {
        const std::string kind = Text(record, "record");
        const double t = Number(record, "t");
        if (std::isfinite(t) && t > series_.endT) {
            series_.endT = t;
        }
        if (kind == "start") {
            Text(record, "time"); // the page's title
            series_.start = record;
        } else if (kind == "final") {
            series_.final = record;
        } else if (kind == "writer") {
            AddWriter(ReaderOf(record), record, t);
        } else if (kind == "reader") {
            ReaderOf(record).latest = record;
        } else if (kind == "event" && record.contains("topic")) {
            json event = record;
            for (const char* common : {"schema", "record", "topic", "reader"}) {
                event.erase(common);
            }
            ReaderOf(record).events.push_back(std::move(event));
        }
        // Record kinds added to the layout later, and events of no reader
        // (participants kept away), are left out of the page.
    }

private:
    ReaderSeries& ReaderOf(const json& record)
    {
        const std::string topic = Text(record, "topic");
        const unsigned reader = Index(record, "reader");
        const auto [slot, added] = readers_.try_emplace({topic, reader}, series_.readers.size());
        if (added) {
            ReaderSeries& made = series_.readers.emplace_back();
            made.topic = topic;
            made.reader = reader;
        }
        return series_.readers[slot->second];
    }

    void AddWriter(ReaderSeries& reader, const json& record, double t)
    {
        const std::string guid = Text(record, "writer");
        const auto [slot, added] = writers_.try_emplace({&reader - series_.readers.data(), guid},
                                                        reader.writers.size());
        if (added) {
            reader.writers.emplace_back().writer = guid;
        }
        WriterSeries* writer = &reader.writers[slot->second];
        // Per-period latency where the record has it; the stream's
        // cumulative figures otherwise.
        const bool perPeriod = record.contains("latency_period");
        const auto [p50, p99] = Percentiles(record, perPeriod ? "latency_period" : "latency_ns");
        writer->periodLatency = writer->periodLatency || perPeriod;
        writer->t.push_back(t);
        writer->rateHz.push_back(Number(record, "rate_hz"));
        writer->missingIds.push_back(Number(record, "missing_ids"));
        writer->middlewareLost.push_back(Number(record, "middleware_lost"));
        writer->publisherSkipped.push_back(Number(record, "publisher_skipped"));
        writer->p50Us.push_back(p50);
        writer->p99Us.push_back(p99);
        writer->latest = record;
    }

    ReportSeries& series_;
    std::map<std::pair<std::string, unsigned>, std::size_t> readers_;
    std::map<std::pair<std::ptrdiff_t, std::string>, std::size_t> writers_; // (reader slot, GUID) -> writer
};

} // namespace

std::string BoundText(std::uint64_t bytes)
{
    constexpr unsigned GIB = 30;
    constexpr unsigned MIB = 20;
    if (bytes != 0 && bytes % (std::uint64_t{1} << GIB) == 0) {
        return std::to_string(bytes >> GIB) + " GiB";
    }
    if (bytes != 0 && bytes % (std::uint64_t{1} << MIB) == 0) {
        return std::to_string(bytes >> MIB) + " MiB";
    }
    return std::to_string(bytes) + " bytes";
}

ReportSeries ReadReportSeries(std::istream& in, const std::string& name, const ReadBounds& bounds)
{
    ReportSeries series;
    SeriesBuilder builder(series);
    std::string line;
    std::size_t number = 0;
    std::uint64_t read = 0;
    // Line by line, never more than a bound: a device or a file without
    // newlines would otherwise be read whole into one line.
    std::streambuf& buffer = *in.rdbuf();
    using Traits = std::char_traits<char>;
    while (buffer.sgetc() != Traits::eof()) {
        ++number;
        line.clear();
        int c = buffer.sbumpc();
        for (; c != Traits::eof() && c != '\n'; c = buffer.sbumpc()) {
            if (line.size() == bounds.lineBytes) {
                throw ReportPageError(NotAReport(name, "line " + std::to_string(number) + " is longer than " +
                                                           BoundText(bounds.lineBytes)));
            }
            line.push_back(Traits::to_char_type(c));
        }
        read += line.size() + (c == '\n' ? 1 : 0);
        if (read > bounds.reportBytes) {
            throw ReportPageError("'" + name + "' is larger than the " + BoundText(bounds.reportBytes) +
                                  " a page is made from (line " + std::to_string(number) + " goes past it)");
        }
        const bool last = buffer.sgetc() == Traits::eof();
        if (NestedDeeperThan(line, MAX_RECORD_DEPTH)) {
            throw ReportPageError(NotAReport(name, "line " + std::to_string(number) + " is nested deeper than " +
                                                       std::to_string(MAX_RECORD_DEPTH) + " levels"));
        }
        json record = json::parse(line, nullptr, false);
        if (!record.is_object()) {
            if (number == 1) {
                throw ReportPageError(
                    NotAReport(name, line.empty() && last ? "it is empty" : "its first line is not a start record"));
            }
            if (!last) {
                throw ReportPageError(NotAReport(name, "line " + std::to_string(number) + " is not a JSON record"));
            }
            // A monitor killed while writing leaves its last record cut.
            series.lastLineCut = !line.empty();
            break;
        }
        const auto schema = record.find("schema");
        const auto kind = record.find("record");
        if (number == 1 && (schema == record.end() || kind == record.end() || *kind != "start")) {
            throw ReportPageError(NotAReport(name, "its first line is not a start record"));
        }
        if (schema == record.end() || !schema->is_number_integer() || *schema != REPORT_SCHEMA) {
            throw ReportPageError("'" + name + "' is a report of schema " +
                                  (schema == record.end() ? "(none)" : schema->dump()) + " on line " +
                                  std::to_string(number) + "; this lumoQuillreport reads schema " +
                                  std::to_string(REPORT_SCHEMA));
        }
        try {
            builder.Add(record);
        } catch (const FieldTypeError& e) {
            throw ReportPageError(NotAReport(name, "line " + std::to_string(number) + ": " + e.what()));
        }
        ++series.records;
    }
    if (number == 0) {
        throw ReportPageError(NotAReport(name, "it is empty"));
    }
    // In the order of the monitor's topic list, whichever wrote first.
    std::stable_sort(series.readers.begin(), series.readers.end(),
                     [](const ReaderSeries& a, const ReaderSeries& b) { return a.reader < b.reader; });
    for (auto& reader : series.readers) {
        FoldWriters(reader);
    }
    return series;
}

} // namespace lumo::reportPage
