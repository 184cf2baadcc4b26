// JSON text for the report, written by hand: strings escaped so that any
// bytes (control characters, quotes, invalid UTF-8 from a command line or
// the wire) give valid JSON, and numbers that JSON can hold.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillReport {

// `text` as a JSON string, quotes included. Quotes, backslashes, control
// characters, DEL and U+2028/U+2029 are escaped; each byte that is not part
// of a well-formed UTF-8 sequence becomes U+FFFD.
std::string JsonString(std::string_view text);

// A finite number in its shortest round-trip form; null when not finite.
std::string JsonNumber(double value);

// Appends `"key":` to `out`; the key must be plain ASCII (the report's own).
void JsonKey(std::string& out, std::string_view key);

// Builds one JSON object field by field: {"a":1,"b":"x"}.
class JsonObject
{
public:
    JsonObject& Raw(std::string_view key, std::string_view json);
    JsonObject& Text(std::string_view key, std::string_view text);
    JsonObject& Number(std::string_view key, double value);
    JsonObject& Integer(std::string_view key, int64_t value);
    JsonObject& Unsigned(std::string_view key, uint64_t value);
    JsonObject& Bool(std::string_view key, bool value);
    std::string Close();

private:
    void Next(std::string_view key);
    std::string text_ = "{";
};

} // namespace quillReport
