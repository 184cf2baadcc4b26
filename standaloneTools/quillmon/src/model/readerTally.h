// What one reader saw, per writer stream, kept for the views (the report,
// the metrics) and for the --fail-on verdict. Fed by a reader's listener
// with plain sample facts (id, payload size) and Fast DDS's sample info,
// whatever the sample's type. The data callback (serialised per reader by the
// listener) is the only writer of the streams' counters: it updates them
// with relaxed single-writer stores, so the views' threads read them without
// a lock. A stream's slot changes hands (a new writer, a departed one's slot
// reused) under a mutex that the views' snapshots and the status
// callbacks take too; the data callback takes it only then. Status
// callbacks, which Fast DDS runs on other threads and concurrently, share
// only atomics, that mutex and a small event queue.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fastdds/dds/core/status/BaseStatus.hpp>
#include <fastdds/dds/core/status/DeadlineMissedStatus.hpp>
#include <fastdds/dds/core/status/IncompatibleQosStatus.hpp>
#include <fastdds/dds/core/status/LivelinessChangedStatus.hpp>
#include <fastdds/dds/core/status/SampleRejectedStatus.hpp>
#include <fastdds/dds/core/status/SubscriptionMatchedStatus.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>

#include "latencyHistogram.h"
#include "streamContinuity.h"

namespace quillModel {

// The outcome of the payload check run on a sample.
enum class PayloadVerdict : uint8_t
{
    NotChecked,
    Passed,
    Failed
};

// What the tally needs of a sample's data, whatever its type: the id the
// publisher gave it and its payload's size. A sample of a type read as raw
// bytes may carry no id this monitor knows of: its stream is then judged by
// its RTPS sequence numbers alone.
struct SampleFacts
{
    uint32_t id = 0;
    size_t payloadBytes = 0;
    bool idKnown = true;
};

// A writer, by its publication handle (its GUID's 16 bytes).
struct WriterKey
{
    std::array<uint8_t, 16> bytes{};
    bool operator==(const WriterKey&) const = default;
    bool operator<(const WriterKey& other) const { return bytes < other.bytes; }
};

WriterKey KeyOf(const eprosima::fastdds::dds::InstanceHandle_t& handle);
// "01.0f.92.14.bf.4e.38.6a.de.26.0d.58|0.0.1.3": GUID prefix, then entity id.
std::string GuidText(const WriterKey& key);
// The participant's GUID prefix alone, as discovery names it: "01.0f...0d.58".
std::string PrefixText(const WriterKey& key);

// The unicast IPv4 addresses that the participant with this GUID prefix
// announced; empty when none is known.
using HostLookup = std::function<std::vector<std::string>(const std::string& guidPrefix)>;

// What the reader's status events last said of a writer.
enum class Presence : uint8_t
{
    Alive,
    NotAlive,
    Unmatched
};
const char* PresenceName(Presence presence);

// Whether a change the reader refused is never sent again, leaving a hole in
// its writer's sequence numbers: Fast DDS marks a change refused for an
// instance limit (or, on 3.x, an unknown instance) as irrelevant; a best-effort writer
// never repeats anything. A reliable writer repeats a change refused for
// room in the history until it is taken.
bool RefusalLeavesAHole(eprosima::fastdds::dds::SampleRejectedStatusKind reason, bool reliable);

struct StreamSnapshot
{
    std::string writer;
    std::string restartOf; // GUID text of the stream this one restarted; empty when none
    Presence presence = Presence::Alive;
    uint64_t samples = 0;
    uint64_t payloadBytes = 0;
    uint64_t missingIds = 0;
    uint64_t gaps = 0;
    uint64_t duplicates = 0;
    uint64_t backwardJumps = 0;
    uint64_t middlewareLost = 0;
    uint64_t monitorRejected = 0;
    uint64_t publisherSkipped = 0;
    uint64_t checksPassed = 0;
    uint64_t checksFailed = 0;
    uint64_t undecodable = 0;
    uint32_t firstId = 0;
    uint32_t lastId = 0;
    uint64_t lastSequence = 0;
    uint64_t latencySamples = 0;
    uint64_t negativeLatencies = 0;
    int64_t latencyMinNs = 0;
    int64_t latencyMaxNs = 0;
    std::vector<uint64_t> latencyCounts;
    uint64_t latencySumNs = 0; // of the latencies in latencyCounts
};

// Status events counted per reader.
struct EventCounts
{
    uint64_t matched = 0;
    uint64_t unmatched = 0;
    uint64_t deadlinesMissed = 0;
    uint64_t incompatibleQos = 0;
    uint64_t samplesLost = 0;
    uint64_t samplesRejected = 0;
    uint64_t livelinessChanges = 0;
};

struct ReaderSnapshot
{
    std::string topic;
    uint32_t readerIndex = 0;
    std::vector<StreamSnapshot> streams;
    // The summed counts of writers without a stream of their own: those that
    // came while MAX_STREAMS writers were present, and departed ones whose
    // slot a new writer took. Ids, sequences and latency are not summed.
    StreamSnapshot unlisted;
    uint64_t unlistedWriters = 0;
    uint64_t restarts = 0;      // streams that restarted an earlier writer's ids
    uint64_t eventsDropped = 0; // status events the queue had no room for
    EventCounts events;

