// Builders of the lines the tools print, from their parts, for tests that
// compare whole lines. The texts are written out here, never taken from the
// tools' own formatting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumo::test {

// "[<topic>][<index>]", the start of every line about one reader or writer.
std::string Prefix(const std::string& topic, uint32_t index);

// The monitor's exit report line of one reader (it begins with a space).
std::string ExitReport(const std::string& topic, uint32_t index, int64_t samples, uint64_t lost);

// The ids the publisher gives `count` samples: the first `start`, then
// `increment` more each, twice that for samples k*skipEvery, and sample
// `repeat` the previous one's id again.
std::vector<uint32_t> PublishedIds(uint32_t count, uint32_t start, uint32_t increment, uint32_t skipEvery,
                                   uint32_t repeat);
// Ids 0 to count - 1.
std::vector<uint32_t> IdsFromZero(uint32_t count);

// The count an exit report must show for the published `ids` when the reader
// saw all of them, from a monitor's messages (as MessagesAt gives them):
// counting restarts at the last reset, whose first sample logs the "Payload
// size" line; a match leaves -1 before that sample, a liveliness change 0.
// The subscription-matched reset may come after the first samples (a loaded
// machine): the count is the ids from that sample on.
int64_t CountSinceLastReset(const std::vector<std::string>& info, const std::string& prefix,
                            const std::vector<uint32_t>& ids);

// The publisher's summary line of one topic.
std::string Summary(const std::string& topic, uint32_t index, uint64_t written, uint64_t skipped = 0,
                    uint64_t repeated = 0, uint64_t corrupted = 0, uint64_t failures = 0);

// `text` with every regular-expression metacharacter escaped.
std::string RegexEscaped(const std::string& text);

} // namespace lumo::test
