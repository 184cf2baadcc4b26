// What discovery says is on the domain now: remote participants, writers and
// readers, kept as the facade's records. Fast DDS's threads write it, the
// main thread reads it; what a peer can make it remember is bounded.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/componentFramework/DiscoveryRecords.h"
#include "lumo/ddsDiagnosis/RecentMap.h"

namespace lumo::ddsDiagnosis {

// The inventory at one moment, each list in discovery order. Writers and
// readers carry their participant's name when it is known.
struct InventorySnapshot
{
    std::vector<componentFramework::DiscoveredParticipant> participants;
    std::vector<componentFramework::DiscoveredWriter> writers;
    std::vector<componentFramework::DiscoveredReader> readers;
};

class TopicInventory : public componentFramework::DiscoveryObserver
{
public:
    // Per kind of entity: beyond it, the one discovered longest ago goes.
    static constexpr size_t MAX_REMEMBERED = 4096;

    // The writers present now on that topic, in discovery order.
    std::vector<componentFramework::DiscoveredWriter> WritersOf(const std::string& topic) const;
    // Names of the topics with at least one writer present now, sorted.
    std::vector<std::string> TopicsWithWriters() const;
    // Bumped on every change; lets the main thread skip unchanged polls.
    uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }
    InventorySnapshot Snapshot() const;

    void ParticipantDiscovered(const componentFramework::DiscoveredParticipant& participant) override;
    void ParticipantChanged(const componentFramework::DiscoveredParticipant& participant) override;
    void ParticipantRemoved(const std::string& guidPrefix) override;
    void WriterDiscovered(const componentFramework::DiscoveredWriter& writer) override;
    void WriterRemoved(const std::string& guid) override;
    void ReaderDiscovered(const componentFramework::DiscoveredReader& reader) override;
    void ReaderRemoved(const std::string& guid) override;

private:
    // The name of a known participant; empty when not known. Lock held.
    std::string NameOfLocked(const std::string& guidPrefix) const;
    void Changed() { generation_.fetch_add(1, std::memory_order_acq_rel); }

    mutable std::mutex mutex_;
    RecentMap<std::string, componentFramework::DiscoveredParticipant> participants_{MAX_REMEMBERED};
    RecentMap<std::string, componentFramework::DiscoveredWriter> writers_{MAX_REMEMBERED};
    RecentMap<std::string, componentFramework::DiscoveredReader> readers_{MAX_REMEMBERED};
    std::atomic<uint64_t> generation_{0};
};

} // namespace lumo::ddsDiagnosis
