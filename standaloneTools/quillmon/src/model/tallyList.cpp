#include "tallyList.h"

namespace quillModel {

void TallyList::Add(std::shared_ptr<ReaderTally> tally)
{
    std::lock_guard lock(mutex_);
    tallies_.push_back(std::move(tally));
}

std::vector<std::shared_ptr<ReaderTally>> TallyList::All() const
{
    std::lock_guard lock(mutex_);
    return tallies_;
}

std::shared_ptr<ReaderTally> TallyList::OfReader(uint32_t readerIndex) const
{
    std::lock_guard lock(mutex_);
    for (const auto& tally : tallies_) {
        if (tally->ReaderIndex() == readerIndex) {
            return tally;
        }
    }
    return nullptr;
}

bool TallyList::Empty() const
{
    std::lock_guard lock(mutex_);
    return tallies_.empty();
}

} // namespace quillModel
