// Latency distribution in fixed log-linear buckets: values below 32 ns
// exactly, above that 16 buckets per power of two (each at most 1/16 of its
// value wide). Recording is one relaxed add to a preallocated bucket; the
// percentiles come from a copy of the counts.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <vector>

namespace quillModel {

// A count written by one thread and read by others: an add is a plain load
// and store, not a locked read-modify-write.
class RelaxedCounter
{
public:
    void Add(uint64_t n) { value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
    uint64_t Load() const { return value_.load(std::memory_order_relaxed); }
    // For a count that must not be seen before what it counts.
    void AddRelease(uint64_t n) { value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_release); }
    uint64_t LoadAcquire() const { return value_.load(std::memory_order_acquire); }

private:
    std::atomic<uint64_t> value_{0};
};

namespace latencyBuckets {

inline constexpr int SUB_BITS = 4;
inline constexpr uint64_t LINEAR_LIMIT = uint64_t{2} << SUB_BITS; // 32: below it, one bucket per value
inline constexpr size_t COUNT = LINEAR_LIMIT + (64 - SUB_BITS - 1) * (size_t{1} << SUB_BITS);

size_t IndexOf(uint64_t value);
// The smallest and largest value that falls into bucket `index`.
uint64_t LowerBound(size_t index);
uint64_t UpperBound(size_t index);

} // namespace latencyBuckets

class LatencyHistogram
{
public:
    void Record(uint64_t nanoseconds) { buckets_[latencyBuckets::IndexOf(nanoseconds)].Add(1); }
    std::vector<uint64_t> Counts() const;

private:
    std::array<RelaxedCounter, latencyBuckets::COUNT> buckets_{};
};

// The value at quantile q (0 < q <= 1) of the counted values: the upper
// bound of the bucket that holds it, kept within [min, max]. 0 when empty.
uint64_t Quantile(const std::vector<uint64_t>& counts, double q, uint64_t min, uint64_t max);

} // namespace quillModel
