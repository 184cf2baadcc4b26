#include "readerTally.h"

#include <cstring>
#include <limits>

#include "jsonText.h"
#include "lumo/Format.h"
#include "quillReaderListener.h" // the sample-rejected reasons' names

namespace fdds = eprosima::fastdds::dds;

namespace quillReport {

struct ReaderTally::Stream
{
    explicit Stream(const WriterKey& k)
        : key(k)
    {
    }

    const WriterKey key;
    // Data callback only.
    StreamContinuity continuity;
    bool succeeded = false; // a later stream restarted this one's ids

    // Written by the data callback only.
    RelaxedCounter samples;
    RelaxedCounter payloadBytes;
    RelaxedCounter missingIds;
    RelaxedCounter gaps;
    RelaxedCounter duplicates;
    RelaxedCounter backwardJumps;
    RelaxedCounter middlewareLost;
    RelaxedCounter publisherSkipped;
    RelaxedCounter checksPassed;
    RelaxedCounter checksFailed;
    RelaxedCounter undecodable;
    RelaxedCounter latencySamples;
    RelaxedCounter negativeLatencies;
    std::atomic<uint32_t> firstId{0};
    std::atomic<uint32_t> lastId{0};
    std::atomic<uint64_t> lastSequence{0};
    std::atomic<int64_t> latencyMinNs{std::numeric_limits<int64_t>::max()};
    std::atomic<int64_t> latencyMaxNs{std::numeric_limits<int64_t>::min()};
    std::atomic<int32_t> restartOf{-1};
    LatencyHistogram latency;

    // Written by status callbacks.
    std::atomic<Presence> presence{Presence::Alive};
    // Set once the writer was reported gone (liveliness lost or unmatched).
    // It stays set: Fast DDS 2.9 may report a killed writer alive again when
    // another writer appears, just before its lease ends the match.
    std::atomic<bool> departed{false};
};

namespace {

constexpr auto RELAXED = std::memory_order_relaxed;

uint64_t SequenceOf(const fdds::SampleInfo& info)
{
    const auto& number = info.sample_identity.sequence_number();
    return number.high < 0 ? UNKNOWN_SEQUENCE : number.to64long();
}

// The fields of a status event, without the braces.
std::string Fields(JsonObject& object)
{
    std::string text = object.Close();
    return text.substr(1, text.size() - 2);
}

uint64_t Positive(int32_t change)
{
    return change > 0 ? static_cast<uint64_t>(change) : 0;
}

} // namespace

WriterKey KeyOf(const fdds::InstanceHandle_t& handle)
{
    WriterKey key;
    const uint8_t* bytes = handle.value;
    std::memcpy(key.bytes.data(), bytes, key.bytes.size());
    return key;
}

std::string GuidText(const WriterKey& key)
{
    std::string text;
    for (size_t i = 0; i < 12; ++i) {
        text += i == 0 ? "" : ".";
        text += lumo::format("{:02x}", key.bytes[i]);
    }
    text += '|';
    for (size_t i = 12; i < 16; ++i) {
        text += i == 12 ? "" : ".";
        text += lumo::format("{:x}", key.bytes[i]);
    }
    return text;
}

const char* PresenceName(Presence presence)
{
    switch (presence) {
    case Presence::Alive:
        return "alive";
    case Presence::NotAlive:
        return "not_alive";
    case Presence::Unmatched:
        return "unmatched";
    }
    return "unknown";
}

uint64_t ReaderSnapshot::Samples() const
{
    uint64_t total = untrackedSamples;
    for (const auto& stream : streams) {
        total += stream.samples;
    }
    return total;
}

ReaderTally::ReaderTally(std::string topic, uint32_t readerIndex, uint32_t expectedIncrement)
    : topic_(std::move(topic))
    , readerIndex_(readerIndex)
    , increment_(expectedIncrement)
{
}

ReaderTally::~ReaderTally()
{
    for (auto& stream : streams_) {
        delete stream.load();
    }
}

ReaderTally::Stream* ReaderTally::Find(const WriterKey& key) const
{
    const size_t count = streamCount_.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        Stream* stream = streams_[i].load(std::memory_order_acquire);
        if (stream->key == key) {
            return stream;
        }
    }
    return nullptr;
}

