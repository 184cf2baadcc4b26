#include "lumo/componentFramework/AgnosticTopic.h"

#include <bit>
#include <cstring>
#include <limits>

namespace lumo::componentFramework {

namespace {

// RTPS encapsulation identifiers. A final struct of this shape has the same
// layout in XCDR1 and in XCDR2 (no member needs more than 4-byte alignment),
// so samples of XCDR2 publishers are read as well; we always write XCDR1.
constexpr uint16_t XCDR1_BE = 0x0000;
constexpr uint16_t XCDR1_LE = 0x0001;
constexpr uint16_t XCDR2_PLAIN_BE = 0x0006;
constexpr uint16_t XCDR2_PLAIN_LE = 0x0007;
constexpr uint32_t HEADER_SIZE = 4;

constexpr bool HOST_IS_LITTLE = std::endian::native == std::endian::little;

uint32_t ReadU32(const uint8_t* p, bool little)
{
    if (little) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    }
    return uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}

void WriteU32Native(uint8_t* p, uint32_t v)
{
    std::memcpy(p, &v, sizeof v);
}

} // namespace

// Initial size of the history's payload buffers; they grow as needed.
AgnosticTopicPubSubType::AgnosticTopicPubSubType()
    : BufferTopicDataType(TYPE_NAME, HEADER_SIZE + 8 + 1024)
{
}

uint32_t AgnosticTopicPubSubType::SerializedSize(const AgnosticTopic& sample)
{
    return HEADER_SIZE + 4 + 4 + static_cast<uint32_t>(sample.payload().size());
}

bool AgnosticTopicPubSubType::Encode(const AgnosticTopic& sample, uint8_t* buffer, uint32_t capacity, uint32_t& length)
{
    const auto& bytes = sample.payload();
    if (bytes.size() > std::numeric_limits<uint32_t>::max() - (HEADER_SIZE + 8)) {
        return false;
    }
    const uint32_t size = SerializedSize(sample);
    if (capacity < size) {
        return false;
    }
    const uint16_t id = HOST_IS_LITTLE ? XCDR1_LE : XCDR1_BE;
    buffer[0] = static_cast<uint8_t>(id >> 8);
    buffer[1] = static_cast<uint8_t>(id & 0xff);
    buffer[2] = 0;
    buffer[3] = 0;
    WriteU32Native(buffer + 4, sample.sampleId());
    WriteU32Native(buffer + 8, static_cast<uint32_t>(bytes.size()));
    if (!bytes.empty()) {
        std::memcpy(buffer + 12, bytes.data(), bytes.size());
    }
    length = size;
    return true;
}

bool AgnosticTopicPubSubType::Decode(const uint8_t* buffer, uint32_t length, AgnosticTopic& sample)
{
    sample.wellFormed(false);
    if (buffer == nullptr || length < HEADER_SIZE + 8) {
        return false;
    }
    const uint16_t id = static_cast<uint16_t>(buffer[0] << 8 | buffer[1]);
    bool little = false;
    switch (id) {
    case XCDR1_LE:
    case XCDR2_PLAIN_LE:
        little = true;
        break;
    case XCDR1_BE:
    case XCDR2_PLAIN_BE:
        little = false;
        break;
    default:
        return false;
    }
    const uint32_t count = ReadU32(buffer + 8, little);
    const uint32_t available = length - (HEADER_SIZE + 8);
    if (count > available) {
        return false;
    }
    sample.sampleId(ReadU32(buffer + 4, little));
    // assign() reuses the capacity of a recycled sample: no allocation once
    // the history's samples have seen the largest payload.
    sample.payload().assign(buffer + 12, buffer + 12 + count);
    sample.wellFormed(true);
    return true;
}

uint32_t AgnosticTopicPubSubType::SerializedSizeOf(const void* data) const
{
    return SerializedSize(*static_cast<const AgnosticTopic*>(data));
}

bool AgnosticTopicPubSubType::EncodeSample(const void* data, uint8_t* buffer, uint32_t capacity, uint32_t& length) const
{
    return Encode(*static_cast<const AgnosticTopic*>(data), buffer, capacity, length);
}

bool AgnosticTopicPubSubType::DecodeSample(const uint8_t* buffer, uint32_t length, void* data) const
{
    return Decode(buffer, length, *static_cast<AgnosticTopic*>(data));
}

void* AgnosticTopicPubSubType::NewSample() const
{
    return new AgnosticTopic();
}

void AgnosticTopicPubSubType::DeleteSample(void* data) const
{
    delete static_cast<AgnosticTopic*>(data);
}

} // namespace lumo::componentFramework
