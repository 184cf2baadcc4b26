#include "readerTally.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "lumo/Format.h"
#include "lumo/componentFramework/StatusTexts.h"

namespace fdds = eprosima::fastdds::dds;

namespace quillModel {

// The summable counts of a stream, or of the unlisted writers together.
// Written by the data callback only.
struct ReaderTally::Counts
{
    RelaxedCounter samples;
    RelaxedCounter payloadBytes;
    RelaxedCounter missingIds;
    RelaxedCounter gaps;
    RelaxedCounter duplicates;
    RelaxedCounter backwardJumps;
    RelaxedCounter middlewareLost;
    RelaxedCounter monitorRejected;
    RelaxedCounter publisherSkipped;
    RelaxedCounter checksPassed;
    RelaxedCounter checksFailed;
    RelaxedCounter undecodable;

    void Sample(const ContinuityStep& step, size_t bytes, PayloadVerdict verdict)
    {
        samples.Add(1);
        payloadBytes.Add(bytes);
        switch (step.kind) {
        case Continuity::First:
        case Continuity::InOrder:
            break;
        case Continuity::Gap:
            gaps.Add(1);
            missingIds.Add(step.missingIds);
            publisherSkipped.Add(step.publisherSkipped);
            break;
        case Continuity::Duplicate:
            duplicates.Add(1);
            break;
        case Continuity::Backward:
            backwardJumps.Add(1);
            break;
        }
        Holes(step);
        if (verdict == PayloadVerdict::Passed) {
            checksPassed.Add(1);
        } else if (verdict == PayloadVerdict::Failed) {
            checksFailed.Add(1);
        }
    }

    void Holes(const ContinuityStep& step)
    {
        if (step.middlewareLost != 0) {
            middlewareLost.Add(step.middlewareLost);
        }
        if (step.monitorRejected != 0) {
            monitorRejected.Add(step.monitorRejected);
        }
    }

    void Absorb(const Counts& other)
    {
        samples.Add(other.samples.Load());
        payloadBytes.Add(other.payloadBytes.Load());
        missingIds.Add(other.missingIds.Load());
        gaps.Add(other.gaps.Load());
        duplicates.Add(other.duplicates.Load());
        backwardJumps.Add(other.backwardJumps.Load());
        middlewareLost.Add(other.middlewareLost.Load());
        monitorRejected.Add(other.monitorRejected.Load());
        publisherSkipped.Add(other.publisherSkipped.Load());
        checksPassed.Add(other.checksPassed.Load());
        checksFailed.Add(other.checksFailed.Load());
        undecodable.Add(other.undecodable.Load());
    }

    void CopyTo(StreamSnapshot& out) const
    {
        out.samples = samples.Load();
        out.payloadBytes = payloadBytes.Load();
        out.missingIds = missingIds.Load();
        out.gaps = gaps.Load();
        out.duplicates = duplicates.Load();
        out.backwardJumps = backwardJumps.Load();
        out.middlewareLost = middlewareLost.Load();
        out.monitorRejected = monitorRejected.Load();
        out.publisherSkipped = publisherSkipped.Load();
        out.checksPassed = checksPassed.Load();
        out.checksFailed = checksFailed.Load();
        out.undecodable = undecodable.Load();
    }
};

struct ReaderTally::Stream
{
    explicit Stream(const WriterKey& k)
        : key(k)
    {
    }

    const WriterKey key;
    // Data callback only.
    StreamContinuity continuity;
    Stream* successor = nullptr; // the stream linked as this one restarted
    int64_t firstReceptionNs = -1;
    int64_t lastReceptionNs = -1;

    // Written by the data callback only.
    Counts counts;
    RelaxedCounter latencySamples; // raised after the extremes it covers
    RelaxedCounter negativeLatencies;
    RelaxedCounter latencySumNs;
    std::atomic<uint32_t> firstId{0};
    std::atomic<uint32_t> lastId{0};
    std::atomic<uint64_t> lastSequence{0};
    std::atomic<int64_t> latencyMinNs{std::numeric_limits<int64_t>::max()};
    std::atomic<int64_t> latencyMaxNs{std::numeric_limits<int64_t>::min()};
    LatencyHistogram latency;
    // Set before the stream is published; only `restarted` changes later.
    std::vector<std::string> hostAddresses; // sorted
    WriterKey predecessor;
    std::atomic<bool> restarted{false};