    uint64_t Samples() const;
};

// A status event as it happened, as numbers: the report's thread makes the
// record. Which of the members an event has depends on its kind.
struct StatusEvent
{
    std::chrono::system_clock::time_point time;
    const char* kind = "";
    std::optional<WriterKey> writer;                     // matched, unmatched, liveliness
    std::string writerGuid;                              // a writer never matched (writer_refused)
    const char* nameField = nullptr;                     // "last_reason", "last_policy" or "reason"
    std::string name;                                    // its value
    std::vector<std::pair<uint32_t, uint32_t>> policies; // incompatible QoS: policy id, count
    std::vector<std::pair<const char*, int64_t>> counts;
};

class ReaderTally
{
public:
    static constexpr size_t MAX_STREAMS = 64;
    static constexpr size_t MAX_QUEUED_EVENTS = 4096;
    // Writers beyond MAX_STREAMS whose ids are still checked; past this many
    // only their samples are counted.
    static constexpr size_t MAX_UNLISTED_CHECKED = 4096;
    // Presence events of writers not seen yet, kept until their first sample.
    static constexpr size_t MAX_EARLY_PRESENCE = 256;
    // A writer of the same host whose ids start at or behind those of a
    // stream that stopped delivering at least this long ago (and for three
    // of its mean intervals) is that publisher started over.
    static constexpr int64_t RESTART_QUIET_NS = 200'000'000;
    // A new writer restarts one that departed only if its first sample
    // comes within this long of that writer's last one, or within
    // RESTART_WITHIN_INTERVALS of that writer's mean intervals when longer,
    // but never later than RESTART_WITHIN_MAX_NS. Later, it is another run.
    static constexpr int64_t RESTART_WITHIN_NS = 30'000'000'000;
    static constexpr int64_t RESTART_WITHIN_INTERVALS = 10;
    static constexpr int64_t RESTART_WITHIN_MAX_NS = 600'000'000'000;
    // Addresses kept of a writer's participant.
    static constexpr size_t MAX_HOST_ADDRESSES = 16;

    ReaderTally(std::string topic, uint32_t readerIndex, uint32_t expectedIncrement);
    ~ReaderTally();

    ReaderTally(const ReaderTally&) = delete;
    ReaderTally& operator=(const ReaderTally&) = delete;

    // Where a new writer's participant is, asked on the writer's first
    // sample. Before the readers are enabled. Without it, only Fast DDS's
    // GUIDs tell two writers of one host.
    void SetHostLookup(HostLookup lookup) { hostLookup_ = std::move(lookup); }

    // Data callback only. What the sample's arrival says of its writer's
    // stream (a writer past every bound: a step of its own, not checked).
    ContinuityStep Observe(const eprosima::fastdds::dds::SampleInfo& info, const SampleFacts& sample,
                           PayloadVerdict verdict);
    // A sample with valid data whose bytes could not be decoded.
    void ObserveUndecodable(const eprosima::fastdds::dds::SampleInfo& info);
    // A change without data (a dispose or an unregistration) of a writer
    // already seen: its sequence number was delivered, not lost.
    void ObserveNoData(const eprosima::fastdds::dds::SampleInfo& info);

