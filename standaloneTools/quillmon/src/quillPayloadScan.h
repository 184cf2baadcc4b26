// Block scans that run ahead of the payload checks' element loops.
//
// Both checks read the payload in one forward pass, element by element. The
// scans below go over whole blocks first, computing for every element exactly
// what the element loop computes (the same IEEE-754 operations on the same
// operands in the same precision; the target is built with -ffp-contract=off,
// so nothing is fused into a multiply-add), and stop at the first block that
// holds an element the loop would not accept. The loop then carries on from
// there, so the element reported and every message come from the loop alone:
// the scans only skip what it would have accepted.
//
// This header is compiled twice: into the listener for the baseline
// instruction set, and into quillPayloadScanAvx2.cpp with AVX2, which the
// listener calls when the processor has it. Everything here has internal
// linkage, so that the two builds never stand in for each other.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace quillPayloadScan {

// CheckRamp's element k must lie within RAMP_TOLERANCE of element 0 plus
// k * RAMP_STEP.
constexpr double RAMP_STEP = 0.001;
constexpr double RAMP_TOLERANCE = 1e-5;

// The AVX2 builds (quillPayloadScanAvx2.cpp); same contracts as RampScan and
// PatternScan.
int32_t RampScanAvx2(const uint8_t* bytes, int32_t first, int32_t count, double base);
void PatternScanAvx2(const uint8_t* bytes, int64_t& k, int64_t count, float& expected, float step);

namespace {

typedef double Double4 __attribute__((vector_size(32)));
typedef float Float4 __attribute__((vector_size(16)));
typedef int64_t Int64x4 __attribute__((vector_size(32)));
typedef float Float8 __attribute__((vector_size(32)));
typedef int32_t Int32x8 __attribute__((vector_size(32)));

inline constexpr int32_t RAMP_BLOCK = 16;
inline constexpr int64_t PATTERN_BLOCK = 16;
// Up to this magnitude an integer-valued float plus or minus anything up to
// PATTERN_BLOCK is exact, so the block's sums equal the loop's running sums.
inline constexpr float PATTERN_EXACT_LIMIT = 16777216.0f - static_cast<float>(PATTERN_BLOCK);

// Unaligned load (the payload has no alignment guarantee).
template <typename Vector>
inline void LoadVector(Vector& value, const uint8_t* bytes)
{
    std::memcpy(&value, bytes, sizeof value);
}

// Four floats widened to double. (The AVX2 build brings its own: GCC widens
// this generic form piecewise, while one instruction does it.)
struct WidenFloats
{
    void operator()(Double4& wide, const uint8_t* bytes) const
    {
        Float4 single;
        LoadVector(single, bytes);
        wide = __builtin_convertvector(single, Double4);
    }
};

// CheckRamp's loop, from index `first` on: deviation of element i from
// base + i * RAMP_STEP (base: element 0 widened). Returns the start of the
// first block that holds an element whose |deviation| exceeds RAMP_TOLERANCE,
// or the index after the last whole block.
template <typename Widen = WidenFloats>
inline int32_t RampScan(const uint8_t* bytes, int32_t first, int32_t count, double base, Widen widen = {})
{
    constexpr int VECTORS = RAMP_BLOCK / 4;
    const Double4 base4 = {base, base, base, base};
    const Double4 step4 = {RAMP_STEP, RAMP_STEP, RAMP_STEP, RAMP_STEP};
    const Double4 tolerance4 = {RAMP_TOLERANCE, RAMP_TOLERANCE, RAMP_TOLERANCE, RAMP_TOLERANCE};
    const Int64x4 magnitude = {INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX};
    const double blockLength = RAMP_BLOCK;
    const Double4 advance = {blockLength, blockLength, blockLength, blockLength};
    // Indices as doubles, advanced by exact integer additions: the very
    // values the loop gets by converting each index. Unrolled, so that they
    // stay in registers.
    Double4 index[VECTORS];
#pragma GCC unroll 4
    for (int v = 0; v < VECTORS; ++v) {
        const double f = static_cast<double>(first) + 4.0 * v;
        index[v] = Double4{f, f + 1.0, f + 2.0, f + 3.0};
    }
    int32_t i = first;
    for (; count - i >= RAMP_BLOCK; i += RAMP_BLOCK) {
        const uint8_t* block = bytes + 4 * int64_t{i};
        Int64x4 off = {0, 0, 0, 0};
#pragma GCC unroll 4
        for (int v = 0; v < VECTORS; ++v) {
            Double4 element;
            widen(element, block + 16 * v);
            const Double4 expected = base4 + index[v] * step4;
            // |deviation| by clearing the sign bit; a NaN compares false.
            const Double4 deviation = (Double4)((Int64x4)(element - expected) & magnitude);
            off |= deviation > tolerance4;
            index[v] += advance;
        }
        if ((off[0] | off[1] | off[2] | off[3]) != 0) {
            break;
        }
    }
    return i;
}

// CheckExpectedPayloadPattern's loop, from element k on, with its running
// expected value and step (+1 or -1): whole blocks while the expected values
// stay exact. Stops at the first block holding an element that differs from
// its expected value (k then points at that block); k and expected are
// advanced past every block that matched, as the loop would have left them.
inline void PatternScan(const uint8_t* bytes, int64_t& k, int64_t count, float& expected, float step)
{
    const Float8 offsets0 = Float8{0.0f, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f} * step;
    const Float8 offsets1 = Float8{8.0f, 9.0f, 10.0f, 11.0f, 12.0f, 13.0f, 14.0f, 15.0f} * step;
    const float advance = static_cast<float>(PATTERN_BLOCK) * step;
    while (count - k >= PATTERN_BLOCK && std::fabs(expected) <= PATTERN_EXACT_LIMIT) {
        const Float8 start = {expected, expected, expected, expected, expected, expected, expected, expected};
        Float8 elements0;
        Float8 elements1;
        LoadVector(elements0, bytes + 4 * k);
        LoadVector(elements1, bytes + 4 * k + 32);
        // != holds for a NaN element, as the loop's !(==) does.
        const Int32x8 differs = (elements0 != start + offsets0) | (elements1 != start + offsets1);
        int32_t any = 0;
        for (int lane = 0; lane < 8; ++lane) {
            any |= differs[lane];
        }
        if (any != 0) {
            return;
        }
        expected += advance;
        k += PATTERN_BLOCK;
    }
}

} // namespace
} // namespace quillPayloadScan
