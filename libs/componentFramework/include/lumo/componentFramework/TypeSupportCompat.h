// Type support written once, against plain buffers, for Fast DDS 2.x and 3.x.
// TopicDataType's virtual functions changed names and signatures in 3.x
// (serialize and deserialize take references, the size provider became
// calculate_serialized_size, getKey became two compute_key overloads,
// createData/deleteData became create_data/delete_data); this base
// implements whichever set the build's Fast DDS declares and hands the work
// to the neutral functions below.
#pragma once

#include <cstdint>
#include <string>

#include <fastdds/dds/topic/TopicDataType.hpp>

#include "lumo/componentFramework/FastDdsCompat.h"

#if LUMO_FASTDDS_MAJOR >= 3
#include <fastdds/rtps/common/InstanceHandle.hpp>
#include <fastdds/rtps/common/SerializedPayload.hpp>
#else
#include <fastdds/rtps/common/InstanceHandle.h>
#include <fastdds/rtps/common/SerializedPayload.h>
#endif

namespace lumo::componentFramework::compat {

using SerializedPayload = rtps::SerializedPayload_t;

// A keyless type whose samples are encoded into and decoded from a
// contiguous buffer that starts with the RTPS encapsulation header.
class BufferTopicDataType : public eprosima::fastdds::dds::TopicDataType
{
public:
    // initialSerializedSize: the size Fast DDS gives a history's payload
    // buffers at first; they grow as samples need.
    BufferTopicDataType(const char* typeName, uint32_t initialSerializedSize);

    // Serialized size of a sample, encapsulation header included.
    virtual uint32_t SerializedSizeOf(const void* data) const = 0;
    // Writes the sample into buffer (capacity bytes) and its length into
    // length; false when it does not fit.
    virtual bool EncodeSample(const void* data, uint8_t* buffer, uint32_t capacity, uint32_t& length) const = 0;
    // Reads a sample from length bytes; false, leaving data as it was, when
    // they do not hold one.
    virtual bool DecodeSample(const uint8_t* buffer, uint32_t length, void* data) const = 0;
    virtual void* NewSample() const = 0;
    virtual void DeleteSample(void* data) const = 0;

#if LUMO_FASTDDS_MAJOR >= 3
    bool serialize(const void* const data, rtps::SerializedPayload_t& payload,
                   eprosima::fastdds::dds::DataRepresentationId_t representation) override;
    bool deserialize(rtps::SerializedPayload_t& payload, void* data) override;
    uint32_t calculate_serialized_size(const void* const data,
                                       eprosima::fastdds::dds::DataRepresentationId_t representation) override;
    void* create_data() override;
    void delete_data(void* data) override;
    bool compute_key(rtps::SerializedPayload_t& payload, rtps::InstanceHandle_t& handle, bool forceMd5) override;
    bool compute_key(const void* const data, rtps::InstanceHandle_t& handle, bool forceMd5) override;
#else
    bool serialize(void* data, rtps::SerializedPayload_t* payload) override;
    bool deserialize(rtps::SerializedPayload_t* payload, void* data) override;
    std::function<uint32_t()> getSerializedSizeProvider(void* data) override;
    void* createData() override;
    void deleteData(void* data) override;
    bool getKey(void* data, rtps::InstanceHandle_t* handle, bool forceMd5) override;
#endif

private:
    bool EncodeInto(const void* data, rtps::SerializedPayload_t& payload) const;
    bool DecodeFrom(const rtps::SerializedPayload_t& payload, void* data) const;
};

// Fast DDS's own entry points of a type, called as the library calls them
// (on the writer's and the reader's side), for whichever version is built.
std::string TypeName(const eprosima::fastdds::dds::TopicDataType& type);
uint32_t SerializedSize(eprosima::fastdds::dds::TopicDataType& type, const void* data);
bool Serialize(eprosima::fastdds::dds::TopicDataType& type, const void* data, SerializedPayload& payload);
bool Deserialize(eprosima::fastdds::dds::TopicDataType& type, SerializedPayload& payload, void* data);

} // namespace lumo::componentFramework::compat
