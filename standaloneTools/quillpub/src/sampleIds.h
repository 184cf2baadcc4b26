// The sample ids lumoQuillpub publishes, with the faults it can inject into
// them. Ids are 32-bit and wrap around, as the monitor expects.
#pragma once

#include <cstdint>
#include <optional>

struct SampleIdPlan
{
    uint32_t startId = 0;
    uint32_t increment = 1;
    // Every skipEvery-th sample number (skipEvery, 2*skipEvery, ...) advances
    // by one increment more: one id the monitor never sees. 0: never.
    uint64_t skipEvery = 0;
    // This sample number reuses the previous sample's id; the next one carries
    // on from it, so the monitor sees exactly one out-of-sequence id. It takes
    // no skip of its own. Never 0: sample 0 has no previous id.
    std::optional<uint64_t> repeatSample;
};

// Hands out the id of sample 0, 1, 2, ... in turn and counts the faults.
class SampleIdSequence
{
public:
    explicit SampleIdSequence(const SampleIdPlan& plan);

    // The id of the next sample number.
    uint32_t Next();

    uint64_t SamplesNumbered() const { return next_; }
    uint64_t IdsSkipped() const { return skipped_; }
    uint64_t IdsRepeated() const { return repeated_; }

private:
    SampleIdPlan plan_;
    uint64_t next_ = 0; // the sample number Next() gives an id to
    uint32_t last_ = 0;
    uint64_t skipped_ = 0;
    uint64_t repeated_ = 0;
};
