// The application sequence field: how its text is read, and where its value
// is found in a raw sample's bytes.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "anyTopic/seqField.h"

using anyTopic::SeqField;

namespace {

// A serialized sample: its encapsulation header (CDR_LE 00 01, CDR_BE 00 00,
// CDR2_LE 00 07), then the given bytes.
std::vector<uint8_t> Sample(uint8_t kind, std::vector<uint8_t> body)
{
    std::vector<uint8_t> bytes(4 + body.size(), 0);
    bytes[1] = kind;
    std::copy(body.begin(), body.end(), bytes.begin() + 4);
    return bytes;
}

} // namespace

TEST(SeqField, TheTextIsReadOrRefusedWithWhatIsWrong)
{
    struct Case
    {
        std::string text;
        std::string error; // empty: accepted
        size_t offset = 0;
        size_t width = 0;
        SeqField::Order order = SeqField::Order::Encapsulation;
    };
    for (const auto& c : std::vector<Case>{
             {"4:4", "", 4, 4},
             {"12:8:be", "", 12, 8, SeqField::Order::Big},
             {"0:4:le", "", 0, 4, SeqField::Order::Little},
             {"4", "--seq-field '4': expected OFFSET:WIDTH[:le|be]"},
             {"4:4:le:x", "--seq-field '4:4:le:x': expected OFFSET:WIDTH[:le|be]"},
             {"4:2", "--seq-field '4:2': WIDTH must be 4 or 8"},
             {"-4:4", "--seq-field '-4:4': OFFSET must be a decimal number of bytes"},
             {"4:4x", "--seq-field '4:4x': WIDTH must be a decimal number of bytes"},
             {":4", "--seq-field ':4': OFFSET must be a decimal number of bytes"},
             {"4:4:LE", "--seq-field '4:4:LE': byte order must be 'le' or 'be'"},
             {"99999999999:4", "--seq-field '99999999999:4': OFFSET is beyond any sample"},
         }) {
        SCOPED_TRACE(c.text);
        if (!c.error.empty()) {
            EXPECT_THROW(
                try { SeqField::Parse(c.text); } catch (const std::invalid_argument& e) {
                    EXPECT_EQ(std::string(e.what()), c.error);
                    throw;
                },
                std::invalid_argument);
            continue;
        }
        const auto field = SeqField::Parse(c.text);
        EXPECT_EQ(field.offset, c.offset);
        EXPECT_EQ(field.width, c.width);
        EXPECT_EQ(field.order, c.order);
    }
}

TEST(SeqField, TheValueIsReadInTheSamplesByteOrderUnlessOneIsGiven)
{
    struct Case
    {
        const char* name;
        std::string field;
        std::vector<uint8_t> bytes;
        std::optional<uint32_t> expected;
    };
    const std::vector<uint8_t> body{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    for (const auto& c : std::vector<Case>{
             {"little-endian CDR", "4:4", Sample(0x01, body), 0x04030201},
             {"big-endian CDR", "4:4", Sample(0x00, body), 0x01020304},
             {"little-endian XCDR2", "8:4", Sample(0x07, body), 0x08070605},
             {"given order over the header's", "4:4:be", Sample(0x01, body), 0x01020304},
             {"an 8-byte count keeps its low 32 bits", "4:8", Sample(0x01, body), 0x04030201},
             {"an 8-byte big-endian count", "4:8", Sample(0x00, body), 0x05060708},
             {"the field ends on the last byte", "8:4", Sample(0x01, {0, 0, 0, 0, 9, 0, 0, 0}), 9},
             {"one byte short", "9:4", Sample(0x01, body), std::nullopt},
             {"offset past the end", "400:4", Sample(0x01, body), std::nullopt},
             {"no encapsulation header", "0:4", {0x00, 0x01, 0x02}, std::nullopt},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SeqField::Parse(c.field).Read(c.bytes), c.expected);
    }
}
