// The payload check rules read plainly, element by element: the reference
// that the long-payload tests and the fuzzer hold the monitor's block scans
// to. Elements are float32 in host byte order.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace lumo::test {

// The whole float32 elements of a payload.
inline std::vector<float> FloatsOf(const std::vector<uint8_t>& bytes)
{
    std::vector<float> values(bytes.size() / sizeof(float));
    if (!values.empty()) {
        std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    }
    return values;
}

// Ramp: element i must be element 0 + i * 0.001 within 1e-5. The index of the
// first element off the ramp, if any.
inline std::optional<size_t> FirstOffRamp(const std::vector<float>& values)
{
    for (size_t i = 1; i < values.size(); ++i) {
        const double expected = static_cast<double>(values[0]) + static_cast<double>(i) * 0.001;
        if (std::fabs(static_cast<double>(values[i]) - expected) > 1e-5) {
            return i;
        }
    }
    return std::nullopt;
}

// alternating_float_ramp: element k is r + k for even ids and -(r + k) for
// odd ones, summed in single precision as the publisher does. Whether every
// element matches.
inline bool MatchesPattern(const std::vector<float>& values, uint32_t readerIndex, uint32_t id)
{
    const float step = (id % 2 == 0) ? 1.0f : -1.0f;
    float expected = step * static_cast<float>(readerIndex);
    for (const float value : values) {
        if (!(value == expected)) {
            return false;
        }
        expected += step;
    }
    return true;
}

} // namespace lumo::test
