#include "lumo/componentFramework/DdsSub.h"

#include <algorithm>
#include <limits>
#include <mutex>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/subscriber/qos/SubscriberQos.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include "DiscoveryListener.h"
#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/componentFramework/Interfaces.h"
#include "lumo/componentFramework/Logging.h"
#include "lumo/componentFramework/RawTopicType.h"
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
    for (const auto& record : params) {
        if (record.topicName.empty()) {
            throw DdsError("empty topic name");
        }
        DataReaderQos qos = baseQos;
        if (!record.multicastAddress.empty()) {
            qos.endpoint().multicast_locator_list.push_back(
                MulticastLocator(record.multicastAddress, record.topicName));
        }
        if (dynamic_cast<compat::RawTopicType*>(Participant()->find_type(AgnosticTopicPubSubType::TYPE_NAME).get()) !=
            nullptr) {
            throw DdsError(std::string("type '") + AgnosticTopicPubSubType::TYPE_NAME +
                           "' is read as raw bytes: no AgnosticTopic reader on topic '" + record.topicName + "'");
        }
        Topic* topic = FindOrCreateTopic(record.topicName);
        DataReader* reader = subscriber_->create_datareader(topic, qos, record.listener.get(), ReaderListenerMask());
        if (reader == nullptr) {
            throw DdsError("cannot create a data reader on topic '" + record.topicName + "' (profile '" + QosProfile() +
                           "')");
        }
        readers_.push_back({reader, record.listener, subscriber_, AgnosticTopicPubSubType::TYPE_NAME, false});
    }
}

size_t DdsSub::CreateRawDataReader(const RawReaderParams& params)
{
    if (subscriber_ == nullptr) {
        throw DdsError("CreateSubscriber must come before CreateRawDataReader");
    }
    if (params.topicName.empty()) {
        throw DdsError("empty topic name");
    }
    if (params.typeName.empty()) {
        throw DdsError("empty type name for topic '" + params.topicName + "'");
    }
    DataReaderQos qos = ReaderQos(QosProfile());
    // Every sample kept: all of a keyed topic's samples fall in one instance
    // (the key is never decoded), which a KEEP_LAST depth would cut short.
    qos.history().kind = KEEP_ALL_HISTORY_QOS;
    if (params.keyed) {
        // That one instance may hold the profile's whole history, bounded
        // as for any reader. A writer's dispose or unregistration carries
        // its key hash where the writer sends one (Fast DDS does): an
        // instance of its own for each key the writer disposes, kept while
        // the writer lives. A bound on instances would refuse those, and
        // Fast DDS makes room by dropping a disposed instance whose changes
        // may still be in the history, which later aborts it. So as many
        // instances as the bound on all samples can hold (Fast DDS wants
        // instances times samples per instance within it): at 256 samples an
        // instance, over 8 million.
        auto& limits = qos.resource_limits();
        if (limits.max_samples > 0) {
            limits.max_samples_per_instance = limits.max_samples;
            limits.max_instances = std::numeric_limits<int32_t>::max() / limits.max_samples;
            limits.max_samples = limits.max_instances * limits.max_samples_per_instance;
        } else {
            limits.max_samples_per_instance = 0; // unlimited, as the history
            limits.max_instances = 0;
        }
    }
    // A writer then sends key hashes and inline QoS, which Cyclone DDS never
    // does: it sends nothing at all to a reader that expects them.
    qos.expects_inline_qos(false);
    if (!params.multicastAddress.empty()) {
        qos.endpoint().multicast_locator_list.push_back(MulticastLocator(params.multicastAddress, params.topicName));
    }
    CheckTopicType(params.topicName, params.typeName);
    RegisterRawType(params.typeName, params.keyed);
    Topic* topic = FindOrCreateTopic(params.topicName, params.typeName);
    auto* subscriber = RawSubscriber();
    DataReader* reader = subscriber->create_datareader(topic, qos, params.listener.get(), ReaderListenerMask());
    if (reader == nullptr) {
        throw DdsError("cannot create a data reader of type '" + params.typeName + "' on topic '" + params.topicName +
                       "' (profile '" + QosProfile() + "')");
    }
    readers_.push_back({reader, params.listener, subscriber, params.typeName, params.keyed});
    return readers_.size() - 1;
}

