#include "latencyHistogram.h"

#include <algorithm>
#include <cmath>

namespace quillModel {

namespace latencyBuckets {

namespace {

constexpr size_t SUB_COUNT = size_t{1} << SUB_BITS;

} // namespace

size_t IndexOf(uint64_t value)
{
    if (value < LINEAR_LIMIT) {
        return static_cast<size_t>(value);
    }
    const int exponent = 63 - __builtin_clzll(value); // at least SUB_BITS + 1
    const int shift = exponent - SUB_BITS;
    const size_t sub = static_cast<size_t>(value >> shift) & (SUB_COUNT - 1);
    return LINEAR_LIMIT + static_cast<size_t>(exponent - SUB_BITS - 1) * SUB_COUNT + sub;
}

uint64_t LowerBound(size_t index)
{
    if (index < LINEAR_LIMIT) {
        return index;
    }
    const size_t rest = index - LINEAR_LIMIT;
    const int exponent = static_cast<int>(rest / SUB_COUNT) + SUB_BITS + 1;
    const uint64_t sub = rest % SUB_COUNT;
    return (SUB_COUNT + sub) << (exponent - SUB_BITS);
}

uint64_t UpperBound(size_t index)
{
    if (index < LINEAR_LIMIT) {
        return index;
    }
    const int exponent = static_cast<int>((index - LINEAR_LIMIT) / SUB_COUNT) + SUB_BITS + 1;
    return LowerBound(index) + ((uint64_t{1} << (exponent - SUB_BITS)) - 1);
}

} // namespace latencyBuckets

std::vector<uint64_t> LatencyHistogram::Counts() const
{
    std::vector<uint64_t> counts(buckets_.size());
    for (size_t i = 0; i < buckets_.size(); ++i) {
        counts[i] = buckets_[i].Load();
    }
    return counts;
}

uint64_t Quantile(const std::vector<uint64_t>& counts, double q, uint64_t min, uint64_t max)
{
    uint64_t total = 0;
    for (const auto count : counts) {
        total += count;
    }
    if (total == 0) {
        return 0;
    }
    // The rank of the value asked for, from 1.
    const auto rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(q * static_cast<double>(total))));
    uint64_t seen = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        seen += counts[i];
        if (seen >= rank) {
            return std::clamp(latencyBuckets::UpperBound(i), min, std::max(min, max));
        }
    }
    return max;
}

} // namespace quillModel
