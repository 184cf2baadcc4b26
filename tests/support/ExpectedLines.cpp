#include "ExpectedLines.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <regex>

#include <gtest/gtest.h>

namespace lumo::test {

std::string Prefix(const std::string& topic, uint32_t index)
{
    return "[" + topic + "][" + std::to_string(index) + "]";
}

std::string ExitReport(const std::string& topic, uint32_t index, int64_t samples, uint64_t lost)
{
    return " " + Prefix(topic, index) + " #samples: " + std::to_string(samples) +
           " #lost samples: " + std::to_string(lost);
}

std::vector<uint32_t> PublishedIds(uint32_t count, uint32_t start, uint32_t increment, uint32_t skipEvery,
                                   uint32_t repeat)
{
    std::vector<uint32_t> ids{start};
    for (uint32_t n = 1; n < count; ++n) {
        uint32_t id = ids.back();
        if (n != repeat) {
            id += increment * (n % skipEvery == 0 ? 2u : 1u);
        }
        ids.push_back(id);
    }
    return ids;
}

int64_t CountSinceLastReset(const std::vector<std::string>& info, const std::string& prefix,
                            const std::vector<uint32_t>& ids)
{
    bool lastResetWasMatch = false;
    std::optional<uint32_t> firstId;
    bool firstAfterMatch = false;
    const std::string sampleIdHead = prefix + " SampleId: ";
    for (const auto& line : info) {
        if (line == prefix) {
            lastResetWasMatch = true;
        } else if (line.rfind(prefix + " alive_count: ", 0) == 0) {
            lastResetWasMatch = false;
        } else if (line.rfind(sampleIdHead, 0) == 0 && line.find(" Payload size: ") != line.npos) {
            firstId = static_cast<uint32_t>(std::stoul(line.substr(sampleIdHead.size())));
            firstAfterMatch = lastResetWasMatch;
        }
    }
    const auto first = firstId ? std::find(ids.begin(), ids.end(), *firstId) : ids.end();
    if (first == ids.end()) {
        ADD_FAILURE() << "no first sample after a reset among the published ids";
        return INT64_MIN;
    }
    return static_cast<int64_t>(ids.end() - first) - (firstAfterMatch ? 1 : 0);
}

std::vector<uint32_t> IdsFromZero(uint32_t count)
{
    return PublishedIds(count, 0, 1, UINT32_MAX, UINT32_MAX);
}

std::string Summary(const std::string& topic, uint32_t index, uint64_t written, uint64_t skipped, uint64_t repeated,
                    uint64_t corrupted, uint64_t failures)
{
    return Prefix(topic, index) + " samples written: " + std::to_string(written) +
           " ids skipped: " + std::to_string(skipped) + " ids repeated: " + std::to_string(repeated) +
           " samples corrupted: " + std::to_string(corrupted) + " write failures: " + std::to_string(failures);
}

std::string RegexEscaped(const std::string& text)
{
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

} // namespace lumo::test
