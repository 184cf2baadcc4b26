#include "streamContinuity.h"

namespace quillModel {

namespace {

constexpr uint32_t HALF_RANGE = 0x80000000u;

} // namespace

bool AtOrBehind(uint32_t later, uint32_t earlier)
{
    return static_cast<uint32_t>(earlier - later) < HALF_RANGE;
}

uint64_t StreamContinuity::SequenceHole(uint64_t sequence) const
{
    if (sequence == UNKNOWN_SEQUENCE || lastSequence_ == UNKNOWN_SEQUENCE || sequence <= lastSequence_ + 1) {
        return 0;
    }
    return sequence - lastSequence_ - 1;
}

ContinuityStep StreamContinuity::Observe(uint32_t id, uint64_t sequence, uint32_t increment)
{
    ContinuityStep step;
    // The sequence numbers run on even when no id has been read yet (an
    // undecodable first sample).
    step.middlewareLost = SequenceHole(sequence);
    if (!started_) {
        step.kind = Continuity::First;
    } else {
        const uint32_t distance = id - lastId_;
        if (distance == increment) {
            step.kind = Continuity::InOrder;
        } else if (distance == 0) {
            step.kind = Continuity::Duplicate;
        } else if (distance >= HALF_RANGE) {
            step.kind = Continuity::Backward;
        } else {
            step.kind = Continuity::Gap;
            step.missingIds = increment == 0 ? 0 : (distance - 1) / increment;
            step.publisherSkipped = step.missingIds > step.middlewareLost ? step.missingIds - step.middlewareLost : 0;
        }
    }
    started_ = true;
    lastId_ = id;
    if (sequence != UNKNOWN_SEQUENCE) {
        lastSequence_ = sequence;
    }
    return step;
}

ContinuityStep StreamContinuity::ObserveUnnumbered(uint64_t sequence)
{
    ContinuityStep step;
    step.kind = started_ ? Continuity::InOrder : Continuity::First;
    step.middlewareLost = SkipSequence(sequence);
    started_ = true;
    return step;
}

uint64_t StreamContinuity::SkipSequence(uint64_t sequence)
{
    const uint64_t hole = SequenceHole(sequence);
    if (sequence != UNKNOWN_SEQUENCE) {
        lastSequence_ = sequence;
    }
    return hole;
}

} // namespace quillModel
