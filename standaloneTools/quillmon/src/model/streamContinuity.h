// Continuity of one writer's stream, judged from two numbers per sample:
// the sample id the publisher put in the sample and the RTPS sequence number
// the writer gave the change. The writer numbers every sample it writes, so
// a hole in its sequence numbers is a sample that never reached this
// reader's take (dropped on a best-effort link, or overwritten in a
// KEEP_LAST history, the writer's or the reader's, before delivery). Ids
// missing beyond those holes are ids the publisher never wrote.
#pragma once

#include <cstdint>

namespace quillModel {

enum class Continuity : uint8_t
{
    First,     // the stream's first sample: nothing to compare with
    InOrder,   // the id the increment predicts
    Gap,       // ahead of the prediction
    Duplicate, // the previous id again
    Backward,  // behind the previous id: the publisher started its ids over
};

struct ContinuityStep
{
    Continuity kind = Continuity::First;
    uint64_t missingIds = 0;       // expected ids jumped over (Gap only)
    uint64_t middlewareLost = 0;   // sequence numbers jumped over
    uint64_t monitorRejected = 0;  // of those, the ones this reader refused (not in middlewareLost)
    uint64_t publisherSkipped = 0; // missing ids that no lost sequence number explains
};

// RTPS numbers changes from 1; 0 stands for a sample without one.
inline constexpr uint64_t UNKNOWN_SEQUENCE = 0;

class StreamContinuity
{
public:
    // Ids are compared modulo 2^32: up to 2^31 - 1 ahead is a gap, more is
    // behind. With an increment of 0 every id change is a gap of 0 ids.
    ContinuityStep Observe(uint32_t id, uint64_t sequence, uint32_t increment);

    // A sample that carries no id: only its sequence number is judged, and
    // it is never a gap, a duplicate or a backward jump.
    ContinuityStep ObserveUnnumbered(uint64_t sequence);

    // A sample whose id could not be read: its sequence number counts as
    // delivered, and the id check goes on from the sample before it. Returns
    // the sequence numbers jumped over to reach it.
    uint64_t SkipSequence(uint64_t sequence);

    bool Started() const { return started_; }
    uint32_t LastId() const { return lastId_; }

private:
    // Sequence numbers jumped over since the last known one.
    uint64_t SequenceHole(uint64_t sequence) const;

    bool started_ = false;
    uint32_t lastId_ = 0;
    uint64_t lastSequence_ = UNKNOWN_SEQUENCE;
};

// Whether id `later` lies at or behind `earlier`, modulo 2^32.
bool AtOrBehind(uint32_t later, uint32_t earlier);

} // namespace quillModel
