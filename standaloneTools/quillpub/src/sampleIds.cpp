#include "sampleIds.h"

SampleIdSequence::SampleIdSequence(const SampleIdPlan& plan)
    : plan_(plan)
{
}

uint32_t SampleIdSequence::Next()
{
    const uint64_t number = next_++;
    if (number == 0) {
        last_ = plan_.startId;
    } else if (plan_.repeatSample && number == *plan_.repeatSample) {
        ++repeated_;
    } else {
        // Unsigned arithmetic: wraps modulo 2^32 like the monitor's own.
        last_ += plan_.increment;
        if (plan_.skipEvery != 0 && number % plan_.skipEvery == 0) {
            last_ += plan_.increment;
            ++skipped_;
        }
    }
    return last_;
}
