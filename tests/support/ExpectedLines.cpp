#include "ExpectedLines.h"

#include <regex>

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

int64_t LastBaselineId(const std::vector<std::string>& messages, const std::string& topic, uint32_t index)
{
    const std::regex baseline(RegexEscaped(Prefix(topic, index) + " SampleId: ") + "([0-9]+) Payload size: ");
    int64_t id = 0;
    for (const auto& message : messages) {
        std::smatch match;
        if (std::regex_search(message, match, baseline)) {
            id = std::stoll(match[1]);
        }
    }
    return id;
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
