#include "lumo/componentFramework/DdsSub.h"

#include <algorithm>
#include <mutex>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/subscriber/qos/SubscriberQos.hpp>
#include <fastdds/dds/topic/Topic.hpp>

#include "DiscoveryListener.h"
#include "DiscoveryWatch.h"
#include "NoMatchWarning.h"
#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/componentFramework/Interfaces.h"
#include "lumo/componentFramework/Logging.h"
#include "lumo/componentFramework/Retcode.h"

namespace lumo::componentFramework {

using namespace eprosima::fastdds::dds;

namespace {

// Samples per take when the history itself has no limit.
constexpr int32_t UNLIMITED_HISTORY_TAKE_LIMIT = 65536;

// Everything a reader listener can report, and data available. Never
// data_on_readers: that status belongs to subscriber and participant
// listeners and would take on_data_available away from the reader's.
StatusMask ReaderListenerMask()
{
    return StatusMask::data_available() << StatusMask::subscription_matched() << StatusMask::requested_deadline_missed()
                                        << StatusMask::liveliness_changed() << StatusMask::sample_rejected()
                                        << StatusMask::requested_incompatible_qos() << StatusMask::sample_lost();
}

compat::rtps::Locator_t MulticastLocator(const std::string& address, const std::string& topic)
{
    if (!IsIPv4MulticastAddress(address)) {
        throw DdsError("invalid multicast address '" + address + "' for topic '" + topic +
                       "' (expected an IPv4 group, 224.0.0.0 to 239.255.255.255)");
    }
    // Port 0: Fast DDS fills in the domain's user multicast port.
    return compat::UdpV4Locator(address);
}

// Hands every callback to the reader's own listener unchanged; after an
// incompatible-QoS report it lets the discovery watch add, on the next line,
// why the writer does not match, and it tells the no-match warning how many
// writers the reader has.
class ExplainingReaderListener : public DataReaderListener
{
public:
    ExplainingReaderListener(std::shared_ptr<DataReaderListener> inner, DiscoveryWatch& watch, uint32_t index,
                             std::shared_ptr<NoMatchWarning> noMatch)
        : inner_(std::move(inner))
        , watch_(watch)
        , index_(index)
        , noMatch_(std::move(noMatch))
        , noMatchIndex_(noMatch_->AddReader())
    {
    }

