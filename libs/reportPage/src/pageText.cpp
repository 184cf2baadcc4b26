#include "pageText.h"

#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

using nlohmann::json;

namespace lumo::reportPage {

namespace {

// Integral values as integers ("12", not "12.0"), others rounded to `step`,
// missing ones as null: the 1-hour page of 15 topics stays a few megabytes.
json Compact(double value, double step)
{
    if (!std::isfinite(value)) {
        return nullptr;
    }
    constexpr double EXACT = 9007199254740992.0; // 2^53
    const double rounded = std::round(value / step) * step;
    if (std::abs(rounded) < EXACT && rounded == std::floor(rounded)) {
        return static_cast<int64_t>(rounded);
    }
    return rounded;
}

json Column(const std::vector<double>& values, double step)
{
    json column = json::array();
    column.get_ref<json::array_t&>().reserve(values.size());
    for (const double value : values) {
        column.push_back(Compact(value, step));
    }
    return column;
}

// `record`'s fields named in `keys`.
json Pick(const json& record, const std::vector<const char*>& keys)
{
    json picked = json::object();
    for (const char* key : keys) {
        const auto found = record.find(key);
        if (found != record.end()) {
            picked[key] = *found;
        }
    }
    return picked;
}

// What the totals table shows of a writer's last record: a reader of
// thousands of writers gives a page of a few megabytes.
json TableFields(const json& latest)
{
    if (!latest.is_object()) {
        return latest;
    }
    json fields = Pick(latest, {"writer", "restart_of", "presence", "samples", "payload_bytes", "first_id", "last_id",
                                "missing_ids", "gaps", "duplicates", "backward_jumps", "middleware_lost",
                                "publisher_skipped", "undecodable", "final"});
    // Vectors, not nested initializer lists: an inner list's array would end
    // with the statement that made it.
    static const std::vector<std::pair<const char*, std::vector<const char*>>> PARTS{{"latency_ns",
                                                                                      {"p50", "p99", "max"}},
                                                                                     {"payload_check",
                                                                                      {"passed", "failed"}}};
    for (const auto& [key, parts] : PARTS) {
        const auto found = latest.find(key);
        if (found != latest.end()) {
            fields[key] = found->is_object() ? Pick(*found, parts) : *found;
        }
    }
    return fields;
}

// A writer's series; a folded writer only has its row of the totals table.
json WriterData(const WriterSeries& writer)
{
    if (!writer.drawn) {
        return json{{"writer", writer.writer}, {"latest", TableFields(writer.latest)}};
    }
    constexpr double MILLISECOND = 0.001;
    constexpr double CENTI = 0.01;
    constexpr double TENTH = 0.1;
    constexpr double ONE = 1.0;
    return json{{"writer", writer.writer},
                {"periodLatency", writer.periodLatency},
                {"latest", TableFields(writer.latest)},
                {"t", Column(writer.t, MILLISECOND)},
                {"rate", Column(writer.rateHz, CENTI)},
                {"missing", Column(writer.missingIds, ONE)},
                {"middleware", Column(writer.middlewareLost, ONE)},
                {"skipped", Column(writer.publisherSkipped, ONE)},
                {"p50", Column(writer.p50Us, TENTH)},
                {"p99", Column(writer.p99Us, TENTH)}};
}

// Replaces each marker of `markers` once, in order, in a single pass over
// the template, so that nothing substituted is searched again.
std::string Fill(const std::string& page, const std::vector<std::pair<std::string, std::string>>& markers)
{
    std::string out;
    std::size_t from = 0;
    for (const auto& [marker, text] : markers) {
        const std::size_t at = page.find(marker, from);
        if (at == std::string::npos) {
            throw std::logic_error("the page template lacks " + marker);
        }
        out.append(page, from, at - from);
        out += text;
        from = at + marker.size();
    }
    out.append(page, from, std::string::npos);
    return out;
}

} // namespace

std::string EscapeHtml(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string PageData(const ReportSeries& series)
{
    json readers = json::array();
    for (const auto& reader : series.readers) {
        json writers = json::array();
        for (const auto& writer : reader.writers) {
            writers.push_back(WriterData(writer));
        }
        json other = nullptr;
        if (reader.folded > 0) {
            other = WriterData(reader.other);
            other["count"] = reader.folded;
        }
        readers.push_back(json{{"topic", reader.topic},
                               {"reader", reader.reader},
                               {"latest", reader.latest},
                               {"events", reader.events},
                               {"writers", std::move(writers)},
                               {"other", std::move(other)}});
    }
    const json data{{"start", series.start},
                    {"final", series.final},
                    {"endT", series.endT},
                    {"records", series.records},
                    {"lastLineCut", series.lastLineCut},
                    {"readers", std::move(readers)}};
    const std::string text = data.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string safe;
    safe.reserve(text.size());
    // In JSON these characters occur only inside strings, where the escape
    // means the same character.
    for (const char c : text) {
        switch (c) {
        case '<':
            safe += "\\u003c";
            break;
        case '>':
            safe += "\\u003e";
            break;
        case '&':
            safe += "\\u0026";
            break;
        default:
            safe += c;
        }
    }
    return safe;
}

std::string RenderPage(const ReportSeries& series)
{
    const std::string started = series.start.value("time", "");
    return Fill(PageTemplate(), {{"@TITLE@", EscapeHtml("lumoQuillmon report " + started)},
                                 {"@STYLE@", PageStyle()},
                                 {"@DATA@", PageData(series)},
                                 {"@LIBRARY@", ChartLibrary()},
                                 {"@SCRIPT@", PageScript()},
                                 {"@LICENCE@", EscapeHtml(ChartLibraryLicence())}});
}

} // namespace lumo::reportPage
