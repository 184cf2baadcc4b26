#include "DiscoveryWatch.h"

#include <algorithm>

#include <log4cplus/loggingmacros.h>

namespace lumo::componentFramework {

namespace {

// Bounds on what discovery can make this process remember: a peer that
// announces endless new participants or writers costs at most this much.
constexpr size_t MAX_REMEMBERED = 4096;

template <typename Container>
void MakeRoom(Container& container)
{
    if (container.size() >= MAX_REMEMBERED) {
        container.clear();
    }
}

} // namespace

void DiscoveryWatch::AddReader(uint32_t index, const std::string& topicName, const EndpointQos& qos)
{
    std::lock_guard lock(mutex_);
    readers_.push_back({index, topicName, qos});
}

void DiscoveryWatch::SetSuggestedProfiles(std::vector<std::pair<std::string, EndpointQos>> profiles)
{
    std::lock_guard lock(mutex_);
    suggested_ = std::move(profiles);
}

void DiscoveryWatch::Activate()
{
    std::lock_guard lock(mutex_);
    active_ = true;
    // Enabling paired the readers with the writers known so far, and their
    // listeners have reported any incompatible QoS already.
    for (const auto& [guid, writer] : writers_) {
        ExplainLocked(writer, false);
    }
}

void DiscoveryWatch::Deactivate()
{
    std::lock_guard lock(mutex_);
    active_ = false;
    readers_.clear();
    pending_.clear();
}

void DiscoveryWatch::ParticipantDiscovered(const std::string& prefix, const std::string& name)
{
    std::lock_guard lock(mutex_);
    if (participantNames_.count(prefix) == 0) {
        MakeRoom(participantNames_);
    }
    participantNames_[prefix] = name;
}

void DiscoveryWatch::ParticipantRemoved(const std::string& prefix)
{
    std::lock_guard lock(mutex_);
    participantNames_.erase(prefix);
}

size_t DiscoveryWatch::KnownParticipants() const
{
    std::lock_guard lock(mutex_);
    return participantNames_.size();
}

void DiscoveryWatch::WriterDiscovered(DiscoveredWriter writer)
{
    std::lock_guard lock(mutex_);
    if (const auto name = participantNames_.find(writer.participantPrefix); name != participantNames_.end()) {
        writer.participantName = name->second;
    }
    // Only the writers on a topic read here are worth remembering.
    const bool watched = std::any_of(readers_.begin(), readers_.end(),
                                     [&writer](const Reader& reader) { return reader.topicName == writer.topicName; });
    if (!watched && active_) {
        return;
    }
    if (writers_.count(writer.guid) == 0) {
        MakeRoom(writers_);
    }
    const auto& stored = writers_[writer.guid] = std::move(writer);
    if (active_) {
        ExplainLocked(stored, true);
    }
}

void DiscoveryWatch::WriterRemoved(const std::string& guid)
{
    // What was explained stays explained: a writer that keeps leaving and
    // coming back (a flapping link) is the same writer, told once.
    std::lock_guard lock(mutex_);
    writers_.erase(guid);
}

void DiscoveryWatch::IncompatibleQosReported(uint32_t readerIndex)
{
    std::lock_guard lock(mutex_);
    const auto waiting = pending_.find(readerIndex);
    if (waiting == pending_.end()) {
        return;
    }
    for (const auto& text : waiting->second) {
        Log(text);
    }
    pending_.erase(waiting);
}

void DiscoveryWatch::ExplainLocked(const DiscoveredWriter& writer, bool deferIncompatible)
{
    for (const auto& reader : readers_) {
        if (reader.topicName != writer.topicName || explained_.count({writer.guid, reader.index}) != 0) {
            continue;
        }
        bool qosIncompatible = false;
        const auto differences = MatchDifferences(writer.qos, reader.qos, qosIncompatible);
        if (differences.empty()) {
            continue;
        }
        MakeRoom(explained_);
        explained_.insert({writer.guid, reader.index});
        if (!logger_.isEnabledFor(log4cplus::ERROR_LOG_LEVEL)) {
            continue;
        }
        std::string text = "[" + reader.topicName + "][" + std::to_string(reader.index) + "] " +
                           MismatchExplanation(writer, differences, SuggestedProfile(writer.qos));
        if (deferIncompatible && qosIncompatible) {
            auto& waiting = pending_[reader.index];
            if (waiting.size() < MAX_REMEMBERED) {
                waiting.push_back(std::move(text));
            }
        } else {
            Log(text);
        }
    }
}

void DiscoveryWatch::Log(const std::string& text) const
{
    log4cplus::detail::macro_forced_log(logger_, log4cplus::ERROR_LOG_LEVEL, text, __FILE__, __LINE__,
                                        LOG4CPLUS_MACRO_FUNCTION());
}

std::string DiscoveryWatch::SuggestedProfile(const EndpointQos& writer) const
{
    for (const auto& [name, readerQos] : suggested_) {
        bool qosIncompatible = false;
        if (MatchDifferences(writer, readerQos, qosIncompatible).empty()) {
            return name;
        }
    }
    return {};
}

} // namespace lumo::componentFramework