Subscriber* DdsSub::RawSubscriber()
{
    if (rawSubscriber_ != nullptr) {
        return rawSubscriber_;
    }
    auto* participant = Participant();
    SubscriberQos qos = participant->get_default_subscriber_qos();
    participant->get_subscriber_qos_from_profile(QosProfile(), qos);
    qos.entity_factory().autoenable_created_entities = false;
    // Writers in any partition, and in none, are read alike.
    qos.partition().clear();
    for (const auto& name : compat::EveryPartition()) {
        qos.partition().push_back(name.c_str());
    }
    rawSubscriber_ = participant->create_subscriber(qos, nullptr, StatusMask::none());
    if (rawSubscriber_ == nullptr) {
        throw DdsError("cannot create the DDS subscriber of any partition (profile '" + QosProfile() + "')");
    }
    return rawSubscriber_;
}

void DdsSub::RegisterRawType(const std::string& typeName, bool keyed)
{
    auto* participant = Participant();
    const TypeSupport existing = participant->find_type(typeName);
    if (const auto* raw = dynamic_cast<const compat::RawTopicType*>(existing.get())) {
        if (raw->Keyed() != keyed) {
            const auto kind = [](bool isKeyed) { return std::string(isKeyed ? "keyed" : "keyless"); };
            throw DdsError("type '" + typeName + "' is already read " + kind(raw->Keyed()) + ", not " + kind(keyed));
        }
        return;
    }
    // The toolkit's own type of that name gives way while no topic uses it.
    if (existing.get() != nullptr && !compat::IsOk(participant->unregister_type(typeName))) {
        throw DdsError("type '" + typeName + "' is in use as the toolkit's own, not as raw bytes");
    }
    TypeSupport type(new compat::RawTopicType(typeName, keyed));
    if (!compat::IsOk(type.register_type(participant))) {
        throw DdsError("cannot register the type '" + typeName + "'");
    }
}

std::string DdsSub::ReaderGuid(size_t index) const
{
    return GuidText(Reader(index)->guid());
}

std::vector<std::string> DdsSub::MatchedWriters(size_t index) const
{
    std::vector<eprosima::fastdds::dds::InstanceHandle_t> handles;
    std::vector<std::string> writers;
    if (!compat::IsOk(Reader(index)->get_matched_publications(handles))) {
        return writers;
    }
    for (const auto& handle : handles) {
        compat::rtps::GUID_t guid;
        compat::rtps::iHandle2GUID(guid, handle);
        writers.push_back(GuidText(guid));
    }
    return writers;
}

void DdsSub::EnableAllDataReaders()
{
    for (size_t index = 0; index < readers_.size(); ++index) {
        EnableDataReader(index);
    }
}

void DdsSub::EnableDataReader(size_t index)
{
    auto* reader = Reader(index);
    if (!compat::IsOk(reader->enable())) {
        throw DdsError("cannot enable the data reader on topic '" + reader->get_topicdescription()->get_name() + "'");
    }
}

EndpointQos DdsSub::ReaderRequest(size_t index) const
{
    const auto& entry = readers_.at(index);
    EndpointQos request = ReaderEndpointQos(entry.reader->get_qos(), entry.subscriber->get_qos(), entry.typeName);
    request.keyed = entry.keyed;
    return request;
}

void DdsSub::DestroyAllDataReaders()
{
    for (auto& entry : readers_) {
        if (entry.reader != nullptr && entry.subscriber != nullptr) {
            const auto rc = entry.subscriber->delete_datareader(entry.reader);
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

std::optional<EndpointQos> DdsSub::ProfileReaderQos(const std::string& profile) const
{
    if (subscriber_ == nullptr) {
        throw DdsError("CreateSubscriber must come before ProfileReaderQos");
    }
    DataReaderQos probe;
    if (profile != QosProfile() && !compat::IsOk(subscriber_->get_datareader_qos_from_profile(profile, probe))) {
        return std::nullopt;
    }
    auto* participant = Participant();
    SubscriberQos subscriberQos = participant->get_default_subscriber_qos();
    participant->get_subscriber_qos_from_profile(profile, subscriberQos);
    return ReaderEndpointQos(ReaderQos(profile), subscriberQos, AgnosticTopicPubSubType::TYPE_NAME);
}

void DdsSub::DeleteEntities() noexcept
{
    DestroyAllDataReaders();
    for (auto** subscriber : {&subscriber_, &rawSubscriber_}) {
        if (*subscriber != nullptr) {
            ParticipantOrNull()->delete_subscriber(*subscriber);
            *subscriber = nullptr;
        }
    }
}

} // namespace lumo::componentFramework
