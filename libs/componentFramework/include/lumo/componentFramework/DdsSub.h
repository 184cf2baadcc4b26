// Subscriber side of the toolkit's DDS facade.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lumo/componentFramework/Dds.h"

namespace eprosima::fastdds::dds {
class DataReader;
class DataReaderQos;
class DataReaderListener;
class Subscriber;
class Topic;
} // namespace eprosima::fastdds::dds

namespace lumo::componentFramework {

// One reader to create: its topic, its listener (kept alive by the record
// and by the facade until the reader is deleted) and an optional IPv4
// multicast group on which the reader receives its data.
struct DdsReaderParams
{
    std::string topicName;
    std::shared_ptr<eprosima::fastdds::dds::DataReaderListener> listener;
    std::string multicastAddress;
};

// A reader of any type: its samples arrive as compat::RawSample, whatever
// type its writers announce.
struct RawReaderParams
{
    std::string topicName;
    std::string typeName; // as the topic's writers announce it
    bool keyed = false;   // as the writers' entity ids say (0x02 keyed, 0x03 keyless)
    std::shared_ptr<eprosima::fastdds::dds::DataReaderListener> listener;
    std::string multicastAddress;
};

class DdsSub : public Dds
{
public:
    using Dds::Dds;
    // Deletes whatever readers still exist, then topics, subscriber and
    // participant; only then drops its references to the listeners.
    ~DdsSub() override;

    // Subscriber from the <subscriber> profile of the same name when the file
    // has one; readers it creates start disabled.
    void CreateSubscriber();

    // One disabled AgnosticTopic reader per record, in order, with the
    // record's listener on every reader status and on data available.
    // Readers on the same topic name share one Topic.
    void CreateManyDataReaders(const std::vector<DdsReaderParams>& params);

    // A disabled reader of typeName on its own subscriber, which reads
    // every partition, the default one included; the profile's reader QoS
    // keeping every sample, without inline QoS. Returns its index. Readers of
    // one topic name must share its type; a type name keeps its kind. Usable
    // after EnableAllDataReaders too.
    size_t CreateRawDataReader(const RawReaderParams& params);

    void EnableAllDataReaders();
    void EnableDataReader(size_t index);

    // Deletes every reader; once it returns no listener callback runs. A reader
    // that Fast DDS refuses to delete (one with samples still on loan, for
    // instance) is logged at ERROR on the "lumo" logger and lives on: its
    // listener is then kept until the process ends.
    void DestroyAllDataReaders();

    // What a reader created with this profile's QoS requests, its
    // subscriber's partitions included; empty when the loaded QoS file has no
    // reader profile of that name (the profile in use always answers, as its
    // readers are made even then). A DdsError before CreateSubscriber.
    std::optional<EndpointQos> ProfileReaderQos(const std::string& profile) const;

    size_t ReaderCount() const { return readers_.size(); }
    eprosima::fastdds::dds::DataReader* Reader(size_t index) const { return readers_.at(index).reader; }
    // Reader `index`'s GUID, and the writers matched with it now, written
    // as discovery records write GUIDs.
    std::string ReaderGuid(size_t index) const;
    std::vector<std::string> MatchedWriters(size_t index) const;
    // What reader `index` requests: its QoS, its subscriber's partitions,
    // its type name and kind.
    EndpointQos ReaderRequest(size_t index) const;

protected:
    // Readers only send acknowledgements and discovery: a small segment will
    // do, however large the profile's (which its writers need).
    uint32_t SharedMemorySegmentCap() const override { return READER_SHARED_MEMORY_SEGMENT; }

private:
    static constexpr uint32_t READER_SHARED_MEMORY_SEGMENT = 1024 * 1024;

    struct ReaderEntry
    {
        eprosima::fastdds::dds::DataReader* reader = nullptr;
        std::shared_ptr<eprosima::fastdds::dds::DataReaderListener> listener;
        eprosima::fastdds::dds::Subscriber* subscriber = nullptr;
        std::string typeName;
        bool keyed = false;
    };

    void DeleteEntities() noexcept;
    // The reader QoS of a profile, as the facade creates its readers.
    eprosima::fastdds::dds::DataReaderQos ReaderQos(const std::string& profile) const;
    eprosima::fastdds::dds::Subscriber* RawSubscriber();
    // Registers the raw type typeName once; a DdsError when the name is
    // registered with the other kind, or as a type still in use.
    void RegisterRawType(const std::string& typeName, bool keyed);

    eprosima::fastdds::dds::Subscriber* subscriber_ = nullptr;
    eprosima::fastdds::dds::Subscriber* rawSubscriber_ = nullptr;
    std::vector<ReaderEntry> readers_;
};

} // namespace lumo::componentFramework
