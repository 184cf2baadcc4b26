// Watches the writers that discovery reports on the topics of this
// participant's readers, and explains once, at ERROR, each one that a reader
// cannot read: which policies differ, and which shipped profile would read it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <log4cplus/logger.h>

#include "lumo/componentFramework/DiscoveryRecords.h"
#include "lumo/ddsDiagnosis/RecentMap.h"
#include "lumo/ddsDiagnosis/WriterMatch.h"

namespace lumo::ddsDiagnosis {

class DiscoveryWatch : public componentFramework::DiscoveryObserver
{
public:
    using Clock = std::chrono::steady_clock;

    // Bounds on what discovery can make this process remember: a peer that
    // announces endless new participants or writers costs at most this much.
    static constexpr size_t MAX_REMEMBERED = 4096;
    // How long an explanation waits for its reader's incompatible-QoS line
    // before it is logged anyway. Fast DDS reports that status right after
    // discovery, on the same thread.
    static constexpr std::chrono::seconds HOLD_BACK{2};

    // A writer that DDS Security keeps from a reader, with the differences
    // that keep it (joined by "; "). Called on Fast DDS's threads, once per
    // writer and reader; it must not block.
    using SecurityRefusalHook =
        std::function<void(uint32_t readerIndex, const DiscoveredWriter& writer, const std::string& reason)>;

    // The writers matched with a reader now (GUIDs). It may call into DDS:
    // never called with the watch's lock held.
    using MatchedWriters = std::function<std::vector<std::string>(uint32_t readerIndex)>;
    // How long after DDS Security refused to pair a reader its unmatched
    // writers may still be matched before they are named: one that security
    // accepts is matched once the keys are exchanged, in milliseconds.
    static constexpr std::chrono::seconds PAIRING_GRACE{5};

    explicit DiscoveryWatch(log4cplus::Logger& logger, Clock::duration holdBack = HOLD_BACK);
    ~DiscoveryWatch() override;

    DiscoveryWatch(const DiscoveryWatch&) = delete;
    DiscoveryWatch& operator=(const DiscoveryWatch&) = delete;

    // A local reader (its index is its position among the readers) and the
    // profiles to suggest, in order of preference. Nothing is explained until
    // Activate: a disabled reader is not paired with anything yet.
    void AddReader(uint32_t index, const std::string& topicName, const EndpointQos& qos, const std::string& guid = {});
    void SetMatchedWriters(MatchedWriters matched);
    void SetSuggestedProfiles(std::vector<std::pair<std::string, EndpointQos>> profiles);
    void SetSecurityRefusalHook(SecurityRefusalHook hook);
    // The readers are enabled: explains the writers already known.
    void Activate();
    // The readers are going: what still waits is logged, then nothing more.
    void Deactivate();

    // Discovery, from Fast DDS's threads.
    void ParticipantDiscovered(const componentFramework::DiscoveredParticipant& participant) override;
    void ParticipantChanged(const componentFramework::DiscoveredParticipant& participant) override;
    void ParticipantRemoved(const std::string& guidPrefix) override;
    void WriterDiscovered(const DiscoveredWriter& writer) override;
    void WriterRemoved(const std::string& guid) override;
    // DDS Security would not pair one of this participant's readers (its
    // GUID) with a writer (ddsSecurity's AuthenticationWatch tells it, from
    // Fast DDS's log). Fast DDS names only the reader: the writers on its
    // topic known then, unexplained and unmatched, that are still unmatched
    // once PAIRING_GRACE has passed (or the readers go) are the refused ones.
    void PairingRefused(const std::string& readerGuid);
    // The reader's listener has just reported an incompatible QoS: the
    // explanations waiting for that line follow it now.
    void IncompatibleQosReported(uint32_t readerIndex);
    // Remember the writers of every topic, not only of those read now:
    // readers are to be made for them. Before discovery starts.
    void WatchEveryTopic();
    // A reader made after Activate: the writers already known on its topic
    // are explained at once.
    void AddLateReader(uint32_t index, const std::string& topicName, const EndpointQos& qos, const std::string& guid);
    // The writers known now on a topic, by GUID, and the topics that have
    // any, sorted (at most MAX_REMEMBERED writers are known).
    std::vector<DiscoveredWriter> WritersOn(const std::string& topicName) const;
    std::vector<std::string> TopicsWithWriters() const;
    // Remote participants known now (a discovery server included).
    size_t KnownParticipants() const;
    // The unicast IPv4 addresses a known participant announced; empty when
    // it announced none or is not known (left, or pushed out by newer ones).
    std::vector<std::string> ParticipantAddresses(const std::string& guidPrefix) const;

private:
    struct Reader
    {
        uint32_t index;
        std::string topicName;
        EndpointQos qos;
        std::string guid;
    };
    struct Waiting
    {
        Clock::time_point due;
        std::string text;
    };

