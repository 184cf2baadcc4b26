#include "failOn.h"

#include <algorithm>

namespace quillModel {

std::string_view ConditionName(Condition condition)
{
    switch (condition) {
    case Condition::Missing:
        return "missing";
    case Condition::Duplicates:
        return "duplicates";
    case Condition::Restart:
        return "restart";
    case Condition::MiddlewareLoss:
        return "middleware-loss";
    case Condition::Qos:
        return "qos";
    case Condition::Lost:
        return "lost";
    case Condition::Rejected:
        return "rejected";
    case Condition::Deadline:
        return "deadline";
    case Condition::Pattern:
        return "pattern";
    case Condition::NoData:
        return "no-data";
    }
    return "unknown";
}

std::optional<Condition> ConditionNamed(std::string_view name)
{
    for (const auto condition : ALL_CONDITIONS) {
        if (ConditionName(condition) == name) {
            return condition;
        }
    }
    return std::nullopt;
}

std::string ConditionNames()
{
    std::string names;
    for (const auto condition : ALL_CONDITIONS) {
        names += names.empty() ? "" : ", ";
        names += ConditionName(condition);
    }
    return names;
}

std::optional<std::vector<Condition>> ParseConditions(std::string_view list)
{
    std::vector<Condition> conditions;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        const auto name = list.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        const auto condition = ConditionNamed(name);
        if (!condition) {
            return std::nullopt;
        }
        if (std::find(conditions.begin(), conditions.end(), *condition) == conditions.end()) {
            conditions.push_back(*condition);
        }
        if (comma == std::string_view::npos) {
            return conditions;
        }
        start = comma + 1;
    }
}

bool Happened(Condition condition, const ReaderSnapshot& reader)
{
    // The unlisted writers' counts weigh as much as any stream's.
    const auto any = [&](auto field) {
        return reader.unlisted.*field != 0 ||
               std::any_of(reader.streams.begin(), reader.streams.end(),
                           [&](const StreamSnapshot& stream) { return stream.*field != 0; });
    };
    switch (condition) {
    case Condition::Missing:
        return any(&StreamSnapshot::missingIds);
    case Condition::Duplicates:
        return any(&StreamSnapshot::duplicates);
    case Condition::Restart:
        return reader.restarts != 0 || any(&StreamSnapshot::backwardJumps);
    case Condition::MiddlewareLoss:
        return any(&StreamSnapshot::middlewareLost);
    case Condition::Qos:
        return reader.events.incompatibleQos != 0;
    case Condition::Lost:
        return reader.events.samplesLost != 0;
    case Condition::Rejected:
        return reader.events.samplesRejected != 0;
    case Condition::Deadline:
        return reader.events.deadlinesMissed != 0;
    case Condition::Pattern:
        return any(&StreamSnapshot::checksFailed);
    case Condition::NoData:
        return reader.Samples() == 0;
    }
    return false;
}

Verdict Judge(const std::vector<ReaderSnapshot>& readers, const std::vector<Condition>& failOn, int runStatus)
{
    Verdict verdict;
    for (const auto condition : ALL_CONDITIONS) {
        const bool happened = std::any_of(readers.begin(), readers.end(),
                                          [&](const ReaderSnapshot& reader) { return Happened(condition, reader); });
        if (!happened) {
            continue;
        }
        verdict.happened.push_back(condition);
        if (std::find(failOn.begin(), failOn.end(), condition) != failOn.end()) {
            verdict.failed.push_back(condition);
        }
    }
    verdict.exitStatus = verdict.failed.empty() ? runStatus : FAIL_ON_EXIT_STATUS;
    return verdict;
}

} // namespace quillModel