ReaderTally::Stream* ReaderTally::StreamOf(const fdds::InstanceHandle_t& handle, const uint32_t* firstId)
{
    const WriterKey key = KeyOf(handle);
    if (lastStream_ != nullptr && lastStream_->key == key) {
        return lastStream_;
    }
    Stream* stream = Find(key);
    if (stream == nullptr) {
        const size_t count = streamCount_.load(RELAXED);
        if (count == MAX_STREAMS) {
            return nullptr;
        }
        stream = new Stream(key);
        if (firstId != nullptr) {
            LinkRestart(*stream, *firstId);
        }
        streams_[count].store(stream, std::memory_order_release);
        streamCount_.store(count + 1, std::memory_order_release);
    }
    lastStream_ = stream;
    return stream;
}

// A writer that started after another one left, at or behind the id where
// that one stopped, is taken for the same publisher started over.
void ReaderTally::LinkRestart(Stream& stream, uint32_t firstId)
{
    const size_t count = streamCount_.load(RELAXED);
    for (size_t i = count; i-- > 0;) {
        Stream& earlier = *streams_[i].load(RELAXED);
        if (earlier.succeeded || !earlier.departed.load() || !earlier.continuity.Started()) {
            continue;
        }
        if (AtOrBehind(firstId, earlier.continuity.LastId())) {
            earlier.succeeded = true;
            stream.restartOf.store(static_cast<int32_t>(i), RELAXED);
            restarts_.Add(1);
        }
        return;
    }
}

void ReaderTally::Observe(const fdds::SampleInfo& info, const lumo::componentFramework::AgnosticTopic& sample,
                          PayloadVerdict verdict)
{
    const uint32_t id = sample.sampleId();
    Stream* stream = StreamOf(info.publication_handle, &id);
    if (stream == nullptr) {
        untracked_.Add(1);
        return;
    }
    Stream& s = *stream;
    const uint64_t sequence = SequenceOf(info);
    const ContinuityStep step = s.continuity.Observe(id, sequence, increment_);
    s.samples.Add(1);
    s.payloadBytes.Add(sample.payload().size());
    switch (step.kind) {
    case Continuity::First:
        s.firstId.store(id, RELAXED);
        break;
    case Continuity::InOrder:
        break;
    case Continuity::Gap:
        s.gaps.Add(1);
        s.missingIds.Add(step.missingIds);
        s.publisherSkipped.Add(step.publisherSkipped);
        break;
    case Continuity::Duplicate:
        s.duplicates.Add(1);
        break;
    case Continuity::Backward:
        s.backwardJumps.Add(1);
        break;
    }
    if (step.middlewareLost != 0) {
        s.middlewareLost.Add(step.middlewareLost);
    }
    s.lastId.store(id, RELAXED);
    if (sequence != UNKNOWN_SEQUENCE) {
        s.lastSequence.store(sequence, RELAXED);
    }
    if (verdict == PayloadVerdict::Passed) {
        s.checksPassed.Add(1);
    } else if (verdict == PayloadVerdict::Failed) {
        s.checksFailed.Add(1);
    }
    if (info.source_timestamp.seconds() >= 0 && info.reception_timestamp.seconds() >= 0) {
        const int64_t latency = info.reception_timestamp.to_ns() - info.source_timestamp.to_ns();
        s.latencySamples.Add(1);
        if (latency < 0) {
            s.negativeLatencies.Add(1);
        } else {
            s.latency.Record(static_cast<uint64_t>(latency));
        }
        if (latency < s.latencyMinNs.load(RELAXED)) {
            s.latencyMinNs.store(latency, RELAXED);
        }
        if (latency > s.latencyMaxNs.load(RELAXED)) {
            s.latencyMaxNs.store(latency, RELAXED);
        }
    }
}

void ReaderTally::ObserveUndecodable(const fdds::SampleInfo& info)
{
    Stream* stream = StreamOf(info.publication_handle, nullptr);
    if (stream == nullptr) {
        untracked_.Add(1);
        return;
    }
    // Its sequence number was delivered: no middleware loss there. Its id
    // is unknown, so the id check goes on from the sample before it.
    const uint64_t sequence = SequenceOf(info);
    if (sequence != UNKNOWN_SEQUENCE) {
        const uint64_t last = stream->lastSequence.load(RELAXED);
        if (last != UNKNOWN_SEQUENCE && sequence > last + 1) {
            stream->middlewareLost.Add(sequence - last - 1);
        }
        stream->continuity.SkipSequence(sequence);
        stream->lastSequence.store(sequence, RELAXED);
    }
    stream->undecodable.Add(1);
}

