// An application sequence number read from a raw sample's bytes: where the
// publisher keeps its own count, which tells its skips apart from the
// middleware's losses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace anyTopic {

struct SeqField
{
    enum class Order : uint8_t
    {
        Encapsulation, // as the sample's encapsulation header says
        Little,
        Big
    };

    size_t offset = 0; // from the first byte of the encapsulation header
    size_t width = 4;  // 4 or 8 bytes; an 8-byte count is compared modulo 2^32
    Order order = Order::Encapsulation;

    // "OFFSET:WIDTH[:le|be]"; std::invalid_argument saying what is wrong.
    static SeqField Parse(const std::string& text);

    // The field's value in this sample; nothing when the sample is too short.
    std::optional<uint32_t> Read(const std::vector<uint8_t>& bytes) const;
};

} // namespace anyTopic
