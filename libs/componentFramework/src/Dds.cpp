#include "lumo/componentFramework/Dds.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>

#include <unistd.h>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>
#include <fastdds/dds/log/Log.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/qos/TopicQos.hpp>

#include "DiscoveryListener.h"
#include "FastDdsLogRoute.h"
#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/componentFramework/Interfaces.h"

#ifndef LUMO_QOS_INSTALL_DIR
#define LUMO_QOS_INSTALL_DIR "/usr/local/share/lumo"
#endif

namespace lumo::componentFramework {

namespace fs = std::filesystem;
using namespace eprosima::fastdds::dds;

namespace {

fs::path ExecutableDirectory()
{
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : exe.parent_path();
}

bool IsRegularFile(const fs::path& path)
{
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

} // namespace

std::string ResolveQosFile(const std::string& qosFile)
{
    const fs::path given(qosFile);
    if (given.is_absolute() || IsRegularFile(given)) {
        return qosFile;
    }
    std::vector<fs::path> candidates;
    if (const auto exeDir = ExecutableDirectory(); !exeDir.empty()) {
        candidates.push_back(exeDir / given);
        candidates.push_back(exeDir.parent_path() / "share" / "lumo" / given);
    }
    candidates.push_back(fs::path(LUMO_QOS_INSTALL_DIR) / given);
    for (const auto& candidate : candidates) {
        if (IsRegularFile(candidate)) {
            return candidate.string();
        }
    }
    return qosFile;
}

Dds::Dds(std::string qosFile, std::string qosProfile, uint32_t domainId, std::string toolName)
    : qosFile_(std::move(qosFile))
    , qosProfile_(std::move(qosProfile))
    , domainId_(domainId)
    , toolName_(std::move(toolName))
{
}

Dds::~Dds()
{
    DeleteParticipant();
    // Fast DDS logs from a thread of its own: what it had to say about these
    // entities (the XML parser's complaints about a QoS file, for instance)
    // is out before the caller reports its own outcome.
    Log::Flush();
}

void Dds::SetInterfaceWhiteList(const std::vector<std::string>& interfaces)
{
    if (participant_ != nullptr) {
        throw DdsError("the interface white list must be set before the participant is created");
    }
    allowedAddresses_ = ResolveIPv4Interfaces(interfaces);
    whiteListSet_ = true;
}

void Dds::SetParticipantProperties(std::vector<std::pair<std::string, std::string>> properties)
{
    if (participant_ != nullptr) {
        throw DdsError("the participant properties must be set before the participant is created");
    }
    properties_ = std::move(properties);
}

void Dds::CreateParticipant()
{
    if (participant_ != nullptr) {
        throw DdsError("the participant already exists");
    }
    resolvedQosFile_ = ResolveQosFile(qosFile_);
    if (!IsRegularFile(resolvedQosFile_)) {
        throw DdsError("QoS file '" + qosFile_ + "' not found (profile '" + qosProfile_ + "')");
    }
    auto* factory = DomainParticipantFactory::get_instance();
    if (!compat::IsOk(factory->load_XML_profiles_file(resolvedQosFile_))) {
        throw DdsError("QoS file '" + resolvedQosFile_ + "' could not be loaded (malformed XML?) (profile '" +
                       qosProfile_ + "')");
    }
    DomainParticipantQos qos;
    if (!compat::IsOk(factory->get_participant_qos_from_profile(qosProfile_, qos))) {
        throw DdsError("QoS profile '" + qosProfile_ + "' has no <participant> in QoS file '" + resolvedQosFile_ + "'");
    }
    if (qos.name().to_string() == "RTPSParticipant") {
        qos.name(toolName_);
    }
    if (whiteListSet_) {
        compat::RestrictUdpToAddresses(qos, allowedAddresses_);
    }
    if (const uint32_t cap = SharedMemorySegmentCap(); cap > 0) {
        compat::CapSharedMemorySegment(qos, cap);
    }
    for (const auto& [name, value] : properties_) {
        compat::SetProperty(qos, name, value);
    }
    // The listener only hears discovery: with no status in its mask, every
    // reader status and data-available call stays with the reader's listener.
    if (participantObserver_ != nullptr) {
        // By these properties or by the profile's own.
        const auto& set = qos.properties().properties();
        participantObserver_->Joining(std::any_of(set.begin(), set.end(), [](const auto& property) {
            return property.name() == "dds.sec.auth.plugin";
        }));
    }
    std::vector<std::shared_ptr<DiscoveryObserver>> observers;
    if (discoveryObserver_ != nullptr) {
        observers.push_back(discoveryObserver_);
    }
    observers.insert(observers.end(), addedObservers_.begin(), addedObservers_.end());
    if (!observers.empty() || participantObserver_ != nullptr) {
        discoveryListener_ = std::make_unique<DiscoveryListener>(std::move(observers), participantObserver_);
    }
    sharedMemory_ = compat::UsesSharedMemory(qos);
    if (sharedMemory_) {
        SharedMemoryParticipantComing();
    }
    participant_ = factory->create_participant(domainId_, qos, discoveryListener_.get(), StatusMask::none());
    if (participant_ == nullptr) {
        ForgetSharedMemory();
        throw DdsError("cannot create the DDS participant on domain " + std::to_string(domainId_) + " (profile '" +
                       qosProfile_ + "', QoS file '" + resolvedQosFile_ + "')");
    }
    TypeSupport type(new AgnosticTopicPubSubType());
    if (!compat::IsOk(type.register_type(participant_))) {
        DeleteParticipant();
        throw DdsError(std::string("cannot register the type ") + AgnosticTopicPubSubType::TYPE_NAME);
    }
}

void Dds::SetDiscoveryObserver(std::shared_ptr<DiscoveryObserver> observer)
{
    if (participant_ != nullptr) {
        throw DdsError("the discovery observer must be set before the participant is created");
    }
    discoveryObserver_ = std::move(observer);
}

void Dds::AddDiscoveryObserver(std::shared_ptr<DiscoveryObserver> observer)
{
    if (participant_ != nullptr) {
        throw DdsError("the discovery observer must be added before the participant is created");
    }
    if (observer != nullptr) {
        addedObservers_.push_back(std::move(observer));
    }
}

void Dds::SetParticipantObserver(std::shared_ptr<ParticipantObserver> observer)
{
    if (participant_ != nullptr) {
        throw DdsError("the participant observer must be set before the participant is created");
    }
    participantObserver_ = std::move(observer);
}

DiscoverySettings Dds::Discovery() const
{
    auto* participant = Participant();
    return compat::DiscoverySettingsOf(participant->get_qos(), participant->get_domain_id());
}

DomainParticipant* Dds::Participant() const
{
    if (participant_ == nullptr) {
        throw DdsError("the participant does not exist yet");
    }
    return participant_;
}

Topic* Dds::FindOrCreateTopic(const std::string& name)
{
    return FindOrCreateTopic(name, AgnosticTopicPubSubType::TYPE_NAME);
}

void Dds::CheckTopicType(const std::string& name, const std::string& typeName) const
{
    const auto found = std::find_if(topics_.begin(), topics_.end(),
                                    [&name](const Topic* t) { return t->get_name() == name; });
    if (found != topics_.end() && (*found)->get_type_name() != typeName) {
        throw DdsError("topic '" + name + "' is already read with type '" + (*found)->get_type_name() + "', not '" +
                       typeName + "'");
    }
}

Topic* Dds::FindOrCreateTopic(const std::string& name, const std::string& typeName)
{
    CheckTopicType(name, typeName);
    auto found = std::find_if(topics_.begin(), topics_.end(),
                              [&name](const Topic* t) { return t->get_name() == name; });
    if (found != topics_.end()) {
        return *found;
    }
    auto* participant = Participant();
    TopicQos qos = participant->get_default_topic_qos();
    participant->get_topic_qos_from_profile(qosProfile_, qos);
    Topic* topic = participant->create_topic(name, typeName, qos);
    if (topic == nullptr) {
        throw DdsError("cannot create topic '" + name + "'");
    }
    topics_.push_back(topic);
    return topic;
}

void Dds::DeleteParticipant() noexcept
{
    if (participant_ == nullptr) {
        return;
    }
    for (auto* topic : topics_) {
        participant_->delete_topic(topic);
    }
    topics_.clear();
    participant_->delete_contained_entities();
    if (!compat::IsOk(DomainParticipantFactory::get_instance()->delete_participant(participant_))) {
        // Refused while it holds a reader that could not be deleted: the
        // participant lives on and keeps calling its listener, so the
        // listener and what it reports to stay for the rest of the process.
        static auto* kept = new std::vector<std::unique_ptr<DiscoveryListener>>();
        static auto* mutex = new std::mutex();
        std::lock_guard lock(*mutex);
        kept->push_back(std::move(discoveryListener_));
    } else {
        ForgetSharedMemory();
    }
    participant_ = nullptr;
}

void Dds::ForgetSharedMemory() noexcept
{
    if (sharedMemory_) {
        SharedMemoryParticipantGone();
        sharedMemory_ = false;
    }
}

} // namespace lumo::componentFramework