    void on_data_available(DataReader* reader) override { inner_->on_data_available(reader); }
    void on_subscription_matched(DataReader* reader, const SubscriptionMatchedStatus& status) override
    {
        inner_->on_subscription_matched(reader, status);
        noMatch_->MatchedCount(noMatchIndex_, status.current_count);
    }
    void on_requested_deadline_missed(DataReader* reader, const RequestedDeadlineMissedStatus& status) override
    {
        inner_->on_requested_deadline_missed(reader, status);
    }
    void on_liveliness_changed(DataReader* reader, const LivelinessChangedStatus& status) override
    {
        inner_->on_liveliness_changed(reader, status);
    }
    void on_sample_rejected(DataReader* reader, const SampleRejectedStatus& status) override
    {
        inner_->on_sample_rejected(reader, status);
    }
    void on_requested_incompatible_qos(DataReader* reader, const RequestedIncompatibleQosStatus& status) override
    {
        inner_->on_requested_incompatible_qos(reader, status);
        watch_.IncompatibleQosReported(index_);
    }
    void on_sample_lost(DataReader* reader, const SampleLostStatus& status) override
    {
        inner_->on_sample_lost(reader, status);
    }

private:
    std::shared_ptr<DataReaderListener> inner_;
    DiscoveryWatch& watch_;
    uint32_t index_;
    // Shared: a reader that cannot be deleted keeps calling its listener.
    std::shared_ptr<NoMatchWarning> noMatch_;
    uint32_t noMatchIndex_;
};

// The shipped profiles, in the order in which one is suggested for a writer
// that the current profile cannot read.
constexpr const char* SHIPPED_READER_PROFILES[] = {"Lumo_Default_Profile", "Lumo_Liveliness_Profile",
                                                   "Lumo_BestEffort_Profile", "Lumo_SharedMemory_Profile",
                                                   "Lumo_Loopback_Profile"};

// Teardown goes on whatever happens to the message.
void LogError(const std::string& text) noexcept
{
    try {
        auto& logger = GetLogger("lumo");
        if (logger.isEnabledFor(log4cplus::ERROR_LOG_LEVEL)) {
            logger.forcedLog(log4cplus::ERROR_LOG_LEVEL, text, __FILE__, __LINE__);
        }
    } catch (...) {
    }
}

// Listeners of readers that could not be deleted: never released, since
// Fast DDS may call them as long as the process runs.
void KeepUntilProcessEnd(std::shared_ptr<DataReaderListener> listener)
{
    static auto* kept = new std::vector<std::shared_ptr<DataReaderListener>>();
    static auto* mutex = new std::mutex();
    std::lock_guard lock(*mutex);
    kept->push_back(std::move(listener));
}

} // namespace

DdsSub::~DdsSub()
{
    DeleteEntities(); // readers first, then their listeners
    DeleteParticipant();
}

void DdsSub::CreateSubscriber()
{
    if (subscriber_ != nullptr) {
        throw DdsError("the subscriber already exists");
    }
    auto* participant = Participant();
    SubscriberQos qos = participant->get_default_subscriber_qos();
    participant->get_subscriber_qos_from_profile(QosProfile(), qos);
    // Readers stay disabled until EnableAllDataReaders, so that no callback
    // arrives before the caller has finished setting its listeners up.
    qos.entity_factory().autoenable_created_entities = false;
    subscriber_ = participant->create_subscriber(qos, nullptr, StatusMask::none());
    if (subscriber_ == nullptr) {
        throw DdsError("cannot create the DDS subscriber (profile '" + QosProfile() + "')");
    }
}

void DdsSub::CreateManyDataReaders(const std::vector<DdsReaderParams>& params)
{
    if (subscriber_ == nullptr) {
        throw DdsError("CreateSubscriber must come before CreateManyDataReaders");
    }
    const DataReaderQos baseQos = ReaderQos(QosProfile());
    SuggestShippedProfiles();
    if (noMatch_ == nullptr) {
        noMatch_ = MakeNoMatchWarning();
    }
    for (const auto& record : params) {
        if (record.topicName.empty()) {
            throw DdsError("empty topic name");
        }
        DataReaderQos qos = baseQos;
        if (!record.multicastAddress.empty()) {
            qos.endpoint().multicast_locator_list.push_back(
                MulticastLocator(record.multicastAddress, record.topicName));
        }
        Topic* topic = FindOrCreateTopic(record.topicName);
        const auto index = static_cast<uint32_t>(readers_.size());
        std::shared_ptr<DataReaderListener> listener;
        if (record.listener != nullptr) {
            listener = std::make_shared<ExplainingReaderListener>(record.listener, Watch(), index, noMatch_);
        }
        DataReader* reader = subscriber_->create_datareader(topic, qos, listener.get(), ReaderListenerMask());
        if (reader == nullptr) {
            throw DdsError("cannot create a data reader on topic '" + record.topicName + "' (profile '" + QosProfile() +
                           "')");
        }
        Watch().AddReader(index, record.topicName,
                          ReaderEndpointQos(qos, subscriber_->get_qos(), AgnosticTopicPubSubType::TYPE_NAME));
        readers_.push_back({reader, std::move(listener)});
    }
}

void DdsSub::EnableAllDataReaders()
{
    for (const auto& entry : readers_) {
        const auto rc = entry.reader->enable();
        if (!compat::IsOk(rc)) {
            throw DdsError("cannot enable the data reader on topic '" +
                           entry.reader->get_topicdescription()->get_name() + "'");
        }
    }
    // Only enabled readers are paired with writers: from now on a writer
    // that cannot be read is explained.
    Watch().Activate();
    if (noMatch_ != nullptr) {
        noMatch_->Start();
    }
}

void DdsSub::DestroyAllDataReaders()
{
    if (noMatch_ != nullptr) {
        noMatch_->Stop();
        noMatch_.reset();
    }
    if (!readers_.empty()) {
        Watch().Deactivate();
    }
    for (auto& entry : readers_) {
        if (entry.reader != nullptr && subscriber_ != nullptr) {
            const auto rc = subscriber_->delete_datareader(entry.reader);
            if (!compat::IsOk(rc)) {
                // The reader lives on and may still call its listener (a loan
                // left outstanding refuses the delete, for instance).
                LogError("cannot delete the data reader on topic '" + entry.reader->get_topicdescription()->get_name() +
                         "' (" + RetcodeToString(compat::RetcodeValue(rc)) +
                         "); it keeps its listener until the process ends");
                KeepUntilProcessEnd(std::move(entry.listener));
            }
            entry.reader = nullptr;
        }
    }
    readers_.clear();
}

DataReaderQos DdsSub::ReaderQos(const std::string& profile) const
{
    DataReaderQos qos = subscriber_->get_default_datareader_qos();
    subscriber_->get_datareader_qos_from_profile(profile, qos);
    // Fast DDS hands out at most 32 samples per take unless told otherwise;
    // a take for "all available" must get all the history can hold, or the
    // rest of a burst waits, unread, for the next arrival.
    const int32_t historyLimit = qos.resource_limits().max_samples;
    qos.reader_resource_limits().max_samples_per_read = historyLimit > 0 ? historyLimit : UNLIMITED_HISTORY_TAKE_LIMIT;
    // The type support reads both encodings, so a writer using XCDR2 is read
    // too where discovery can say so (an empty list accepts XCDR1 only).
    // Where it cannot, such a writer takes the reader for XCDR1-only and
    // refuses it: then the reader must refuse it as well, so that the
    // refusal is reported and explained instead of a silent match.
    if constexpr (compat::READER_REPRESENTATION_ANNOUNCED) {
        if (auto& representation = compat::ReaderRepresentation(qos); representation.m_value.empty()) {
            representation.m_value = {XCDR_DATA_REPRESENTATION, XCDR2_DATA_REPRESENTATION};
        }
    }
    return qos;
}

void DdsSub::SuggestShippedProfiles()
{
    std::vector<std::pair<std::string, EndpointQos>> suggested;
    auto* participant = Participant();
    for (const char* name : SHIPPED_READER_PROFILES) {
        DataReaderQos probe;
        if (name == QosProfile() || !compat::IsOk(subscriber_->get_datareader_qos_from_profile(name, probe))) {
            continue; // the profile in use, or one the loaded QoS file lacks
        }
        SubscriberQos subscriberQos = participant->get_default_subscriber_qos();
        participant->get_subscriber_qos_from_profile(name, subscriberQos);
        suggested.emplace_back(name,
                               ReaderEndpointQos(ReaderQos(name), subscriberQos, AgnosticTopicPubSubType::TYPE_NAME));
    }
    Watch().SetSuggestedProfiles(std::move(suggested));
}

std::shared_ptr<NoMatchWarning> DdsSub::MakeNoMatchWarning()
{
    auto* participant = Participant();
    const std::string discovery = compat::DiscoveryDescription(participant->get_qos(), participant->get_domain_id());
    constexpr auto seconds = std::chrono::duration_cast<std::chrono::seconds>(NO_MATCH_WARNING_DELAY).count();
    auto& watch = Watch();
    auto describe = [discovery, &watch](size_t readers) {
        return "No writer matched by any of the " + std::to_string(readers) + " reader(s) for " +
               std::to_string(seconds) +
               " s; other participants discovered: " + std::to_string(watch.KnownParticipants()) +
               "; discovery: " + discovery;
    };
    return std::make_shared<NoMatchWarning>(GetLogger("lumo"), NO_MATCH_WARNING_DELAY, std::move(describe));
}

void DdsSub::DeleteEntities() noexcept
{
    DestroyAllDataReaders();
    if (subscriber_ != nullptr) {
        ParticipantOrNull()->delete_subscriber(subscriber_);
        subscriber_ = nullptr;
    }
}

} // namespace lumo::componentFramework