    // Written by status callbacks.
    std::atomic<Presence> presence{Presence::Alive};
    // Set once the writer was reported gone (liveliness lost or unmatched).
    // It stays set: Fast DDS 2.9 may report a killed writer alive again when
    // another writer appears, just before its lease ends the match.
    std::atomic<bool> departed{false};
};

namespace {

constexpr auto RELAXED = std::memory_order_relaxed;
constexpr uint8_t EPROSIMA_VENDOR[] = {0x01, 0x0f};

uint64_t SequenceOf(const fdds::SampleInfo& info)
{
    const auto& number = info.sample_identity.sequence_number();
    return number.high < 0 ? UNKNOWN_SEQUENCE : number.to64long();
}

// When the reader received the sample; -1 when Fast DDS did not say.
int64_t ReceptionNs(const fdds::SampleInfo& info)
{
    return info.reception_timestamp.seconds() >= 0 ? info.reception_timestamp.to_ns() : -1;
}

// Fast DDS writes its vendor id, then a host id shared by every process of
// a host, into the first four bytes of a GUID prefix. Other vendors' GUIDs
// say nothing reliable about the host.
bool SameFastDdsHostId(const WriterKey& a, const WriterKey& b)
{
    const auto eprosima = [](const WriterKey& key) {
        return key.bytes[0] == EPROSIMA_VENDOR[0] && key.bytes[1] == EPROSIMA_VENDOR[1];
    };
    return eprosima(a) && eprosima(b) && a.bytes[2] == b.bytes[2] && a.bytes[3] == b.bytes[3];
}

bool Loopback(const std::string& address)
{
    return address.rfind("127.", 0) == 0;
}

bool ShareAnAddress(const std::vector<std::string>& a, const std::vector<std::string>& b)
{
    auto i = a.begin();
    auto j = b.begin();
    while (i != a.end() && j != b.end()) {
        if (*i == *j) {
            return true;
        }
        if (*i < *j) {
            ++i;
        } else {
            ++j;
        }
    }
    return false;
}

int64_t MeanIntervalNs(int64_t firstNs, int64_t lastNs, uint64_t samples)
{
    return samples > 1 ? (lastNs - firstNs) / static_cast<int64_t>(samples - 1) : 0;
}

ContinuityStep Step(StreamContinuity& continuity, const SampleFacts& sample, uint64_t sequence, uint32_t increment)
{
    return sample.idKnown ? continuity.Observe(sample.id, sequence, increment) : continuity.ObserveUnnumbered(sequence);
}

uint64_t Positive(int32_t change)
{
    return change > 0 ? static_cast<uint64_t>(change) : 0;
}

} // namespace

bool RefusalLeavesAHole(fdds::SampleRejectedStatusKind reason, bool reliable)
{
    switch (reason) {
    case fdds::NOT_REJECTED:
        return false;
    case fdds::REJECTED_BY_SAMPLES_LIMIT:
    case fdds::REJECTED_BY_SAMPLES_PER_INSTANCE_LIMIT:
        return !reliable;
    default: // the instance limit, and 3.x's unknown instance
        return true;
    }
}

WriterKey KeyOf(const fdds::InstanceHandle_t& handle)
{
    WriterKey key;
    const uint8_t* bytes = handle.value;
    std::memcpy(key.bytes.data(), bytes, key.bytes.size());
    return key;
}

std::string PrefixText(const WriterKey& key)
{
    std::string text;
    for (size_t i = 0; i < 12; ++i) {
        text += i == 0 ? "" : ".";
        text += lumo::format("{:02x}", key.bytes[i]);
    }
    return text;
}

std::string GuidText(const WriterKey& key)
{
    std::string text = PrefixText(key);
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
    uint64_t total = unlisted.samples;
    for (const auto& stream : streams) {
        total += stream.samples;
    }
    return total;
}

ReaderTally::ReaderTally(std::string topic, uint32_t readerIndex, uint32_t expectedIncrement)
    : topic_(std::move(topic))
    , readerIndex_(readerIndex)
    , increment_(expectedIncrement)
    , unlisted_(std::make_unique<Counts>())
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

ReaderTally::Stream* ReaderTally::StreamOf(const fdds::SampleInfo& info, const SampleFacts* first)
{
    const WriterKey key = KeyOf(info.publication_handle);
    if (lastStream_ != nullptr && lastStream_->key == key) {
        return lastStream_;
    }
    if (Stream* stream = Find(key)) {
        lastStream_ = stream;
        return stream;
    }
    if (unlistedContinuity_.count(key) != 0) {
        return nullptr; // unlisted it came, unlisted it stays
    }
    auto hostAddresses = HostAddresses(key);
    std::lock_guard lock(slotsMutex_);
    const size_t slot = SlotForNewStream();
    if (slot == MAX_STREAMS) {
        return nullptr;
    }
    auto* stream = new Stream(key);
    stream->firstReceptionNs = ReceptionNs(info);
    stream->hostAddresses = std::move(hostAddresses);
    if (const auto early = earlyPresence_.find(key); early != earlyPresence_.end()) {
        stream->presence.store(early->second);
        stream->departed.store(true);
        earlyPresence_.erase(early);
    }
    if (first != nullptr) {
        LinkRestart(*stream, *first, SequenceOf(info));
    }
    const size_t count = streamCount_.load(RELAXED);
    if (slot < count) {
        Stream* retired = streams_[slot].load(RELAXED);
        streams_[slot].store(stream, std::memory_order_release);
        delete retired;
    } else {
        streams_[slot].store(stream, std::memory_order_release);
        streamCount_.store(count + 1, std::memory_order_release);
    }
    lastStream_ = stream;
    return stream;
}

size_t ReaderTally::SlotForNewStream()
{
    const size_t count = streamCount_.load(RELAXED);
    if (count < MAX_STREAMS) {
        return count;
    }
    size_t oldest = MAX_STREAMS;
    for (size_t i = 0; i < count; ++i) {
        const Stream& stream = *streams_[i].load(RELAXED);
        if (stream.departed.load() &&
            (oldest == MAX_STREAMS || stream.lastReceptionNs < streams_[oldest].load(RELAXED)->lastReceptionNs)) {
            oldest = i;
        }
    }
    if (oldest == MAX_STREAMS) {
        return MAX_STREAMS;
    }
    // Its counts stay in the reader's totals and in the verdict.
    Stream* gone = streams_[oldest].load(RELAXED);
    unlisted_->Absorb(gone->counts);
    unlistedWriters_.fetch_add(1);
    for (size_t i = 0; i < count; ++i) {
        Stream& stream = *streams_[i].load(RELAXED);
        if (stream.successor == gone) {
            stream.successor = nullptr;
        }
    }
    if (lastStream_ == gone) {
        lastStream_ = nullptr;
    }
    return oldest;
}

std::vector<std::string> ReaderTally::HostAddresses(const WriterKey& key) const
{
    if (!hostLookup_) {
        return {};
    }
    auto addresses = hostLookup_(PrefixText(key));
    if (addresses.size() > MAX_HOST_ADDRESSES) {
        addresses.resize(MAX_HOST_ADDRESSES);
    }
    // Loopback is every host's: it tells a host only of a participant that
    // announced nothing else, which this host's loopback alone reaches.
    if (!std::all_of(addresses.begin(), addresses.end(), Loopback)) {
        addresses.erase(std::remove_if(addresses.begin(), addresses.end(), Loopback), addresses.end());
    }
    std::sort(addresses.begin(), addresses.end());
    return addresses;
}

// A writer whose first id lies at or behind the last id of a stream that is
// gone (without ids: whose first sequence number lies at or behind that
// stream's last one) is taken for the same publisher started over, if its first sample
// comes within the restart window of that stream's last one. Gone: reported
// departed, or, for a writer of the same host, silent for RESTART_QUIET_NS
// and three of its mean intervals when the new one's first sample came (a
// publisher killed and restarted before its lease ran out). Same host: the
// participants announced a common address, or, both Fast DDS's, their GUIDs
// carry one host id (a participant of shared memory alone announces no
// address). Of several, the one that delivered last.
void ReaderTally::LinkRestart(Stream& stream, const SampleFacts& first, uint64_t firstSequence)
{
    if (stream.firstReceptionNs < 0) {
        return;
    }
    const size_t count = streamCount_.load(RELAXED);
    Stream* candidate = nullptr;
    for (size_t i = 0; i < count; ++i) {
        Stream& earlier = *streams_[i].load(RELAXED);
        if (earlier.successor != nullptr || !earlier.continuity.Started() || earlier.lastReceptionNs < 0) {
            continue;
        }
        const int64_t silence = stream.firstReceptionNs - earlier.lastReceptionNs;
        const int64_t meanInterval = MeanIntervalNs(earlier.firstReceptionNs, earlier.lastReceptionNs,
                                                    earlier.counts.samples.Load());
        const int64_t window = std::clamp(RESTART_WITHIN_INTERVALS * std::min(meanInterval, RESTART_WITHIN_MAX_NS),
                                          RESTART_WITHIN_NS, RESTART_WITHIN_MAX_NS);
        if (silence > window) {
            continue;
        }
        bool gone = earlier.departed.load();
        if (!gone && (ShareAnAddress(earlier.hostAddresses, stream.hostAddresses) ||
                      SameFastDdsHostId(earlier.key, stream.key))) {
            gone = silence >= std::max(RESTART_QUIET_NS, 3 * meanInterval);
        }
        if (gone && (candidate == nullptr || earlier.lastReceptionNs > candidate->lastReceptionNs)) {
            candidate = &earlier;
        }
    }
    if (candidate == nullptr) {
        return;
    }
    const bool startedOver = first.idKnown ? AtOrBehind(first.id, candidate->continuity.LastId())
                                           : firstSequence != UNKNOWN_SEQUENCE &&
                                                 firstSequence <= candidate->lastSequence.load(RELAXED);
    if (startedOver) {
        candidate->successor = &stream;
        stream.predecessor = candidate->key;
        stream.restarted.store(true, RELAXED);
        restarts_.fetch_add(1);
    }
}

void ReaderTally::Unlink(Stream& predecessor)
{
    predecessor.successor->restarted.store(false, RELAXED);
    predecessor.successor = nullptr;
    restarts_.fetch_sub(1);
}

ContinuityStep ReaderTally::Observe(const fdds::SampleInfo& info, const SampleFacts& sample, PayloadVerdict verdict)
{
    Stream* stream = StreamOf(info, &sample);
    if (stream == nullptr) {
        return ObserveUnlisted(info, &sample, verdict);
    }
    Stream& s = *stream;
    const int64_t reception = ReceptionNs(info);
    if (s.successor != nullptr && reception > s.successor->firstReceptionNs) {
        Unlink(s);
    }
    if (s.firstReceptionNs < 0) {
        s.firstReceptionNs = reception;
    }
    s.lastReceptionNs = reception;
    const uint64_t sequence = SequenceOf(info);
    ContinuityStep step = Step(s.continuity, sample, sequence, increment_);
    ClaimRefusals(step);
    s.counts.Sample(step, sample.payloadBytes, verdict);
    if (sample.idKnown) {
        if (step.kind == Continuity::First) {
            s.firstId.store(sample.id, RELAXED);
        }
        s.lastId.store(sample.id, RELAXED);
    }
    if (sequence != UNKNOWN_SEQUENCE) {
        s.lastSequence.store(sequence, RELAXED);
    }
    if (info.source_timestamp.seconds() >= 0 && reception >= 0) {
        const int64_t latency = reception - info.source_timestamp.to_ns();
        if (latency < 0) {
            s.negativeLatencies.Add(1);
        } else {
            s.latency.Record(static_cast<uint64_t>(latency));
            s.latencySumNs.Add(static_cast<uint64_t>(latency));
        }
        if (latency < s.latencyMinNs.load(RELAXED)) {
            s.latencyMinNs.store(latency, RELAXED);
        }
        if (latency > s.latencyMaxNs.load(RELAXED)) {
            s.latencyMaxNs.store(latency, RELAXED);
        }
        // Last, so that a snapshot that counts this sample sees its extremes.
        s.latencySamples.AddRelease(1);
    }
    return step;
}

void ReaderTally::ObserveUndecodable(const fdds::SampleInfo& info)
{
    Stream* stream = StreamOf(info, nullptr);
    if (stream == nullptr) {
        ObserveUnlisted(info, nullptr, PayloadVerdict::NotChecked);
        return;
    }
    // Its id is unknown, so the id check goes on from the sample before it.
    SkipDelivered(*stream, info);
    stream->counts.undecodable.Add(1);
}

void ReaderTally::SkipDelivered(Stream& stream, const fdds::SampleInfo& info)
{
    const uint64_t sequence = SequenceOf(info);
    ContinuityStep step;
    step.middlewareLost = stream.continuity.SkipSequence(sequence);
    ClaimRefusals(step);
    stream.counts.Holes(step);
    if (sequence != UNKNOWN_SEQUENCE) {
        stream.lastSequence.store(sequence, RELAXED);
    }
}

void ReaderTally::ObserveNoData(const fdds::SampleInfo& info)
{
    const WriterKey key = KeyOf(info.publication_handle);
    Stream* stream = lastStream_ != nullptr && lastStream_->key == key ? lastStream_ : Find(key);
    if (stream != nullptr) {
        SkipDelivered(*stream, info);
        return;
    }
    // Before its first sample there is no baseline to keep; an unlisted
    // writer's holes are summed with the others'.
    if (const auto known = unlistedContinuity_.find(key); known != unlistedContinuity_.end()) {
        ContinuityStep step;
        step.middlewareLost = known->second.SkipSequence(SequenceOf(info));
        ClaimRefusals(step);
        unlisted_->Holes(step);
    }
}

// A writer without a stream of its own: its ids are still checked (up to
// MAX_UNLISTED_CHECKED writers), and every count goes to the unlisted ones.
ContinuityStep ReaderTally::ObserveUnlisted(const fdds::SampleInfo& info, const SampleFacts* sample,
                                            PayloadVerdict verdict)
{
    const WriterKey key = KeyOf(info.publication_handle);
    auto known = unlistedContinuity_.find(key);
    if (known == unlistedContinuity_.end() && unlistedContinuity_.size() < MAX_UNLISTED_CHECKED) {
        known = unlistedContinuity_.emplace(key, StreamContinuity{}).first;
        unlistedWriters_.fetch_add(1);
    }
    StreamContinuity scratch; // past the bound: counted, not checked
    StreamContinuity& continuity = known != unlistedContinuity_.end() ? known->second : scratch;
    const uint64_t sequence = SequenceOf(info);
    if (sample == nullptr) {
        ContinuityStep step;
        step.middlewareLost = continuity.SkipSequence(sequence);
        ClaimRefusals(step);
        unlisted_->Holes(step);
        unlisted_->undecodable.Add(1);
        return {};
    }
    ContinuityStep step = Step(continuity, *sample, sequence, increment_);
    ClaimRefusals(step);
    unlisted_->Sample(step, sample->payloadBytes, verdict);
    return step;
}

void ReaderTally::ClaimRefusals(ContinuityStep& step)
{
    if (step.middlewareLost == 0) {
        return;
    }
    uint64_t unclaimed = unclaimedRefusals_.load();
    uint64_t claimed = 0;
    do {
        claimed = std::min(unclaimed, step.middlewareLost);
        if (claimed == 0) {
            return;
        }
    } while (!unclaimedRefusals_.compare_exchange_weak(unclaimed, unclaimed - claimed));
    step.middlewareLost -= claimed;
    step.monitorRejected = claimed;
}

// ---------------------------------------------------------------- status events

void ReaderTally::SetPresence(const fdds::InstanceHandle_t& handle, Presence presence)
{
    const WriterKey key = KeyOf(handle);
    std::lock_guard lock(slotsMutex_);
    if (Stream* stream = Find(key)) {
        stream->presence.store(presence);
        if (presence != Presence::Alive) {
            stream->departed.store(true);
        }
        return;
    }
    // Status callbacks race the data callback: the writer's first sample may
    // still be on its way. Its stream starts with what was said of it.
    // Only a departure is kept: it stays, as a stream's does.
    if (presence == Presence::Alive) {
        return;
    }
    if (auto early = earlyPresence_.find(key); early != earlyPresence_.end()) {
        early->second = presence;
    } else if (earlyPresence_.size() < MAX_EARLY_PRESENCE) {
        earlyPresence_.emplace(key, presence);
    }
}

void ReaderTally::Queue(StatusEvent event)
{
    event.time = std::chrono::system_clock::now();
    std::lock_guard lock(eventsMutex_);
    if (events_.size() >= MAX_QUEUED_EVENTS) {
        ++eventsDropped_;
        return;
    }
    events_.push_back(std::move(event));
}

void ReaderTally::OnSubscriptionMatched(const fdds::SubscriptionMatchedStatus& status)
{
    const bool unmatched = status.current_count_change < 0;
    if (unmatched) {
        unmatched_.fetch_add(1);
        SetPresence(status.last_publication_handle, Presence::Unmatched);
    } else {
        matched_.fetch_add(1);
        SetPresence(status.last_publication_handle, Presence::Alive);
    }
    StatusEvent event;
    event.kind = unmatched ? "subscription_unmatched" : "subscription_matched";
    event.writer = KeyOf(status.last_publication_handle);
    event.counts = {{"current_count", status.current_count},
                    {"current_count_change", status.current_count_change},
                    {"total_count", status.total_count},
                    {"total_count_change", status.total_count_change}};
    Queue(std::move(event));
}

void ReaderTally::OnDeadlineMissed(const fdds::RequestedDeadlineMissedStatus& status)
{
    deadlinesMissed_.fetch_add(Positive(status.total_count_change));
    StatusEvent event;
    event.kind = "requested_deadline_missed";
    event.counts = {{"total_count", status.total_count}, {"total_count_change", status.total_count_change}};
    Queue(std::move(event));
}

void ReaderTally::OnLivelinessChanged(const fdds::LivelinessChangedStatus& status)
{
    livelinessChanges_.fetch_add(1);
    if (status.alive_count_change > 0) {
        SetPresence(status.last_publication_handle, Presence::Alive);
    } else if (status.not_alive_count_change > 0) {
        SetPresence(status.last_publication_handle, Presence::NotAlive);
    }
    StatusEvent event;
    event.kind = "liveliness_changed";
    event.writer = KeyOf(status.last_publication_handle);
    event.counts = {{"alive_count", status.alive_count},
                    {"not_alive_count", status.not_alive_count},
                    {"alive_count_change", status.alive_count_change},
                    {"not_alive_count_change", status.not_alive_count_change}};
    Queue(std::move(event));
}

void ReaderTally::OnSampleRejected(const fdds::SampleRejectedStatus& status, bool leavesAHole)
{
    samplesRejected_.fetch_add(status.total_count_change);
    if (leavesAHole) {
        unclaimedRefusals_.fetch_add(status.total_count_change);
    }
    StatusEvent event;
    event.kind = "sample_rejected";
    event.nameField = "last_reason";
    event.name = lumo::componentFramework::SampleRejectedReasonName(status.last_reason);
    event.counts = {{"total_count", status.total_count}, {"total_count_change", status.total_count_change}};
    Queue(std::move(event));
}

void ReaderTally::OnWriterRefused(const std::string& writerGuid, const std::string& reason)
{
    StatusEvent event;
    event.kind = "writer_refused";
    event.writerGuid = writerGuid;
    event.nameField = "reason";
    event.name = reason;
    Queue(std::move(event));
}

void ReaderTally::OnIncompatibleQos(const fdds::RequestedIncompatibleQosStatus& status)
{
    incompatibleQos_.fetch_add(1);
    StatusEvent event;
    event.kind = "requested_incompatible_qos";
    event.nameField = "last_policy";
    event.name = lumo::componentFramework::QosPolicyName(static_cast<uint32_t>(status.last_policy_id));
    for (const auto& policy : status.policies) {
        if (policy.count != 0) {
            event.policies.emplace_back(static_cast<uint32_t>(policy.policy_id), policy.count);
        }
    }
    event.counts = {{"total_count", status.total_count}, {"total_count_change", status.total_count_change}};
    Queue(std::move(event));
}

void ReaderTally::OnSampleLost(const fdds::SampleLostStatus& status)
{
    samplesLost_.fetch_add(Positive(status.total_count_change));
    StatusEvent event;
    event.kind = "sample_lost";
    event.counts = {{"total_count", status.total_count}, {"total_count_change", status.total_count_change}};
    Queue(std::move(event));
}

// ---------------------------------------------------------------- report side

ReaderSnapshot ReaderTally::Snapshot() const
{
    ReaderSnapshot snapshot;
    snapshot.topic = topic_;
    snapshot.readerIndex = readerIndex_;
    {
        std::lock_guard lock(slotsMutex_);
        const size_t count = streamCount_.load(std::memory_order_acquire);
        for (size_t i = 0; i < count; ++i) {
            const Stream& s = *streams_[i].load(std::memory_order_acquire);
            StreamSnapshot out;
            out.writer = GuidText(s.key);
            if (s.restarted.load(RELAXED)) {
                out.restartOf = GuidText(s.predecessor);
            }
            out.presence = s.presence.load();
            s.counts.CopyTo(out);
            out.firstId = s.firstId.load(RELAXED);
            out.lastId = s.lastId.load(RELAXED);
            out.lastSequence = s.lastSequence.load(RELAXED);
            out.latencySamples = s.latencySamples.LoadAcquire();
            out.negativeLatencies = s.negativeLatencies.Load();
            out.latencyMinNs = s.latencyMinNs.load(RELAXED);
            out.latencyMaxNs = s.latencyMaxNs.load(RELAXED);
            out.latencyCounts = s.latency.Counts();
            out.latencySumNs = s.latencySumNs.Load();
            snapshot.streams.push_back(std::move(out));
        }
        unlisted_->CopyTo(snapshot.unlisted);
        snapshot.unlistedWriters = unlistedWriters_.load();
    }
    snapshot.restarts = restarts_.load();
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

} // namespace quillModel
