#include "ReportSchema.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

namespace lumo::test {

namespace {

using nlohmann::json;

// What the schema cannot say: the order of a latency's figures.
void CheckLatencyOrder(const json& record, const std::string& where)
{
    for (const char* field : {"latency_ns", "latency_period"}) {
        const auto latency = record.find(field);
        if (latency == record.end() || !latency->is_object()) {
            continue;
        }
        const auto& l = *latency;
        if (!(l.at("min").get<int64_t>() <= l.at("p50").get<int64_t>() &&
              l.at("p50").get<int64_t>() <= l.at("p99").get<int64_t>() &&
              l.at("p99").get<int64_t>() <= l.at("max").get<int64_t>())) {
            ADD_FAILURE() << where << ": " << field << " out of order: " << l.dump();
        }
    }
}

// The JSON Schema's verdict on the file: one line per violation.
std::string SchemaViolations(const std::string& path)
{
    const std::string command = "/usr/bin/python3 '" LUMO_REPORT_VALIDATOR "' '" LUMO_REPORT_SCHEMA "' '" + path +
                                "' 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return "cannot run the schema check";
    }
    std::string output;
    std::array<char, 4096> buffer{};
    size_t n = 0;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) {
        output.append(buffer.data(), n);
    }
    return output;
}

} // namespace

std::vector<json> ReadReport(const std::string& path)
{
    std::ifstream file(path);
    if (!file) {
        ADD_FAILURE() << "no report at " << path;
        return {};
    }
    const std::string violations = SchemaViolations(path);
    EXPECT_EQ(violations, "") << path << " breaks " << LUMO_REPORT_SCHEMA;
    std::vector<json> records;
    std::string line;
    size_t number = 0;
    while (std::getline(file, line)) {
        ++number;
        try {
            records.push_back(json::parse(line));
        } catch (const json::exception& e) {
            ADD_FAILURE() << path << ":" << number << " is not JSON (" << e.what() << "): " << line;
            continue;
        }
        CheckLatencyOrder(records.back(), path + ":" + std::to_string(number));
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

bool WaitForReport(const std::string& path, const std::function<bool(const std::vector<json>&)>& done,
                   std::chrono::milliseconds timeout)
{
    const auto giveUp = std::chrono::steady_clock::now() + timeout;
    do {
        std::ifstream file(path);
        std::vector<json> records;
        std::string line;
        while (std::getline(file, line)) {
            // A line still being written is not JSON yet: the next pass reads it.
            json record = json::parse(line, nullptr, false);
            if (record.is_object()) {
                records.push_back(std::move(record));
            }
        }
        if (done(records)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (std::chrono::steady_clock::now() < giveUp);
    return false;
}

bool WaitForReportedSamples(const std::string& path, const std::string& topic, uint64_t samples,
                            std::chrono::milliseconds timeout, int reader)
{
    return WaitForReport(
        path,
        [&](const std::vector<json>& records) {
            uint64_t counted = 0;
            for (const auto& record : records) {
                if (record.value("record", "") == "reader" && record.value("topic", "") == topic &&
                    (reader < 0 || record.value("reader", -1) == reader)) {
                    counted = record.value("samples", uint64_t{0});
                }
            }
            return counted >= samples;
        },
        timeout);
}

bool WaitForWriterSamples(const std::string& path, size_t ordinal, uint64_t samples, std::chrono::milliseconds timeout)
{
    return WaitForReport(
        path,
        [&](const std::vector<json>& records) {
            std::vector<std::string> writers;
            uint64_t counted = 0;
            for (const auto& record : RecordsOf(records, "writer")) {
                const auto writer = record.value("writer", "");
                const auto at = std::find(writers.begin(), writers.end(), writer);
                if (at == writers.end()) {
                    writers.push_back(writer);
                }
                if (writers.size() > ordinal && writer == writers[ordinal]) {
                    counted = record.value("samples", uint64_t{0});
                }
            }
            return counted >= samples;
        },
        timeout);
}

} // namespace lumo::test
