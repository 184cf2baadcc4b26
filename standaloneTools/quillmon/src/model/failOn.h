// The conditions --fail-on can name, and the verdict of a run against them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "readerTally.h"

namespace quillModel {

enum class Condition
{
    Missing,        // ids missing in a writer's stream
    Duplicates,     // an id repeated
    Restart,        // ids started over (a restarted writer, or a backward jump)
    MiddlewareLoss, // sequence numbers never delivered
    Qos,            // an incompatible writer
    Lost,           // a sample-lost event
    Rejected,       // a sample-rejected event
    Deadline,       // a missed deadline
    Pattern,        // a failed payload check
    NoData,         // a reader that took no sample
};

inline constexpr Condition ALL_CONDITIONS[] = {Condition::Missing,        Condition::Duplicates, Condition::Restart,
                                               Condition::MiddlewareLoss, Condition::Qos,        Condition::Lost,
                                               Condition::Rejected,       Condition::Deadline,   Condition::Pattern,
                                               Condition::NoData};

std::string_view ConditionName(Condition condition);
std::optional<Condition> ConditionNamed(std::string_view name);
// "missing, duplicates, ...": every name, for messages.
std::string ConditionNames();

// The conditions of a comma-separated list ("missing,no-data"), each once,
// in the list's order; nothing when a name is unknown or the list empty.
std::optional<std::vector<Condition>> ParseConditions(std::string_view list);

// Whether `condition` happened on the reader.
bool Happened(Condition condition, const ReaderSnapshot& reader);

struct Verdict
{
    std::vector<Condition> happened; // every condition that happened on any reader
    std::vector<Condition> failed;   // those of them that --fail-on names
    int exitStatus = 0;              // 2 when any failed, otherwise the run's own
};

inline constexpr int FAIL_ON_EXIT_STATUS = 2;

Verdict Judge(const std::vector<ReaderSnapshot>& readers, const std::vector<Condition>& failOn, int runStatus);

} // namespace quillModel
