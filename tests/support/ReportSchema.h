// The monitor's JSON Lines report as the tests read it: every line parsed
// and checked against the report's JSON Schema (docs/report.schema.json).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumo::test {

// Every line of the report file, parsed. A line that is not JSON, and a file
// that breaks the report's JSON Schema (docs/report.schema.json, checked by
// Debian's python3-jsonschema), is a test failure.
std::vector<nlohmann::json> ReadReport(const std::string& path);

// The records of one kind ("writer", "final", ...), optionally only the
// final ones of a kind that has a "final" member.
std::vector<nlohmann::json> RecordsOf(const std::vector<nlohmann::json>& records, const std::string& kind,
                                      bool finalOnly = false);

} // namespace lumo::test
