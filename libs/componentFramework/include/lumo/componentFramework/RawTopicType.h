// A type that takes any topic's samples as opaque bytes, so a reader can
// follow a topic whose IDL it was never built with. Samples keep their
// encapsulation header; nothing is decoded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// A sample as it came: the serialized payload, its 4-byte encapsulation
// header included.
struct RawSample
{
    std::vector<uint8_t> bytes;
};

class RawTopicType : public eprosima::fastdds::dds::TopicDataType
{
public:
    // keyed: whether the writers' type has a key; discovery pairs a reader
    // only with writers of its own kind.
    RawTopicType(const std::string& typeName, bool keyed);

    bool Keyed() const { return keyed_; }

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
    void FixedHandle(rtps::InstanceHandle_t& handle) const;

    bool keyed_;
};

} // namespace lumo::componentFramework::compat
