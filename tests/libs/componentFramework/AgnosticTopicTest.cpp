// The AgnosticTopic wire codec: XCDR1 out, XCDR1/XCDR2 in either byte
// order, and every length checked against the received buffer.
#include <vector>

#include <gtest/gtest.h>

#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/componentFramework/TypeSupportCompat.h"

using lumo::componentFramework::AgnosticTopic;
using lumo::componentFramework::AgnosticTopicPubSubType;
namespace compat = lumo::componentFramework::compat;

namespace {

AgnosticTopic Make(uint32_t id, std::vector<uint8_t> payload)
{
    AgnosticTopic sample;
    sample.sampleId(id);
    sample.payload(std::move(payload));
    return sample;
}

// What a refused decode leaves: the id and payload it had, marked.
AgnosticTopic Refused(uint32_t id, std::vector<uint8_t> payload)
{
    AgnosticTopic sample = Make(id, std::move(payload));
    sample.wellFormed(false);
    return sample;
}

bool Decode(const std::vector<uint8_t>& wire, AgnosticTopic& out)
{
    return AgnosticTopicPubSubType::Decode(wire.data(), static_cast<uint32_t>(wire.size()), out);
}

TEST(AgnosticTopicCodec, RoundTripsThroughFastDdsSerializedPayload)
{
    AgnosticTopicPubSubType type;
    EXPECT_EQ(compat::TypeName(type), "lumo::componentFramework::AgnosticTopic");
    for (const auto& original : {Make(0, {}), Make(4294967295u, {1, 2, 3}), Make(77, std::vector<uint8_t>(70000, 9))}) {
        auto sample = original;
        compat::SerializedPayload payload(compat::SerializedSize(type, &sample));
        ASSERT_TRUE(compat::Serialize(type, &sample, payload));
        EXPECT_EQ(payload.length, 12 + original.payload().size());
        // XCDR1 little endian on this host: 00 01 00 00, then id, then length.
        EXPECT_EQ(payload.data[0], 0x00);
        EXPECT_EQ(payload.data[1], 0x01);
        AgnosticTopic decoded = Make(5, {42, 42, 42, 42, 42, 42, 42, 42});
        ASSERT_TRUE(compat::Deserialize(type, payload, &decoded));
        EXPECT_EQ(decoded, original);
    }
}

TEST(AgnosticTopicCodec, ReadsBothByteOrdersAndXcdr2)
{
    const std::vector<uint8_t> bigEndian{0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x02, 7, 8};
    AgnosticTopic out;
    ASSERT_TRUE(Decode(bigEndian, out));
    EXPECT_EQ(out, Make(0x01020304, {7, 8}));

    const std::vector<uint8_t> xcdr2Little{0x00, 0x07, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01, 0x01, 0x00, 0x00, 0x00, 9};
    ASSERT_TRUE(Decode(xcdr2Little, out));
    EXPECT_EQ(out, Make(0x01020304, {9}));

    const std::vector<uint8_t> xcdr2Big{0x00, 0x06, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04,
                                        0x00, 0x00, 0x00, 0x03, 4,    5,    6};
    ASSERT_TRUE(Decode(xcdr2Big, out));
    EXPECT_EQ(out, Make(0x01020304, {4, 5, 6}));
}

// Below 12 bytes the length field is not all there: whatever lies beyond the
// stated length (here a zero count) must not be read.
TEST(AgnosticTopicCodec, RefusesEveryBufferShorterThanHeaderIdAndLength)
{
    const uint8_t wire[12] = {0x00, 0x01, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    AgnosticTopic out = Make(1, {1});
    for (uint32_t length = 0; length < 12; ++length) {
        EXPECT_FALSE(AgnosticTopicPubSubType::Decode(wire, length, out)) << length;
        EXPECT_EQ(out, Refused(1, {1}));
    }
    ASSERT_TRUE(AgnosticTopicPubSubType::Decode(wire, 12, out));
    EXPECT_EQ(out, Make(5, {}));
}

TEST(AgnosticTopicCodec, RefusesWhatDoesNotFit)
{
    AgnosticTopic out = Make(1, {1});
    const std::vector<std::vector<uint8_t>> malformed{
        {},
        {0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00},                                     // no length
        {0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 1, 2}, // 3 announced, 2 there
        {0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},       // 4 GiB announced
        {0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},       // parameter list: not ours
    };
    for (const auto& wire : malformed) {
        EXPECT_FALSE(Decode(wire, out)) << wire.size();
        EXPECT_EQ(out, Refused(1, {1})); // id and payload left as they were
        EXPECT_FALSE(out.wellFormed());
    }

    AgnosticTopicPubSubType type;
    auto sample = Make(3, std::vector<uint8_t>(100, 1));
    compat::SerializedPayload tooSmall(50);
    EXPECT_FALSE(compat::Serialize(type, &sample, tooSmall));

    // A length field claiming more than the buffer it came in.
    compat::SerializedPayload payload(64);
    auto small = Make(3, {1, 2, 3, 4});
    ASSERT_TRUE(compat::Serialize(type, &small, payload));
    payload.length = 14; // two payload bytes cut off
    EXPECT_FALSE(compat::Deserialize(type, payload, &out));
}

} // namespace
