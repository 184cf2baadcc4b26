// The payload checks' block scans built for AVX2 (this file is compiled with
// -mavx2); the listener calls them only on a processor that has it.
#include "quillPayloadScan.h"

#include <immintrin.h>

namespace quillPayloadScan {

int32_t RampScanAvx2(const uint8_t* bytes, int32_t first, int32_t count, double base)
{
    return RampScan(bytes, first, count, base, [](Double4& wide, const uint8_t* four) {
        wide = static_cast<Double4>(_mm256_cvtps_pd(_mm_loadu_ps(reinterpret_cast<const float*>(four))));
    });
}

void PatternScanAvx2(const uint8_t* bytes, int64_t& k, int64_t count, float& expected, float step)
{
    PatternScan(bytes, k, count, expected, step);
}

} // namespace quillPayloadScan