// ---------------------------------------------------------------- status events

void ReaderTally::SetPresence(const fdds::InstanceHandle_t& handle, Presence presence)
{
    if (Stream* stream = Find(KeyOf(handle))) {
        stream->presence.store(presence);
        if (presence != Presence::Alive) {
            stream->departed.store(true);
        }
    }
}

void ReaderTally::Queue(const char* kind, std::string fields)
{
    std::lock_guard lock(eventsMutex_);
    if (events_.size() >= MAX_QUEUED_EVENTS) {
        ++eventsDropped_;
        return;
    }
    events_.push_back(StatusEvent{std::chrono::system_clock::now(), kind, std::move(fields)});
}

void ReaderTally::OnSubscriptionMatched(const fdds::SubscriptionMatchedStatus& status)
{
    if (status.current_count_change < 0) {
        unmatched_.fetch_add(1);
        SetPresence(status.last_publication_handle, Presence::Unmatched);
    } else {
        matched_.fetch_add(1);
        SetPresence(status.last_publication_handle, Presence::Alive);
    }
    JsonObject fields;
    fields.Text("writer", GuidText(KeyOf(status.last_publication_handle)))
        .Integer("current_count", status.current_count)
        .Integer("current_count_change", status.current_count_change)
        .Integer("total_count", status.total_count)
        .Integer("total_count_change", status.total_count_change);
    Queue(status.current_count_change < 0 ? "subscription_unmatched" : "subscription_matched", Fields(fields));
}

void ReaderTally::OnDeadlineMissed(const fdds::RequestedDeadlineMissedStatus& status)
{
    deadlinesMissed_.fetch_add(Positive(status.total_count_change));
    JsonObject fields;
    fields.Integer("total_count", status.total_count).Integer("total_count_change", status.total_count_change);
    Queue("requested_deadline_missed", Fields(fields));
}

void ReaderTally::OnLivelinessChanged(const fdds::LivelinessChangedStatus& status)
{
    livelinessChanges_.fetch_add(1);
    if (status.alive_count_change > 0) {
        SetPresence(status.last_publication_handle, Presence::Alive);
    } else if (status.not_alive_count_change > 0) {
        SetPresence(status.last_publication_handle, Presence::NotAlive);
    }
    JsonObject fields;
    fields.Text("writer", GuidText(KeyOf(status.last_publication_handle)))
        .Integer("alive_count", status.alive_count)
        .Integer("not_alive_count", status.not_alive_count)
        .Integer("alive_count_change", status.alive_count_change)
        .Integer("not_alive_count_change", status.not_alive_count_change);
    Queue("liveliness_changed", Fields(fields));
}

void ReaderTally::OnSampleRejected(const fdds::SampleRejectedStatus& status)
{
    samplesRejected_.fetch_add(status.total_count_change);
    JsonObject fields;
    fields
        .Text("last_reason", LUMO_FORMAT_NAMESPACE::formatter<fdds::SampleRejectedStatusKind>::Name(status.last_reason))
        .Unsigned("total_count", status.total_count)
        .Unsigned("total_count_change", status.total_count_change);
    Queue("sample_rejected", Fields(fields));
}

void ReaderTally::OnIncompatibleQos(const fdds::RequestedIncompatibleQosStatus& status)
{
    incompatibleQos_.fetch_add(1);
    std::string policies = "{";
    for (const auto& policy : status.policies) {
        if (policy.count == 0) {
            continue;
        }
        if (policies.size() > 1) {
            policies += ',';
        }
        JsonKey(policies, QosPolicyName(static_cast<uint32_t>(policy.policy_id)));
        policies += lumo::format("{}", policy.count);
    }
    policies += '}';
    JsonObject fields;
    fields.Text("last_policy", QosPolicyName(static_cast<uint32_t>(status.last_policy_id)))
        .Raw("policies", policies)
        .Integer("total_count", status.total_count)
        .Integer("total_count_change", status.total_count_change);
    Queue("requested_incompatible_qos", Fields(fields));
}

