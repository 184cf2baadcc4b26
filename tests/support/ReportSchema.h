// The monitor's JSON Lines report as the tests read it: every line parsed
// and checked against the record schema (version 1) that README.md
// documents.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace lumo::test {

// What is wrong with one record ("writer: missing_ids is not an unsigned
// integer", ...); empty when it follows the schema.
std::vector<std::string> SchemaViolations(const nlohmann::json& record);

// Every line of the report file, parsed. A line that is not JSON or breaks
// the schema is a test failure (ADD_FAILURE) and is left out.
std::vector<nlohmann::json> ReadReport(const std::string& path);

// The records of one kind ("writer", "final", ...), optionally only the
// final ones of a kind that has a "final" member.
std::vector<nlohmann::json> RecordsOf(const std::vector<nlohmann::json>& records, const std::string& kind,
                                      bool finalOnly = false);

} // namespace lumo::test