    // Status callbacks, any thread.
    void OnSubscriptionMatched(const eprosima::fastdds::dds::SubscriptionMatchedStatus& status);
    void OnDeadlineMissed(const eprosima::fastdds::dds::RequestedDeadlineMissedStatus& status);
    void OnLivelinessChanged(const eprosima::fastdds::dds::LivelinessChangedStatus& status);
    // `leavesAHole`: the refused change is never sent again (RefusalLeavesAHole).
    void OnSampleRejected(const eprosima::fastdds::dds::SampleRejectedStatus& status, bool leavesAHole);
    void OnIncompatibleQos(const eprosima::fastdds::dds::RequestedIncompatibleQosStatus& status);
    void OnSampleLost(const eprosima::fastdds::dds::SampleLostStatus& status);
    // A discovered writer that DDS Security keeps from this reader, and why.
    void OnWriterRefused(const std::string& writerGuid, const std::string& reason);

    // Report thread.
    ReaderSnapshot Snapshot() const;
    std::vector<StatusEvent> TakeEvents();

    const std::string& Topic() const { return topic_; }
    uint32_t ReaderIndex() const { return readerIndex_; }

private:
    struct Stream;
    struct Counts;

    // The writer's stream, made on its first sample; nullptr when it has none
    // (the writer is unlisted).
    Stream* StreamOf(const eprosima::fastdds::dds::SampleInfo& info, const SampleFacts* first);
    Stream* Find(const WriterKey& key) const;
    // A slot for a new stream: a free one, else the one of the writer that
    // departed longest ago, whose counts move to the unlisted ones.
    // MAX_STREAMS when every slot holds a present writer. Under slotsMutex_.
    size_t SlotForNewStream();
    void LinkRestart(Stream& stream, const SampleFacts& first, uint64_t firstSequence);
    // The addresses by which a writer's host is told, sorted.
    std::vector<std::string> HostAddresses(const WriterKey& key) const;
    // A stream taken for restarted sends again: it was not gone after all.
    void Unlink(Stream& predecessor);
    // A change delivered without a sample to count (undecodable, or no
    // data): its sequence number is no loss, the holes before it are.
    void SkipDelivered(Stream& stream, const eprosima::fastdds::dds::SampleInfo& info);
    ContinuityStep ObserveUnlisted(const eprosima::fastdds::dds::SampleInfo& info, const SampleFacts* sample,
                                   PayloadVerdict verdict);
    void SetPresence(const eprosima::fastdds::dds::InstanceHandle_t& handle, Presence presence);
    // The part of a hole in a writer's sequence numbers that this reader
    // refused itself: moved from the step's middleware loss to its
    // monitorRejected, up to the refusals not yet put down to a hole.
    void ClaimRefusals(ContinuityStep& step);
    void Queue(StatusEvent event);

    const std::string topic_;
    const uint32_t readerIndex_;
    const uint32_t increment_;
    HostLookup hostLookup_;

    std::array<std::atomic<Stream*>, MAX_STREAMS> streams_{};
    std::atomic<size_t> streamCount_{0};
    Stream* lastStream_ = nullptr; // data callback's cache
    std::atomic<uint64_t> restarts_{0};
    // Slot changes against snapshots and status callbacks.
    mutable std::mutex slotsMutex_;
    std::map<WriterKey, Presence> earlyPresence_; // slotsMutex_
    std::unique_ptr<Counts> unlisted_;
    std::atomic<uint64_t> unlistedWriters_{0};
    std::map<WriterKey, StreamContinuity> unlistedContinuity_; // data callback only

    std::atomic<uint64_t> matched_{0};
    std::atomic<uint64_t> unmatched_{0};
    std::atomic<uint64_t> deadlinesMissed_{0};
    std::atomic<uint64_t> incompatibleQos_{0};
    std::atomic<uint64_t> samplesLost_{0};
    std::atomic<uint64_t> samplesRejected_{0};
    // Refusals that leave a hole, not yet found in a writer's sequence
    // numbers. The rejection status names no writer: a hole is put down to
    // them first, whichever writer's it is.
    std::atomic<uint64_t> unclaimedRefusals_{0};
    std::atomic<uint64_t> livelinessChanges_{0};

    mutable std::mutex eventsMutex_;
    std::vector<StatusEvent> events_;
    uint64_t eventsDropped_ = 0;
};

} // namespace quillModel
