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

// The id of the last sample a reader took as its baseline ("SampleId: N
// Payload size: ..."), among a monitor's messages; 0 when none. The
// subscription-matched reset may come after the first samples (Fast DDS 3 on
// a loaded machine): the exit report counts from this id.
int64_t LastBaselineId(const std::vector<std::string>& messages, const std::string& topic, uint32_t index);

// The publisher's summary line of one topic.
std::string Summary(const std::string& topic, uint32_t index, uint64_t written, uint64_t skipped = 0,
                    uint64_t repeated = 0, uint64_t corrupted = 0, uint64_t failures = 0);

// `text` with every regular-expression metacharacter escaped.
std::string RegexEscaped(const std::string& text);

} // namespace lumo::test
