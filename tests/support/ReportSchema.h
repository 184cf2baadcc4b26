// The monitor's JSON Lines report as the tests read it: every line parsed
// and checked against the report's JSON Schema (docs/report.schema.json).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
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

// Waits until `done` holds for the records of the report at `path` read so
// far (a line still being written left out); false when `timeout` passed
// first.
bool WaitForReport(const std::string& path, const std::function<bool(const std::vector<nlohmann::json>&)>& done,
                   std::chrono::milliseconds timeout);

// Waits until the newest reader record of `topic` (of its reader `reader`,
// when a topic is read twice) in the report at `path` counts at least
// `samples`; false when `timeout` passed first. The run's last samples have
// then been taken, which a fixed pause cannot tell: a monitor given
// "--report-period 0.1" is never stopped too early.
bool WaitForReportedSamples(const std::string& path, const std::string& topic, uint64_t samples,
                            std::chrono::milliseconds timeout, int reader = -1);

// Waits until the report's `ordinal`-th writer (0 for the first one its
// writer records name) counts at least `samples`: a restarted writer's
// successor, whose reader also counted its predecessor's samples.
bool WaitForWriterSamples(const std::string& path, size_t ordinal, uint64_t samples, std::chrono::milliseconds timeout);

} // namespace lumo::test
