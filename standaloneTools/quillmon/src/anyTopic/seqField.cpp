#include "seqField.h"

#include <charconv>
#include <limits>
#include <stdexcept>

namespace anyTopic {

namespace {

constexpr size_t ENCAPSULATION_BYTES = 4;
// Every CDR encapsulation kind has its little-endian variant odd in the
// second byte of the header (CDR_LE 0x0001, PL_CDR_LE 0x0003, CDR2_LE 0x0007 ...).
constexpr uint8_t LITTLE_ENDIAN_FLAG = 0x01;

size_t ParseCount(const std::string& text, const std::string& whole, const char* what)
{
    size_t value = 0;
    const auto* end = text.data() + text.size();
    const auto [last, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || last != end) {
        throw std::invalid_argument("--seq-field '" + whole + "': " + what + " must be a decimal number of bytes");
    }
    return value;
}

} // namespace

SeqField SeqField::Parse(const std::string& text)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t colon = text.find(':'); colon != std::string::npos; colon = text.find(':', start)) {
        parts.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    parts.push_back(text.substr(start));
    if (parts.size() < 2 || parts.size() > 3) {
        throw std::invalid_argument("--seq-field '" + text + "': expected OFFSET:WIDTH[:le|be]");
    }
    SeqField field;
    field.offset = ParseCount(parts[0], text, "OFFSET");
    field.width = ParseCount(parts[1], text, "WIDTH");
    if (field.width != 4 && field.width != 8) {
        throw std::invalid_argument("--seq-field '" + text + "': WIDTH must be 4 or 8");
    }
    if (field.offset > std::numeric_limits<uint32_t>::max()) {
        throw std::invalid_argument("--seq-field '" + text + "': OFFSET is beyond any sample");
    }
    if (parts.size() == 3) {
        if (parts[2] == "le") {
            field.order = Order::Little;
        } else if (parts[2] == "be") {
            field.order = Order::Big;
        } else {
            throw std::invalid_argument("--seq-field '" + text + "': byte order must be 'le' or 'be'");
        }
    }
    return field;
}

std::optional<uint32_t> SeqField::Read(const std::vector<uint8_t>& bytes) const
{
    if (bytes.size() < ENCAPSULATION_BYTES || offset > bytes.size() || bytes.size() - offset < width) {
        return std::nullopt;
    }
    bool little = order == Order::Little;
    if (order == Order::Encapsulation) {
        little = (bytes[1] & LITTLE_ENDIAN_FLAG) != 0;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        const uint8_t byte = bytes[offset + (little ? width - 1 - i : i)];
        value = (value << 8) | byte;
    }
    return static_cast<uint32_t>(value);
}

} // namespace anyTopic
