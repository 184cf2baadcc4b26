// The tallies of a run, in the order their readers were made. A reader made
// while the run goes on (a topic whose writers appeared late) adds its own,
// so the views ask for the list each time they read it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "readerTally.h"

namespace quillModel {

class TallyList
{
public:
    TallyList() = default;
    explicit TallyList(std::vector<std::shared_ptr<ReaderTally>> tallies)
        : tallies_(std::move(tallies))
    {
    }

    void Add(std::shared_ptr<ReaderTally> tally);
    std::vector<std::shared_ptr<ReaderTally>> All() const;
    // The tally of the reader with that index; nullptr when none has it.
    std::shared_ptr<ReaderTally> OfReader(uint32_t readerIndex) const;
    bool Empty() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<ReaderTally>> tallies_;
};

} // namespace quillModel
