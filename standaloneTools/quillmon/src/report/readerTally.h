// What one reader saw, per writer stream, kept for the report and for the
// --fail-on verdict. The data callback (serialised per reader by the
// listener) is the only writer of the streams' counters: it updates them
// with relaxed single-writer stores, so the report thread reads them without
// a lock. Status callbacks, which Fast DDS runs on other threads and
// concurrently, share only atomics and a small event queue.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fastdds/dds/core/status/BaseStatus.hpp>
#include <fastdds/dds/core/status/DeadlineMissedStatus.hpp>
#include <fastdds/dds/core/status/IncompatibleQosStatus.hpp>
#include <fastdds/dds/core/status/LivelinessChangedStatus.hpp>
#include <fastdds/dds/core/status/SampleRejectedStatus.hpp>
#include <fastdds/dds/core/status/SubscriptionMatchedStatus.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>

#include "latencyHistogram.h"
#include "lumo/componentFramework/AgnosticTopic.h"
#include "streamContinuity.h"

namespace quillReport {

// The outcome of the payload check run on a sample.
enum class PayloadVerdict : uint8_t
{
    NotChecked,
    Passed,
    Failed
};

// A writer, by its publication handle (its GUID's 16 bytes).
struct WriterKey
{
    std::array<uint8_t, 16> bytes{};
    bool operator==(const WriterKey&) const = default;
};

WriterKey KeyOf(const eprosima::fastdds::dds::InstanceHandle_t& handle);
// "01.0f.92.14.bf.4e.38.6a.de.26.0d.58|0.0.1.3": GUID prefix, then entity id.
std::string GuidText(const WriterKey& key);

// What the reader's status events last said of a writer.
enum class Presence : uint8_t
{
    Alive,
    NotAlive,
    Unmatched
};
const char* PresenceName(Presence presence);

struct StreamSnapshot
{
    std::string writer;
    int32_t restartOf = -1; // index of the stream this one restarted, or -1
    Presence presence = Presence::Alive;
    uint64_t samples = 0;
    uint64_t payloadBytes = 0;
    uint64_t missingIds = 0;
    uint64_t gaps = 0;
    uint64_t duplicates = 0;
    uint64_t backwardJumps = 0;
    uint64_t middlewareLost = 0;
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
    uint64_t restarts = 0;         // streams that restarted an earlier writer's ids
    uint64_t untrackedSamples = 0; // samples of writers beyond MAX_STREAMS
    uint64_t eventsDropped = 0;    // status events the queue had no room for
    EventCounts events;

    uint64_t Samples() const;
};

// A status event as it happened: its kind and its fields as JSON members
// ("a":1,"b":"x", without braces).
struct StatusEvent
{
    std::chrono::system_clock::time_point time;
    std::string kind;
    std::string fields;
};

class ReaderTally
{
public:
    static constexpr size_t MAX_STREAMS = 64;
    static constexpr size_t MAX_QUEUED_EVENTS = 4096;

    ReaderTally(std::string topic, uint32_t readerIndex, uint32_t expectedIncrement);
    ~ReaderTally();

    ReaderTally(const ReaderTally&) = delete;
    ReaderTally& operator=(const ReaderTally&) = delete;

    // Data callback only.
    void Observe(const eprosima::fastdds::dds::SampleInfo& info, const lumo::componentFramework::AgnosticTopic& sample,
                 PayloadVerdict verdict);
    // A sample with valid data whose bytes could not be decoded.
    void ObserveUndecodable(const eprosima::fastdds::dds::SampleInfo& info);

    // Status callbacks, any thread.
    void OnSubscriptionMatched(const eprosima::fastdds::dds::SubscriptionMatchedStatus& status);
    void OnDeadlineMissed(const eprosima::fastdds::dds::RequestedDeadlineMissedStatus& status);
    void OnLivelinessChanged(const eprosima::fastdds::dds::LivelinessChangedStatus& status);
    void OnSampleRejected(const eprosima::fastdds::dds::SampleRejectedStatus& status);
    void OnIncompatibleQos(const eprosima::fastdds::dds::RequestedIncompatibleQosStatus& status);
    void OnSampleLost(const eprosima::fastdds::dds::SampleLostStatus& status);

    // Report thread.
    ReaderSnapshot Snapshot() const;
    std::vector<StatusEvent> TakeEvents();

    const std::string& Topic() const { return topic_; }
    uint32_t ReaderIndex() const { return readerIndex_; }

private:
    struct Stream;

    Stream* StreamOf(const eprosima::fastdds::dds::InstanceHandle_t& handle, const uint32_t* firstId);
    Stream* Find(const WriterKey& key) const;
    void LinkRestart(Stream& stream, uint32_t firstId);
    void SetPresence(const eprosima::fastdds::dds::InstanceHandle_t& handle, Presence presence);
    void Queue(const char* kind, std::string fields);

    const std::string topic_;
    const uint32_t readerIndex_;
    const uint32_t increment_;

    std::array<std::atomic<Stream*>, MAX_STREAMS> streams_{};
    std::atomic<size_t> streamCount_{0};
    Stream* lastStream_ = nullptr; // data callback's cache
    RelaxedCounter restarts_;
    RelaxedCounter untracked_;

    std::atomic<uint64_t> matched_{0};
    std::atomic<uint64_t> unmatched_{0};
    std::atomic<uint64_t> deadlinesMissed_{0};
    std::atomic<uint64_t> incompatibleQos_{0};
    std::atomic<uint64_t> samplesLost_{0};
    std::atomic<uint64_t> samplesRejected_{0};
    std::atomic<uint64_t> livelinessChanges_{0};

    mutable std::mutex eventsMutex_;
    std::vector<StatusEvent> events_;
    uint64_t eventsDropped_ = 0;
};

// Name of a DDS QoS policy by its id ("RELIABILITY"); "UNKNOWN" otherwise.
const char* QosPolicyName(uint32_t policyId);

} // namespace quillReport
