#include "lumo/ddsDiagnosis/TopicInventory.h"

#include <set>

namespace lumo::ddsDiagnosis {

using componentFramework::DiscoveredParticipant;
using componentFramework::DiscoveredReader;
using componentFramework::DiscoveredWriter;

std::vector<DiscoveredWriter> TopicInventory::WritersOf(const std::string& topic) const
{
    std::vector<DiscoveredWriter> found;
    std::lock_guard lock(mutex_);
    writers_.ForEachOldestFirst([&](const std::string&, const DiscoveredWriter& writer) {
        if (writer.topicName == topic) {
            found.push_back(writer);
            found.back().participantName = NameOfLocked(writer.participantPrefix);
        }
    });
    return found;
}

std::vector<std::string> TopicInventory::TopicsWithWriters() const
{
    std::set<std::string> topics;
    std::lock_guard lock(mutex_);
    writers_.ForEach(
        [&topics](const std::string&, const DiscoveredWriter& writer) { topics.insert(writer.topicName); });
    return {topics.begin(), topics.end()};
}

InventorySnapshot TopicInventory::Snapshot() const
{
    InventorySnapshot snapshot;
    std::lock_guard lock(mutex_);
    participants_.ForEachOldestFirst([&snapshot](const std::string&, const DiscoveredParticipant& participant) {
        snapshot.participants.push_back(participant);
    });
    writers_.ForEachOldestFirst([&](const std::string&, const DiscoveredWriter& writer) {
        snapshot.writers.push_back(writer);
        snapshot.writers.back().participantName = NameOfLocked(writer.participantPrefix);
    });
    readers_.ForEachOldestFirst([&](const std::string&, const DiscoveredReader& reader) {
        snapshot.readers.push_back(reader);
        snapshot.readers.back().participantName = NameOfLocked(reader.participantPrefix);
    });
    return snapshot;
}

void TopicInventory::ParticipantDiscovered(const DiscoveredParticipant& participant)
{
    {
        std::lock_guard lock(mutex_);
        participants_.Put(participant.guidPrefix, participant);
    }
    Changed();
}

void TopicInventory::ParticipantChanged(const DiscoveredParticipant& participant)
{
    ParticipantDiscovered(participant);
}

void TopicInventory::ParticipantRemoved(const std::string& guidPrefix)
{
    {
        std::lock_guard lock(mutex_);
        participants_.Erase(guidPrefix);
        // Its endpoints go with it, whether or not each was reported gone.
        std::vector<std::string> gone;
        const auto collect = [&gone, &guidPrefix](const std::string& guid, const auto& endpoint) {
            if (endpoint.participantPrefix == guidPrefix) {
                gone.push_back(guid);
            }
        };
        writers_.ForEach(collect);
        readers_.ForEach(collect);
        for (const auto& guid : gone) {
            writers_.Erase(guid);
            readers_.Erase(guid);
        }
    }
    Changed();
}

void TopicInventory::WriterDiscovered(const DiscoveredWriter& writer)
{
    {
        std::lock_guard lock(mutex_);
        writers_.Put(writer.guid, writer);
    }
    Changed();
}

void TopicInventory::WriterRemoved(const std::string& guid)
{
    {
        std::lock_guard lock(mutex_);
        writers_.Erase(guid);
    }
    Changed();
}

void TopicInventory::ReaderDiscovered(const DiscoveredReader& reader)
{
    {
        std::lock_guard lock(mutex_);
        readers_.Put(reader.guid, reader);
    }
    Changed();
}

void TopicInventory::ReaderRemoved(const std::string& guid)
{
    {
        std::lock_guard lock(mutex_);
        readers_.Erase(guid);
    }
    Changed();
}

std::string TopicInventory::NameOfLocked(const std::string& guidPrefix) const
{
    const auto* participant = participants_.Find(guidPrefix);
    return participant == nullptr ? std::string() : participant->name;
}

} // namespace lumo::ddsDiagnosis
