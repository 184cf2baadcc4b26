#include "lumo/ddsDiagnosis/DiscoveryWatch.h"

#include <algorithm>
#include <iterator>
#include <set>

#include <log4cplus/loggingmacros.h>

namespace lumo::ddsDiagnosis {

DiscoveryWatch::DiscoveryWatch(log4cplus::Logger& logger, Clock::duration holdBack)
    : logger_(logger)
    , holdBack_(holdBack)
{
}

DiscoveryWatch::~DiscoveryWatch()
{
    Deactivate();
}

void DiscoveryWatch::AddReader(uint32_t index, const std::string& topicName, const EndpointQos& qos,
                               const std::string& guid)
{
    std::lock_guard lock(mutex_);
    readers_.push_back({index, topicName, qos, guid});
}

void DiscoveryWatch::WatchEveryTopic()
{
    std::lock_guard lock(mutex_);
    everyTopic_ = true;
}

void DiscoveryWatch::AddLateReader(uint32_t index, const std::string& topicName, const EndpointQos& qos,
                                   const std::string& guid)
{
    std::lock_guard lock(mutex_);
    readers_.push_back({index, topicName, qos, guid});
    if (!active_) {
        return;
    }
    writers_.ForEach([this, &topicName](const std::string&, const DiscoveredWriter& writer) {
        if (writer.topicName == topicName) {
            ExplainLocked(writer, false);
        }
    });
}

std::vector<DiscoveredWriter> DiscoveryWatch::WritersOn(const std::string& topicName) const
{
    std::vector<DiscoveredWriter> writers;
    std::lock_guard lock(mutex_);
    writers_.ForEach([&](const std::string&, const DiscoveredWriter& writer) {
        if (writer.topicName == topicName) {
            writers.push_back(writer);
        }
    });
    return writers;
}

std::vector<std::string> DiscoveryWatch::TopicsWithWriters() const
{
    std::set<std::string> topics;
    std::lock_guard lock(mutex_);
    writers_.ForEach([&](const std::string&, const DiscoveredWriter& writer) { topics.insert(writer.topicName); });
    return {topics.begin(), topics.end()};
}

void DiscoveryWatch::SetMatchedWriters(MatchedWriters matched)
{
    std::lock_guard lock(mutex_);
    matchedWriters_ = std::move(matched);
}

void DiscoveryWatch::SetSuggestedProfiles(std::vector<std::pair<std::string, EndpointQos>> profiles)
{
    std::lock_guard lock(mutex_);
    suggested_ = std::move(profiles);
}

void DiscoveryWatch::SetSecurityRefusalHook(SecurityRefusalHook hook)
{
    std::lock_guard lock(mutex_);
    securityRefused_ = std::move(hook);
}

void DiscoveryWatch::Activate()
{
    std::lock_guard lock(mutex_);
    if (active_) {
        return;
    }
    active_ = true;
    // Enabling paired the readers with the writers known so far, and their
    // listeners have reported any incompatible QoS already.
    writers_.ForEach([this](const std::string&, const DiscoveredWriter& writer) { ExplainLocked(writer, false); });
    holdBackTimer_ = std::thread([this] { RunHoldBackTimer(); });
}

void DiscoveryWatch::Deactivate()
{
    std::thread timer;
    {
        std::unique_lock lock(mutex_);
        active_ = false;
        // A refusal told on another thread may be asking the readers which
        // writers they match: they must outlive the question. Once it is
        // answered, no refusal comes in any more.
        askedMatched_.wait(lock, [this] { return askingMatched_ == 0; });
        // A refusal whose grace has not passed is told now: the readers go.
        ExplainRefusedPairings(lock, false);
        LogWaitingLocked(false);
        readers_.clear();
        timer = std::move(holdBackTimer_);
        waitingChanged_.notify_all();
    }
    if (timer.joinable()) {
        timer.join();
    }
}

void DiscoveryWatch::ParticipantDiscovered(const componentFramework::DiscoveredParticipant& participant)
{
    std::lock_guard lock(mutex_);
    if (participants_.Put(participant.guidPrefix, participant)) {
        ++unnamedParticipants_;
    }
}

void DiscoveryWatch::ParticipantChanged(const componentFramework::DiscoveredParticipant& participant)
{
    // One that was pushed out stays counted among the unnamed.
    std::lock_guard lock(mutex_);
    if (participants_.Contains(participant.guidPrefix)) {
        participants_.Put(participant.guidPrefix, participant);
    }
}

void DiscoveryWatch::ParticipantRemoved(const std::string& guidPrefix)
{
    std::lock_guard lock(mutex_);
    if (!participants_.Erase(guidPrefix) && unnamedParticipants_ > 0) {
        --unnamedParticipants_;
    }
}

size_t DiscoveryWatch::KnownParticipants() const
{
    std::lock_guard lock(mutex_);
    return participants_.Size() + unnamedParticipants_;
}

std::vector<std::string> DiscoveryWatch::ParticipantAddresses(const std::string& guidPrefix) const
{
    std::lock_guard lock(mutex_);
    const auto* participant = participants_.Find(guidPrefix);
    return participant == nullptr ? std::vector<std::string>{} : participant->addresses;
}

void DiscoveryWatch::WriterDiscovered(const DiscoveredWriter& discovered)
{
    std::lock_guard lock(mutex_);
    // Only the writers on a topic read here are worth remembering.
    const bool watched = std::any_of(readers_.begin(), readers_.end(), [&discovered](const Reader& reader) {
        return reader.topicName == discovered.topicName;
    });
    if (!watched && active_ && !everyTopic_) {
        return;
    }
    DiscoveredWriter writer = discovered;
    if (const auto* participant = participants_.Find(writer.participantPrefix); participant != nullptr) {
        writer.participantName = participant->name;
    }
    if (active_) {
        ExplainLocked(writer, true);
    }
    const std::string guid = writer.guid;
    writers_.Put(guid, std::move(writer));
}

void DiscoveryWatch::WriterRemoved(const std::string& guid)
{
    // What was explained stays explained: a writer that keeps leaving and
    // coming back (a flapping link) is the same writer, told once.
    std::lock_guard lock(mutex_);
    writers_.Erase(guid);
}

void DiscoveryWatch::PairingRefused(const std::string& readerGuid)
{
    std::unique_lock lock(mutex_);
    const auto reader = std::find_if(readers_.begin(), readers_.end(),
                                     [&readerGuid](const Reader& r) { return r.guid == readerGuid; });
    if (!active_ || reader == readers_.end()) {
        return;
    }
    const uint32_t index = reader->index;
    // The refused writer is among those known now, unexplained, whose QoS
    // matches; it may leave before the grace has passed.
    std::vector<DiscoveredWriter> candidates;
    writers_.ForEach([&](const std::string& guid, const DiscoveredWriter& writer) {
        bool qosIncompatible = false;
        if (writer.topicName == reader->topicName && !explained_.Contains({guid, index}) &&
            MatchDifferences(writer.qos, reader->qos, qosIncompatible).empty()) {
            candidates.push_back(writer);
        }
    });
    candidates = Unmatched(lock, index, std::move(candidates));
    if (!active_ || candidates.empty()) {
        return;
    }
    auto& refusal = refusals_[index];
    refusal.due = Clock::now() + PAIRING_GRACE;
    for (auto& candidate : candidates) {
        const bool known = std::any_of(refusal.candidates.begin(), refusal.candidates.end(),
                                       [&candidate](const DiscoveredWriter& w) { return w.guid == candidate.guid; });
        if (!known && refusal.candidates.size() < MAX_REMEMBERED) {
            refusal.candidates.push_back(std::move(candidate));
        }
    }
    waitingChanged_.notify_all();
}

std::vector<DiscoveredWriter> DiscoveryWatch::Unmatched(std::unique_lock<std::mutex>& lock, uint32_t readerIndex,
                                                        std::vector<DiscoveredWriter> writers)
{
    const auto matchedWriters = matchedWriters_;
    if (!matchedWriters) {
        return writers;
    }
    ++askingMatched_;
    lock.unlock();
    const auto matched = matchedWriters(readerIndex);
    lock.lock();
    --askingMatched_;
    askedMatched_.notify_all();
    writers.erase(std::remove_if(writers.begin(), writers.end(),
                                 [&matched](const DiscoveredWriter& writer) {
                                     return std::find(matched.begin(), matched.end(), writer.guid) != matched.end();
                                 }),
                  writers.end());
    return writers;
}

void DiscoveryWatch::IncompatibleQosReported(uint32_t readerIndex)
{
    std::lock_guard lock(mutex_);
    const auto waiting = waiting_.find(readerIndex);
    if (waiting == waiting_.end()) {
        return;
    }
    for (const auto& line : waiting->second) {
        Log(line.text);
    }
    waiting_.erase(waiting);
}

void DiscoveryWatch::ExplainLocked(const DiscoveredWriter& writer, bool deferIncompatible)
{
    for (const auto& reader : readers_) {
        if (reader.topicName != writer.topicName || explained_.Contains({writer.guid, reader.index})) {
            continue;
        }
        bool qosIncompatible = false;
        const auto differences = MatchDifferences(writer.qos, reader.qos, qosIncompatible);
        if (differences.empty()) {
            continue;
        }
        std::string securityReason;
        for (const auto& difference : SecurityDifferences(writer.qos.security, reader.qos.security)) {
            securityReason += (securityReason.empty() ? "" : "; ") + difference;
        }
        ExplainLine(reader, writer, differences, SuggestedProfile(writer.qos, reader.qos), securityReason,
                    deferIncompatible, qosIncompatible);
    }
}

void DiscoveryWatch::ExplainLine(const Reader& reader, const DiscoveredWriter& writer,
                                 const std::vector<std::string>& differences, const std::string& profile,
                                 const std::string& securityReason, bool deferIncompatible, bool qosIncompatible)
{
    explained_.Put({writer.guid, reader.index}, true);
    if (securityRefused_ && !securityReason.empty()) {
        securityRefused_(reader.index, writer, securityReason);
    }
    if (!logger_.isEnabledFor(log4cplus::ERROR_LOG_LEVEL)) {
        return;
    }
    std::string text = "[" + reader.topicName + "][" + std::to_string(reader.index) + "] " +
                       MismatchExplanation(writer, differences, profile);
    if (deferIncompatible && qosIncompatible) {
        auto& waiting = waiting_[reader.index];
        if (waiting.size() < MAX_REMEMBERED) {
            waiting.push_back({Clock::now() + holdBack_, std::move(text)});
            waitingChanged_.notify_all();
        }
    } else {
        Log(text);
    }
}

void DiscoveryWatch::ExplainRefusedPairings(std::unique_lock<std::mutex>& lock, bool dueOnly)
{
    const auto now = Clock::now();
    std::vector<std::pair<uint32_t, std::vector<DiscoveredWriter>>> due;
    for (auto refusal = refusals_.begin(); refusal != refusals_.end();) {
        if (dueOnly && refusal->second.due > now) {
            ++refusal;
            continue;
        }
        due.emplace_back(refusal->first, std::move(refusal->second.candidates));
        refusal = refusals_.erase(refusal);
    }
    for (auto& [index, candidates] : due) {
        const auto refused = Unmatched(lock, index, std::move(candidates));
        const auto reader = std::find_if(readers_.begin(), readers_.end(),
                                         [index = index](const Reader& r) { return r.index == index; });
        if (reader == readers_.end()) {
            continue;
        }
        for (const auto& writer : refused) {
            if (!explained_.Contains({writer.guid, index})) {
                const std::string reason = RefusedPairing(writer.qos.security, reader->qos.security);
                ExplainLine(*reader, writer, {reason}, {}, reason, false, false);
            }
        }
    }
}

void DiscoveryWatch::LogWaitingLocked(bool dueOnly)
{
    const auto now = Clock::now();
    for (auto reader = waiting_.begin(); reader != waiting_.end();) {
        auto& lines = reader->second;
        const auto firstKept = std::stable_partition(lines.begin(), lines.end(),
                                                     [&](const Waiting& line) { return !dueOnly || line.due <= now; });
        std::for_each(lines.begin(), firstKept, [this](const Waiting& line) { Log(line.text); });
        lines.erase(lines.begin(), firstKept);
        reader = lines.empty() ? waiting_.erase(reader) : std::next(reader);
    }
}

// An explanation whose incompatible-QoS line never comes (the status was
// not reported, or reported for another writer first) is not lost: it is
// logged once its hold-back has passed.
void DiscoveryWatch::RunHoldBackTimer()
{
    std::unique_lock lock(mutex_);
    while (active_) {
        LogWaitingLocked(true);
        ExplainRefusedPairings(lock, true);
        if (!active_) {
            break;
        }
        auto next = Clock::time_point::max();
        for (const auto& [reader, lines] : waiting_) {
            for (const auto& line : lines) {
                next = std::min(next, line.due);
            }
        }
        for (const auto& [reader, refusal] : refusals_) {
            next = std::min(next, refusal.due);
        }
        if (next == Clock::time_point::max()) {
            waitingChanged_.wait(lock);
        } else {
            waitingChanged_.wait_until(lock, next);
        }
    }
}

void DiscoveryWatch::Log(const std::string& text) const
{
    log4cplus::detail::macro_forced_log(logger_, log4cplus::ERROR_LOG_LEVEL, text, __FILE__, __LINE__,
                                        LOG4CPLUS_MACRO_FUNCTION());
}

std::string DiscoveryWatch::SuggestedProfile(const EndpointQos& writer, const EndpointQos& reader) const
{
    if (!SecurityMatches(writer.security, reader.security)) {
        return {};
    }
    for (const auto& [name, readerQos] : suggested_) {
        bool qosIncompatible = false;
        if (MatchDifferences(writer, readerQos, qosIncompatible).empty()) {
            return name;
        }
    }
    return {};
}

} // namespace lumo::ddsDiagnosis
