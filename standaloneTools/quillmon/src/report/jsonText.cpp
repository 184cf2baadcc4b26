#include "jsonText.h"

#include <cmath>

#include "lumo/Format.h"

namespace quillReport {

namespace {

constexpr std::string_view REPLACEMENT = "\\ufffd";

// Length of the well-formed UTF-8 sequence at text[i], 0 when there is none
// (overlong forms, surrogates and code points above U+10FFFF included).
size_t Utf8Length(std::string_view text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    if (byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) {
            return 0;
        }
    }
    return length;
}

} // namespace

std::string JsonString(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += lumo::format("\\u{:04x}", static_cast<unsigned>(c));
                } else {
                    out += static_cast<char>(c);
                }
            }
            ++i;
            continue;
        }
        const size_t length = Utf8Length(text, i);
        if (length == 0) {
            out += REPLACEMENT;
            ++i;
            continue;
        }
        const std::string_view sequence = text.substr(i, length);
        // Line and paragraph separators: valid JSON, but not valid JavaScript.
        if (sequence == "\xe2\x80\xa8") {
            out += "\\u2028";
        } else if (sequence == "\xe2\x80\xa9") {
            out += "\\u2029";
        } else {
            out += sequence;
        }
        i += length;
    }
    out += '"';
    return out;
}

std::string JsonNumber(double value)
{
    return std::isfinite(value) ? lumo::format("{}", value) : std::string("null");
}

void JsonKey(std::string& out, std::string_view key)
{
    out += '"';
    out += key;
    out += "\":";
}

void JsonObject::Next(std::string_view key)
{
    if (text_.size() > 1) {
        text_ += ',';
    }
    JsonKey(text_, key);
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json)
{
    Next(key);
    text_ += json;
    return *this;
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view text)
{
    return Raw(key, JsonString(text));
}

JsonObject& JsonObject::Number(std::string_view key, double value)
{
    return Raw(key, JsonNumber(value));
}

JsonObject& JsonObject::Integer(std::string_view key, int64_t value)
{
    return Raw(key, lumo::format("{}", value));
}

JsonObject& JsonObject::Unsigned(std::string_view key, uint64_t value)
{
    return Raw(key, lumo::format("{}", value));
}

JsonObject& JsonObject::Bool(std::string_view key, bool value)
{
    return Raw(key, value ? "true" : "false");
}

std::string JsonObject::Close()
{
    text_ += '}';
    return std::move(text_);
}

} // namespace quillReport
