#include "ReportSchema.h"

#include <fstream>
#include <map>
#include <regex>

#include <gtest/gtest.h>

namespace lumo::test {

namespace {

using nlohmann::json;

enum class Type
{
    Unsigned,
    Integer,
    Number,
    NumberOrNull,
    Text,
    TextOrNull,
    Bool,
    Object,
    ObjectOrNull,
    Array
};

bool Is(const json& value, Type type)
{
    switch (type) {
    case Type::Unsigned:
        return value.is_number_unsigned();
    case Type::Integer:
        return value.is_number_integer();
    case Type::Number:
        return value.is_number();
    case Type::NumberOrNull:
        return value.is_number() || value.is_null();
    case Type::Text:
        return value.is_string();
    case Type::TextOrNull:
        return value.is_string() || value.is_null();
    case Type::Bool:
        return value.is_boolean();
    case Type::Object:
        return value.is_object();
    case Type::ObjectOrNull:
        return value.is_object() || value.is_null();
    case Type::Array:
        return value.is_array();
    }
    return false;
}

using Fields = std::vector<std::pair<std::string, Type>>;

void Check(const json& object, const std::string& where, const Fields& fields, bool exact,
           std::vector<std::string>& violations)
{
    for (const auto& [name, type] : fields) {
        if (!object.contains(name)) {
            violations.push_back(where + ": no " + name);
        } else if (!Is(object[name], type)) {
            violations.push_back(where + ": " + name + " has the wrong type: " + object[name].dump());
        }
    }
    if (!exact) {
        return;
    }
    for (const auto& item : object.items()) {
        const bool known = std::any_of(fields.begin(), fields.end(),
                                       [&](const auto& f) { return f.first == item.key(); });
        if (!known) {
            violations.push_back(where + ": undocumented member " + item.key());
        }
    }
}

const Fields HEAD{{"schema", Type::Unsigned}, {"record", Type::Text}, {"time", Type::Text}, {"t", Type::Number}};

Fields With(Fields more)
{
    Fields all = HEAD;
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

const Fields OPTIONS{{"topics", Type::Array},
                     {"domain_id", Type::Unsigned},
                     {"qos_profile", Type::Text},
                     {"qos_file", Type::Text},
                     {"expected_sample_id_increment", Type::Unsigned},
                     {"payload_check", Type::Text},
                     {"report", Type::Text},
                     {"report_period_s", Type::Number},
                     {"duration_s", Type::NumberOrNull},
                     {"fail_on", Type::Array}};

const std::vector<std::string> CONDITIONS{"missing", "duplicates", "restart",  "middleware-loss", "qos",
                                          "lost",    "rejected",   "deadline", "pattern",         "no-data"};

void CheckConditions(const json& array, const std::string& where, std::vector<std::string>& violations)
{
    for (const auto& item : array) {
        if (!item.is_string() ||
            std::find(CONDITIONS.begin(), CONDITIONS.end(), item.get<std::string>()) == CONDITIONS.end()) {
            violations.push_back(where + ": not a condition: " + item.dump());
        }
    }
}

} // namespace

std::vector<std::string> SchemaViolations(const json& record)
{
    std::vector<std::string> violations;
    if (!record.is_object()) {
        return {"not an object"};
    }
    Check(record, "record", HEAD, false, violations);
    if (!violations.empty()) {
        return violations;
    }
    if (record["schema"] != 1) {
        violations.push_back("schema is not 1");
    }
    static const std::regex isoTime(R"(^\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z$)");
    if (!std::regex_match(record["time"].get<std::string>(), isoTime)) {
        violations.push_back("time is not ISO 8601 UTC: " + record["time"].dump());
    }
    if (record["t"].get<double>() < 0) {
        violations.push_back("t is negative");
    }
    const std::string kind = record["record"];
    if (kind == "start") {
        Check(record, kind, With({{"options", Type::Object}, {"fast_dds", Type::Text}}), true, violations);
        if (record.contains("options") && record["options"].is_object()) {
            Check(record["options"], "start.options", OPTIONS, true, violations);
        }
    } else if (kind == "event") {
        // The event's own fields depend on its kind; the head is fixed.
        Check(record, kind, With({{"topic", Type::Text}, {"reader", Type::Unsigned}, {"event", Type::Text}}), false,
              violations);
        static const std::map<std::string, Fields> EVENT_FIELDS{
            {"subscription_matched",
             {{"writer", Type::Text},
              {"current_count", Type::Integer},
              {"current_count_change", Type::Integer},
              {"total_count", Type::Integer},
              {"total_count_change", Type::Integer}}},
            {"subscription_unmatched",
             {{"writer", Type::Text},
              {"current_count", Type::Integer},
              {"current_count_change", Type::Integer},
              {"total_count", Type::Integer},
              {"total_count_change", Type::Integer}}},
            {"liveliness_changed",
             {{"writer", Type::Text},
              {"alive_count", Type::Integer},
              {"not_alive_count", Type::Integer},
              {"alive_count_change", Type::Integer},
              {"not_alive_count_change", Type::Integer}}},
            {"requested_deadline_missed", {{"total_count", Type::Integer}, {"total_count_change", Type::Integer}}},
            {"sample_lost", {{"total_count", Type::Integer}, {"total_count_change", Type::Integer}}},
            {"sample_rejected",
             {{"last_reason", Type::Text}, {"total_count", Type::Unsigned}, {"total_count_change", Type::Unsigned}}},
            {"requested_incompatible_qos",
             {{"last_policy", Type::Text},
              {"policies", Type::Object},
              {"total_count", Type::Integer},
              {"total_count_change", Type::Integer}}},
        };
        const auto fields = record.contains("event") && record["event"].is_string()
                                ? EVENT_FIELDS.find(record["event"].get<std::string>())
                                : EVENT_FIELDS.end();
        if (fields == EVENT_FIELDS.end()) {
            violations.push_back("event: unknown event " + record.value("event", json()).dump());
        } else {
            Fields all = With({{"topic", Type::Text}, {"reader", Type::Unsigned}, {"event", Type::Text}});
            all.insert(all.end(), fields->second.begin(), fields->second.end());
            Check(record, "event " + fields->first, all, true, violations);
        }
    } else if (kind == "writer") {
        Check(record, kind,
              With({{"topic", Type::Text},
                    {"reader", Type::Unsigned},
                    {"writer", Type::Text},
                    {"restart_of", Type::TextOrNull},
                    {"presence", Type::Text},
                    {"samples", Type::Unsigned},
                    {"payload_bytes", Type::Unsigned},
                    {"first_id", Type::Unsigned},
                    {"last_id", Type::Unsigned},
                    {"last_sequence", Type::Unsigned},
                    {"missing_ids", Type::Unsigned},
                    {"gaps", Type::Unsigned},
                    {"duplicates", Type::Unsigned},
                    {"backward_jumps", Type::Unsigned},
                    {"middleware_lost", Type::Unsigned},
                    {"publisher_skipped", Type::Unsigned},
                    {"undecodable", Type::Unsigned},
                    {"period_s", Type::Number},
                    {"period_samples", Type::Unsigned},
                    {"rate_hz", Type::Number},
                    {"latency_ns", Type::ObjectOrNull},
                    {"latency_period", Type::ObjectOrNull},
                    {"payload_check", Type::Object},
                    {"final", Type::Bool}}),
              true, violations);
        if (violations.empty() && record["latency_ns"].is_object()) {
            Check(record["latency_ns"], "writer.latency_ns",
                  {{"count", Type::Unsigned},
                   {"negative", Type::Unsigned},
                   {"min", Type::Integer},
                   {"p50", Type::Unsigned},
                   {"p99", Type::Unsigned},
                   {"max", Type::Integer},
                   {"basis", Type::Text}},
                  true, violations);
            const auto& l = record["latency_ns"];
            if (violations.empty() && !(l["min"].get<int64_t>() <= l["max"].get<int64_t>() &&
                                        l["p50"].get<uint64_t>() <= l["p99"].get<uint64_t>())) {
                violations.push_back("writer.latency_ns out of order: " + l.dump());
            }
        }
        if (violations.empty() && record["latency_period"].is_object()) {
            const auto& p = record["latency_period"];
            Check(p, "writer.latency_period",
                  {{"count", Type::Unsigned},
                   {"min", Type::Unsigned},
                   {"p50", Type::Unsigned},
                   {"p99", Type::Unsigned},
                   {"max", Type::Unsigned}},
                  true, violations);
            // A period's samples are some of the stream's: within its extremes.
            const auto& l = record["latency_ns"];
            if (violations.empty() && !(l.is_object() && p["count"].get<uint64_t>() <= l["count"].get<uint64_t>() &&
                                        l["min"].get<int64_t>() <= p["min"].get<int64_t>() &&
                                        p["min"].get<uint64_t>() <= p["p50"].get<uint64_t>() &&
                                        p["p50"].get<uint64_t>() <= p["p99"].get<uint64_t>() &&
                                        p["p99"].get<uint64_t>() <= p["max"].get<uint64_t>() &&
                                        p["max"].get<int64_t>() <= l["max"].get<int64_t>())) {
                violations.push_back("writer.latency_period out of order or outside latency_ns: " + p.dump());
            }
        }
        if (violations.empty()) {
            Check(record["payload_check"], "writer.payload_check",
                  {{"kind", Type::Text}, {"passed", Type::Unsigned}, {"failed", Type::Unsigned}}, true, violations);
            static const std::vector<std::string> PRESENCE{"alive", "not_alive", "unmatched"};
            if (std::find(PRESENCE.begin(), PRESENCE.end(), record["presence"].get<std::string>()) == PRESENCE.end()) {
                violations.push_back("writer: presence " + record["presence"].dump());
            }
            static const std::regex guid(R"(^([0-9a-f]{2}\.){11}[0-9a-f]{2}\|([0-9a-f]{1,2}\.){3}[0-9a-f]{1,2}$)");
            if (!std::regex_match(record["writer"].get<std::string>(), guid)) {
                violations.push_back("writer: not a GUID " + record["writer"].dump());
            }
        }
    } else if (kind == "reader") {
        Check(record, kind,
              With({{"topic", Type::Text},
                    {"reader", Type::Unsigned},
                    {"samples", Type::Unsigned},
                    {"writers", Type::Unsigned},
                    {"restarts", Type::Unsigned},
                    {"untracked_samples", Type::Unsigned},
                    {"unlisted_writers", Type::Unsigned},
                    {"period_s", Type::Number},
                    {"period_samples", Type::Unsigned},
                    {"rate_hz", Type::Number},
                    {"events", Type::Object},
                    {"final", Type::Bool}}),
              true, violations);
        if (violations.empty()) {
            Check(record["events"], "reader.events",
                  {{"matched", Type::Unsigned},
                   {"unmatched", Type::Unsigned},
                   {"deadlines_missed", Type::Unsigned},
                   {"incompatible_qos", Type::Unsigned},
                   {"samples_lost", Type::Unsigned},
                   {"samples_rejected", Type::Unsigned},
                   {"liveliness_changes", Type::Unsigned},
                   {"not_recorded", Type::Unsigned}},
                  true, violations);
        }
    } else if (kind == "final") {
        Check(record, kind,
              With({{"options", Type::Object},
                    {"qos_profile", Type::Text},
                    {"fast_dds", Type::Text},
                    {"totals", Type::Object},
                    {"verdict", Type::Object}}),
              true, violations);
        if (violations.empty()) {
            Check(record["options"], "final.options", OPTIONS, true, violations);
            Fields totals;
            for (const char* name : {"readers", "writers", "samples", "missing_ids", "duplicates", "backward_jumps",
                                     "restarts", "middleware_lost", "publisher_skipped", "checks_failed",
                                     "deadlines_missed", "incompatible_qos", "samples_lost", "samples_rejected"}) {
                totals.emplace_back(name, Type::Unsigned);
            }
            Check(record["totals"], "final.totals", totals, true, violations);
            Check(record["verdict"], "final.verdict",
                  {{"result", Type::Text},
                   {"fail_on", Type::Array},
                   {"happened", Type::Array},
                   {"failed", Type::Array},
                   {"exit_status", Type::Integer}},
                  true, violations);
        }
        if (violations.empty()) {
            const auto& verdict = record["verdict"];
            CheckConditions(verdict["fail_on"], "final.verdict.fail_on", violations);
            CheckConditions(verdict["happened"], "final.verdict.happened", violations);
            CheckConditions(verdict["failed"], "final.verdict.failed", violations);
            const bool failed = !verdict["failed"].empty();
            if (verdict["result"] != (failed ? "fail" : "pass")) {
                violations.push_back("final.verdict: result does not follow failed");
            }
        }
    } else {
        violations.push_back("unknown record kind " + kind);
    }
    return violations;
}

std::vector<json> ReadReport(const std::string& path)
{
    std::ifstream file(path);
    if (!file) {
        ADD_FAILURE() << "no report at " << path;
        return {};
    }
    std::vector<json> records;
    std::string line;
    size_t number = 0;
    while (std::getline(file, line)) {
        ++number;
        json record;
        try {
            record = json::parse(line);
        } catch (const json::exception& e) {
            ADD_FAILURE() << path << ":" << number << " is not JSON (" << e.what() << "): " << line;
            continue;
        }
        const auto violations = SchemaViolations(record);
        for (const auto& violation : violations) {
            ADD_FAILURE() << path << ":" << number << ": " << violation << "\n  " << line;
        }
        if (violations.empty()) {
            records.push_back(std::move(record));
        }
    }
    return records;
}

std::vector<json> RecordsOf(const std::vector<json>& records, const std::string& kind, bool finalOnly)
{
    std::vector<json> found;
    for (const auto& record : records) {
        if (record["record"] == kind && (!finalOnly || record.value("final", false))) {
            found.push_back(record);
        }
    }
    return found;
}

} // namespace lumo::test
