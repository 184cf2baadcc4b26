// The AgnosticTopic decoder is the one piece of the project that parses bytes
// off the network. Two kinds of input, chosen by the first byte:
//   even: the rest is a received buffer, any encapsulation id, any length
//         field, any size; the verdict and the fields are checked against a
//         plain reading of the wire rules, directly and through Fast DDS's
//         serialized-payload wrapper with an overstated length;
//   odd:  id (4 bytes) | encapsulation choice (1) | payload (rest): encoded
//         by hand in each byte order and XCDR version, and by the encoder,
//         then decoded back whole and refused at every truncation.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lumo/componentFramework/AgnosticTopic.h"

using lumo::componentFramework::AgnosticTopic;
using lumo::componentFramework::AgnosticTopicPubSubType;

namespace {

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

uint32_t Read32(const uint8_t* p, bool little)
{
    return little ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24
                  : uint32_t(p[3]) | uint32_t(p[2]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[0]) << 24;
}

void Write32(uint8_t* p, uint32_t v, bool little)
{
    for (int k = 0; k < 4; ++k) {
        p[little ? k : 3 - k] = static_cast<uint8_t>(v >> (8 * k));
    }
}

AgnosticTopic Sentinel()
{
    AgnosticTopic sample;
    sample.sampleId(0xDEADBEEF);
    sample.payload({0x5A, 0xA5, 0x5A});
    return sample;
}

// The sentinel after a refused decode: same id and payload, marked.
AgnosticTopic Refused()
{
    AgnosticTopic sample = Sentinel();
    sample.wellFormed(false);
    return sample;
}

// Decodes exactly `length` bytes from a buffer of that very size, so that
// AddressSanitizer sees any read past it.
bool DecodeExact(const uint8_t* bytes, size_t length, AgnosticTopic& out)
{
    std::vector<uint8_t> exact(bytes, bytes + length);
    return AgnosticTopicPubSubType::Decode(exact.data(), static_cast<uint32_t>(length), out);
}

void CheckReceivedBuffer(const uint8_t* wire, size_t size)
{
    // The rules: encapsulation 00 00 / 00 01 (XCDR1 BE/LE) or 00 06 / 00 07
    // (XCDR2 BE/LE), 2 option bytes, id, length, then that many bytes.
    bool valid = size >= 12 && wire[0] == 0 && (wire[1] == 0 || wire[1] == 1 || wire[1] == 6 || wire[1] == 7);
    const bool little = size >= 2 && (wire[1] == 1 || wire[1] == 7);
    uint32_t count = 0;
    if (valid) {
        count = Read32(wire + 8, little);
        valid = count <= size - 12;
    }

    AgnosticTopic out = Sentinel();
    Check(DecodeExact(wire, size, out) == valid);
    if (valid) {
        Check(out.sampleId() == Read32(wire + 4, little));
        Check(out.payload() == std::vector<uint8_t>(wire + 12, wire + 12 + count));
    } else {
        Check(out == Refused());
    }

    // Fast DDS hands the decoder its payload buffer; a length beyond the
    // buffer's size counts for no more than the buffer.
    AgnosticTopicPubSubType type;
    lumo::componentFramework::compat::SerializedPayload payload(static_cast<uint32_t>(size));
    if (size > 0) {
        std::memcpy(payload.data, wire, size);
    }
    payload.length = static_cast<uint32_t>(size) + (size % 7) * 1000;
    AgnosticTopic viaPayload = Sentinel();
    Check(lumo::componentFramework::compat::Deserialize(type, payload, &viaPayload) == valid);
    Check(viaPayload == (valid ? out : Refused()));
}

void CheckRoundTrip(const uint8_t* data, size_t size)
{
    if (size < 5) {
        return;
    }
    AgnosticTopic sample;
    sample.sampleId(Read32(data, true));
    const uint8_t choice = data[4];
    sample.payload(std::vector<uint8_t>(data + 5, data + size));
    const auto bytes = sample.payload().size();

    // By hand: any of the four encapsulations.
    static const uint8_t ids[] = {0x00, 0x01, 0x06, 0x07};
    const uint8_t id = ids[choice % 4];
    const bool little = id == 0x01 || id == 0x07;
    std::vector<uint8_t> wire(12 + bytes);
    wire[1] = id;
    wire[2] = choice; // options: ignored by the reader
    Write32(wire.data() + 4, sample.sampleId(), little);
    Write32(wire.data() + 8, static_cast<uint32_t>(bytes), little);
    if (bytes > 0) {
        std::memcpy(wire.data() + 12, sample.payload().data(), bytes);
    }

    // Into an object that a refused buffer left marked, as Fast DDS reuses them.
    AgnosticTopic out = Refused();
    Check(DecodeExact(wire.data(), wire.size(), out));
    Check(out == sample);
    // Every truncation is refused and leaves the target alone.
    for (size_t length : {size_t{0}, size_t{4}, size_t{8}, size_t{11}, size_t{12}, wire.size() / 2, wire.size() - 1}) {
        if (length < wire.size()) {
            AgnosticTopic cut = Sentinel();
            Check(!DecodeExact(wire.data(), length, cut));
            Check(cut == Refused());
        }
    }

    // The encoder: exactly its size is enough, one byte less is not.
    const uint32_t needed = AgnosticTopicPubSubType::SerializedSize(sample);
    Check(needed == wire.size());
    std::vector<uint8_t> encoded(needed);
    uint32_t length = 0;
    Check(AgnosticTopicPubSubType::Encode(sample, encoded.data(), needed, length));
    Check(length == needed);
    AgnosticTopic back = Sentinel();
    Check(DecodeExact(encoded.data(), length, back));
    Check(back == sample);
    Check(!AgnosticTopicPubSubType::Encode(sample, encoded.data(), needed - 1, length));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    if (data[0] % 2 == 0) {
        CheckReceivedBuffer(data + 1, size - 1);
    } else {
        CheckRoundTrip(data + 1, size - 1);
    }
    return 0;
}
