#include "payloadPatterns.h"

#include <algorithm>
#include <cstring>
#include <ostream>

#include <boost/program_options/errors.hpp>
#include <boost/program_options/value_semantic.hpp>

namespace po = boost::program_options;

namespace {

constexpr size_t ELEMENT_SIZE = sizeof(float);
constexpr double RAMP_STEP = 0.001;

static_assert(sizeof(float) == 4, "payload elements are float32");

// memcpy, not a cast: the payload buffer has no float alignment guarantee.
inline void StoreFloat(uint8_t* bytes, size_t k, float value)
{
    std::memcpy(bytes + ELEMENT_SIZE * k, &value, ELEMENT_SIZE);
}

inline float LoadFloat(const uint8_t* bytes, size_t k)
{
    float value;
    std::memcpy(&value, bytes + ELEMENT_SIZE * k, ELEMENT_SIZE);
    return value;
}

} // namespace

std::string_view PayloadKindName(PayloadKind kind)
{
    switch (kind) {
    case PayloadKind::Zeros:
        return "zeros";
    case PayloadKind::Ramp:
        return "ramp";
    case PayloadKind::AlternatingFloatRamp:
        return "alternating_float_ramp";
    }
    return "unknown";
}

bool ParsePayloadKind(std::string_view name, PayloadKind& kind)
{
    for (const auto candidate : {PayloadKind::Zeros, PayloadKind::Ramp, PayloadKind::AlternatingFloatRamp}) {
        if (name == PayloadKindName(candidate)) {
            kind = candidate;
            return true;
        }
    }
    return false;
}

std::ostream& operator<<(std::ostream& out, PayloadKind kind)
{
    return out << PayloadKindName(kind);
}

void validate(boost::any& target, const std::vector<std::string>& values, PayloadKind*, int)
{
    po::validators::check_first_occurrence(target);
    const std::string& text = po::validators::get_single_string(values);
    PayloadKind kind;
    if (!ParsePayloadKind(text, kind)) {
        throw po::invalid_option_value(text);
    }
    target = kind;
}

void FillPayload(const PayloadPattern& pattern, uint32_t sampleId, std::vector<uint8_t>& bytes)
{
    const size_t count = bytes.size() / ELEMENT_SIZE;
    uint8_t* data = bytes.data();
    switch (pattern.kind) {
    case PayloadKind::Zeros:
        std::fill(bytes.begin(), bytes.end(), uint8_t{0});
        return;
    case PayloadKind::Ramp:
        for (size_t k = 0; k < count; ++k) {
            // Each element from its own index, in double: no rounding piles up
            // along a long payload.
            StoreFloat(data, k, static_cast<float>(pattern.rampStart + static_cast<double>(k) * RAMP_STEP));
        }
        break;
    case PayloadKind::AlternatingFloatRamp: {
        const bool odd = (sampleId & 1u) != 0;
        for (size_t k = 0; k < count; ++k) {
            const auto value = static_cast<float>(static_cast<double>(pattern.readerIndex) + static_cast<double>(k));
            StoreFloat(data, k, odd ? -value : value);
        }
        break;
    }
    }
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(count * ELEMENT_SIZE), bytes.end(), uint8_t{0});
}

bool CorruptPayload(std::vector<uint8_t>& bytes)
{
    const size_t count = bytes.size() / ELEMENT_SIZE;
    if (count == 0) {
        if (bytes.empty()) {
            return false;
        }
        bytes[0] = static_cast<uint8_t>(~bytes[0]);
        return true;
    }
    const size_t k = count >= 2 ? 1 : 0;
    const float original = LoadFloat(bytes.data(), k);
    float corrupted = original + 1.0f;
    if (corrupted == original) {
        // Too large for 1.0 to register (beyond 2^24, or infinite): the
        // sign flip still changes it, as it cannot be zero.
        corrupted = -original;
    }
    StoreFloat(bytes.data(), k, corrupted);
    return true;
}