    // `deferIncompatible`: an incompatible QoS is reported by the reader's
    // listener only after discovery has told us of the writer, so its
    // explanation waits for that line; the others are logged at once.
    void ExplainLocked(const DiscoveredWriter& writer, bool deferIncompatible);
    void LogWaitingLocked(bool dueOnly);
    // The refused pairings (whose grace has passed, when `dueOnly`). Both
    // unlock `lock` to ask which writers are matched.
    void ExplainRefusedPairings(std::unique_lock<std::mutex>& lock, bool dueOnly);
    std::vector<DiscoveredWriter> Unmatched(std::unique_lock<std::mutex>& lock, uint32_t readerIndex,
                                            std::vector<DiscoveredWriter> writers);
    void ExplainLine(const Reader& reader, const DiscoveredWriter& writer, const std::vector<std::string>& differences,
                     const std::string& profile, const std::string& securityReason, bool deferIncompatible,
                     bool qosIncompatible);
    void RunHoldBackTimer();
    void Log(const std::string& text) const;
    // Empty when none would read it, or when DDS Security keeps it away
    // (no profile changes that).
    std::string SuggestedProfile(const EndpointQos& writer, const EndpointQos& reader) const;

    log4cplus::Logger& logger_;
    const Clock::duration holdBack_;
    mutable std::mutex mutex_;
    bool active_ = false;
    bool everyTopic_ = false;
    std::vector<Reader> readers_;
    std::vector<std::pair<std::string, EndpointQos>> suggested_;
    SecurityRefusalHook securityRefused_;
    MatchedWriters matchedWriters_;
    // Threads in matchedWriters_ now; Deactivate waits for none.
    size_t askingMatched_ = 0;
    std::condition_variable askedMatched_;
    // Readers whose pairing DDS Security refused: the writers that may be
    // the refused ones, named when still unmatched at `due`.
    struct Refusal
    {
        Clock::time_point due;
        std::vector<DiscoveredWriter> candidates;
    };
    std::map<uint32_t, Refusal> refusals_;
    RecentMap<std::string, componentFramework::DiscoveredParticipant> participants_{MAX_REMEMBERED};
    // Participants pushed out of participants_ and not yet removed: still
    // counted, no longer named.
    size_t unnamedParticipants_ = 0;
    RecentMap<std::string, DiscoveredWriter> writers_{MAX_REMEMBERED};
    // (writer GUID, reader index) pairs already explained: a writer that
    // keeps updating its QoS, or leaves and comes back, is explained once
    // per reader.
    RecentMap<std::pair<std::string, uint32_t>, bool> explained_{MAX_REMEMBERED};
    // Explanation lines waiting for their reader's incompatible-QoS line.
    std::map<uint32_t, std::vector<Waiting>> waiting_;
    std::condition_variable waitingChanged_;
    std::thread holdBackTimer_;
};

} // namespace lumo::ddsDiagnosis
