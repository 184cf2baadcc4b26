// Publisher side of the toolkit's DDS facade.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/componentFramework/Dds.h"

namespace eprosima::fastdds::dds {
class DataWriter;
class Publisher;
class Topic;
} // namespace eprosima::fastdds::dds

namespace lumo::componentFramework {

class DdsPub : public Dds
{
public:
    using Dds::Dds;
    ~DdsPub() override;

    // Publisher from the <publisher> profile of the same name when the file
    // has one.
    void CreatePublisher();

    // One enabled AgnosticTopic writer per topic name, in order, from the
    // <data_writer> profile when the file has one.
    void CreateManyDataWriters(const std::vector<std::string>& topicNames);

    size_t WriterCount() const { return writers_.size(); }
    eprosima::fastdds::dds::DataWriter* Writer(size_t index) const { return writers_.at(index); }

    // Writes one sample on writer `index`; false when Fast DDS refused it
    // (for a reliable writer: its history stayed full for the blocking time).
    bool Write(size_t index, AgnosticTopic& sample);

    // Waits until writer `index` has at least `count` matched readers.
    bool WaitForMatchedReaders(size_t index, int count, std::chrono::milliseconds timeout) const;

    // Waits until every sample written on writer `index` is acknowledged.
    bool WaitForAcknowledgments(size_t index, std::chrono::milliseconds timeout) const;

    void DestroyAllDataWriters();

private:
    void DeleteEntities() noexcept;

    eprosima::fastdds::dds::Publisher* publisher_ = nullptr;
    std::vector<eprosima::fastdds::dds::DataWriter*> writers_;
};

} // namespace lumo::componentFramework
