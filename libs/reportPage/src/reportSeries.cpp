#include "reportSeries.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
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

class SeriesBuilder
{
public:
    explicit SeriesBuilder(ReportSeries& series)
        : series_(series)
    {
    }

    void Add(const json& record)
    {
        const std::string kind = record.value("record", "");
        const double t = Number(record, "t");
        if (std::isfinite(t) && t > series_.endT) {
            series_.endT = t;
        }
        if (kind == "start") {
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
        const std::string topic = record.value("topic", "");
        const unsigned reader = record.value("reader", 0U);
        const auto [slot, added] = readers_.try_emplace({topic, reader}, series_.readers.size());
        if (added) {
            series_.readers.push_back(ReaderSeries{topic, reader, {}, {}, json()});
        }
        return series_.readers[slot->second];
    }

    static void AddWriter(ReaderSeries& reader, const json& record, double t)
    {
        const std::string guid = record.value("writer", "");
        WriterSeries* writer = nullptr;
        for (auto& known : reader.writers) {
            writer = known.writer == guid ? &known : writer;
        }
        if (writer == nullptr) {
            writer = &reader.writers.emplace_back();
            writer->writer = guid;
        }
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
};

} // namespace

ReportSeries ReadReportSeries(std::istream& in, const std::string& name)
{
    ReportSeries series;
    SeriesBuilder builder(series);
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        const bool last = in.peek() == std::char_traits<char>::eof();
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
        if (number == 1 && (schema == record.end() || record.value("record", "") != "start")) {
            throw ReportPageError(NotAReport(name, "its first line is not a start record"));
        }
        if (schema == record.end() || !schema->is_number_integer() || *schema != REPORT_SCHEMA) {
            throw ReportPageError("'" + name + "' is a report of schema " +
                                  (schema == record.end() ? "(none)" : schema->dump()) + " on line " +
                                  std::to_string(number) + "; this lumoQuillreport reads schema " +
                                  std::to_string(REPORT_SCHEMA));
        }
        builder.Add(record);
        ++series.records;
    }
    if (number == 0) {
        throw ReportPageError(NotAReport(name, "it is empty"));
    }
    // In the order of the monitor's topic list, whichever wrote first.
    std::stable_sort(series.readers.begin(), series.readers.end(),
                     [](const ReaderSeries& a, const ReaderSeries& b) { return a.reader < b.reader; });
    return series;
}

} // namespace lumo::reportPage
