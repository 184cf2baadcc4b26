#include "lumo/componentFramework/DdsPub.h"

#include <algorithm>
#include <array>
#include <string>
#include <thread>

#include <fastdds/dds/core/status/PublicationMatchedStatus.hpp>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/publisher/qos/PublisherQos.hpp>
#include <fastdds/dds/topic/Topic.hpp>

#include "lumo/componentFramework/FastDdsCompat.h"

namespace lumo::componentFramework {

using namespace eprosima::fastdds::dds;

namespace {

// The crypto plugin's key settings, which it reads from each writer's own
// properties, never from the participant's.
constexpr std::array<const char*, 2> WRITER_CRYPTO_SETTINGS{"dds.sec.crypto.maxblockspersession",
                                                            "dds.sec.crypto.keysize"};

// The participant's crypto key settings, each one that the writer's profile
// does not set itself.
void InheritCryptoSettings(const DomainParticipantQos& participant, DataWriterQos& writer)
{
    auto& own = writer.properties().properties();
    for (const std::string name : WRITER_CRYPTO_SETTINGS) {
        const auto named = [&name](const auto& property) { return property.name() == name; };
        const auto& from = participant.properties().properties();
        const auto inherited = std::find_if(from.begin(), from.end(), named);
        if (inherited != from.end() && std::none_of(own.begin(), own.end(), named)) {
            own.emplace_back(name, inherited->value());
        }
    }
}

} // namespace

DdsPub::~DdsPub()
{
    DeleteEntities();
    DeleteParticipant();
}

void DdsPub::CreatePublisher()
{
    if (publisher_ != nullptr) {
        throw DdsError("the publisher already exists");
    }
    auto* participant = Participant();
    PublisherQos qos = participant->get_default_publisher_qos();
    participant->get_publisher_qos_from_profile(QosProfile(), qos);
    publisher_ = participant->create_publisher(qos, nullptr, StatusMask::none());
    if (publisher_ == nullptr) {
        throw DdsError("cannot create the DDS publisher (profile '" + QosProfile() + "')");
    }
}

void DdsPub::CreateManyDataWriters(const std::vector<std::string>& topicNames)
{
    if (publisher_ == nullptr) {
        throw DdsError("CreatePublisher must come before CreateManyDataWriters");
    }
    DataWriterQos qos = publisher_->get_default_datawriter_qos();
    publisher_->get_datawriter_qos_from_profile(QosProfile(), qos);
    InheritCryptoSettings(Participant()->get_qos(), qos);
    for (const auto& name : topicNames) {
        if (name.empty()) {
            throw DdsError("empty topic name");
        }
        DataWriter* writer = publisher_->create_datawriter(FindOrCreateTopic(name), qos, nullptr, StatusMask::none());
        if (writer == nullptr) {
            throw DdsError("cannot create a data writer on topic '" + name + "' (profile '" + QosProfile() + "')");
        }
        writers_.push_back(writer);
    }
}

bool DdsPub::Write(size_t index, AgnosticTopic& sample)
{
    return compat::WriteSucceeded(writers_.at(index)->write(&sample));
}

bool DdsPub::WaitForMatchedReaders(size_t index, int count, std::chrono::milliseconds timeout) const
{
    auto* writer = writers_.at(index);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    PublicationMatchedStatus status;
    while (true) {
        writer->get_publication_matched_status(status);
        if (status.current_count >= count) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool DdsPub::WaitForAcknowledgments(size_t index, std::chrono::milliseconds timeout) const
{
    return compat::IsOk(writers_.at(index)->wait_for_acknowledgments(compat::ToDuration(timeout)));
}

void DdsPub::DestroyAllDataWriters()
{
    if (publisher_ != nullptr) {
        for (auto* writer : writers_) {
            publisher_->delete_datawriter(writer);
        }
    }
    writers_.clear();
}

void DdsPub::DeleteEntities() noexcept
{
    DestroyAllDataWriters();
    auto* participant = ParticipantOrNull();
    if (participant != nullptr) {
        if (publisher_ != nullptr) {
            participant->delete_publisher(publisher_);
            publisher_ = nullptr;
        }
    }
}

} // namespace lumo::componentFramework