void ReaderTally::OnSampleLost(const fdds::SampleLostStatus& status)
{
    samplesLost_.fetch_add(Positive(status.total_count_change));
    JsonObject fields;
    fields.Integer("total_count", status.total_count).Integer("total_count_change", status.total_count_change);
    Queue("sample_lost", Fields(fields));
}

// ---------------------------------------------------------------- report side

ReaderSnapshot ReaderTally::Snapshot() const
{
    ReaderSnapshot snapshot;
    snapshot.topic = topic_;
    snapshot.readerIndex = readerIndex_;
    const size_t count = streamCount_.load(std::memory_order_acquire);
    for (size_t i = 0; i < count; ++i) {
        const Stream& s = *streams_[i].load(std::memory_order_acquire);
        StreamSnapshot out;
        out.writer = GuidText(s.key);
        out.restartOf = s.restartOf.load(RELAXED);
        out.presence = s.presence.load();
        out.samples = s.samples.Load();
        out.payloadBytes = s.payloadBytes.Load();
        out.missingIds = s.missingIds.Load();
        out.gaps = s.gaps.Load();
        out.duplicates = s.duplicates.Load();
        out.backwardJumps = s.backwardJumps.Load();
        out.middlewareLost = s.middlewareLost.Load();
        out.publisherSkipped = s.publisherSkipped.Load();
        out.checksPassed = s.checksPassed.Load();
        out.checksFailed = s.checksFailed.Load();
        out.undecodable = s.undecodable.Load();
        out.firstId = s.firstId.load(RELAXED);
        out.lastId = s.lastId.load(RELAXED);
        out.lastSequence = s.lastSequence.load(RELAXED);
        out.latencySamples = s.latencySamples.Load();
        out.negativeLatencies = s.negativeLatencies.Load();
        out.latencyMinNs = s.latencyMinNs.load(RELAXED);
        out.latencyMaxNs = s.latencyMaxNs.load(RELAXED);
        out.latencyCounts = s.latency.Counts();
        snapshot.streams.push_back(std::move(out));
    }
    snapshot.restarts = restarts_.Load();
    snapshot.untrackedSamples = untracked_.Load();
    snapshot.events.matched = matched_.load();
    snapshot.events.unmatched = unmatched_.load();
    snapshot.events.deadlinesMissed = deadlinesMissed_.load();
    snapshot.events.incompatibleQos = incompatibleQos_.load();
    snapshot.events.samplesLost = samplesLost_.load();
    snapshot.events.samplesRejected = samplesRejected_.load();
    snapshot.events.livelinessChanges = livelinessChanges_.load();
    {
        std::lock_guard lock(eventsMutex_);
        snapshot.eventsDropped = eventsDropped_;
    }
    return snapshot;
}

std::vector<StatusEvent> ReaderTally::TakeEvents()
{
    std::lock_guard lock(eventsMutex_);
    std::vector<StatusEvent> taken;
    taken.swap(events_);
    return taken;
}

const char* QosPolicyName(uint32_t policyId)
{
    static constexpr const char* NAMES[] = {"INVALID",
                                            "USER_DATA",
                                            "DURABILITY",
                                            "PRESENTATION",
                                            "DEADLINE",
                                            "LATENCY_BUDGET",
                                            "OWNERSHIP",
                                            "OWNERSHIP_STRENGTH",
                                            "LIVELINESS",
                                            "TIME_BASED_FILTER",
                                            "PARTITION",
                                            "RELIABILITY",
                                            "DESTINATION_ORDER",
                                            "HISTORY",
                                            "RESOURCE_LIMITS",
                                            "ENTITY_FACTORY",
                                            "WRITER_DATA_LIFECYCLE",
                                            "READER_DATA_LIFECYCLE",
                                            "TOPIC_DATA",
                                            "GROUP_DATA",
                                            "TRANSPORT_PRIORITY",
                                            "LIFESPAN",
                                            "DURABILITY_SERVICE",
                                            "DATA_REPRESENTATION",
                                            "TYPE_CONSISTENCY_ENFORCEMENT"};
    return policyId < std::size(NAMES) ? NAMES[policyId] : "UNKNOWN";
}

} // namespace quillReport
