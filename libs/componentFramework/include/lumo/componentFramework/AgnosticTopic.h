// The toolkit's generic sample type. Wire contract (IDL):
//
//   module lumo { module componentFramework {
//     struct AgnosticTopic { unsigned long sampleId; sequence<octet> payload; };
//   }; };
//
// registered as "lumo::componentFramework::AgnosticTopic", final extensibility,
// XCDR1 on the wire, so publishers built from the same IDL with any DDS
// implementation interoperate.
#pragma once

#include <cstdint>
#include <vector>

#include "lumo/componentFramework/TypeSupportCompat.h"

namespace lumo::componentFramework {

class AgnosticTopic
{
public:
    uint32_t sampleId() const { return sampleId_; }
    void sampleId(uint32_t id) { sampleId_ = id; }

    const std::vector<uint8_t>& payload() const { return payload_; }
    std::vector<uint8_t>& payload() { return payload_; }
    void payload(std::vector<uint8_t> bytes) { payload_ = std::move(bytes); }

    // False once a received buffer could not be decoded into this object.
    // Fast DDS 2.9 ignores the type's verdict when it lends samples: it hands
    // the reader such a sample all the same, holding whatever the object held
    // before (a default or an earlier sample), so readers must skip it.
    bool wellFormed() const { return wellFormed_; }
    void wellFormed(bool wellFormed) { wellFormed_ = wellFormed; }

    bool operator==(const AgnosticTopic&) const = default;

private:
    uint32_t sampleId_ = 0;
    std::vector<uint8_t> payload_;
    bool wellFormed_ = true;
};

// Type support for Fast DDS. Deserialization checks every length against the
// received buffer, so a malformed sample is refused, never read past: the
// target keeps its id and payload and is marked not well formed.
class AgnosticTopicPubSubType : public compat::BufferTopicDataType
{
public:
    static constexpr const char* TYPE_NAME = "lumo::componentFramework::AgnosticTopic";

    AgnosticTopicPubSubType();

    uint32_t SerializedSizeOf(const void* data) const override;
    bool EncodeSample(const void* data, uint8_t* buffer, uint32_t capacity, uint32_t& length) const override;
    bool DecodeSample(const uint8_t* buffer, uint32_t length, void* data) const override;
    void* NewSample() const override;
    void DeleteSample(void* data) const override;

    // The codec itself, on plain buffers and samples; the overrides above wrap it.
    static uint32_t SerializedSize(const AgnosticTopic& sample);
    static bool Encode(const AgnosticTopic& sample, uint8_t* buffer, uint32_t capacity, uint32_t& length);
    static bool Decode(const uint8_t* buffer, uint32_t length, AgnosticTopic& sample);
};

} // namespace lumo::componentFramework
