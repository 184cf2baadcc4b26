#include "lumo/componentFramework/TypeSupportCompat.h"

namespace lumo::componentFramework::compat {

BufferTopicDataType::BufferTopicDataType(const char* typeName, uint32_t initialSerializedSize)
{
#if LUMO_FASTDDS_MAJOR >= 3
    set_name(typeName);
    max_serialized_type_size = initialSerializedSize;
    is_compute_key_provided = false;
#else
    setName(typeName);
    m_typeSize = initialSerializedSize;
    m_isGetKeyDefined = false;
#endif
}

bool BufferTopicDataType::EncodeInto(const void* data, rtps::SerializedPayload_t& payload) const
{
    uint32_t length = 0;
    if (payload.data == nullptr || !EncodeSample(data, payload.data, payload.max_size, length)) {
        return false;
    }
    payload.length = length;
    // The representation identifier the encoder wrote (big endian on the
    // wire), which is what Fast DDS keeps as the payload's encapsulation.
    payload.encapsulation = static_cast<uint16_t>(payload.data[0] << 8 | payload.data[1]);
    return true;
}

bool BufferTopicDataType::DecodeFrom(const rtps::SerializedPayload_t& payload, void* data) const
{
    const uint32_t length = payload.length <= payload.max_size ? payload.length : payload.max_size;
    return DecodeSample(payload.data, length, data);
}

#if LUMO_FASTDDS_MAJOR >= 3

// One encoding whatever representation the writer's QoS asks for: the
// encapsulation header says which it is, and readers go by the header.
bool BufferTopicDataType::serialize(const void* const data, rtps::SerializedPayload_t& payload,
                                    eprosima::fastdds::dds::DataRepresentationId_t)
{
    return EncodeInto(data, payload);
}

bool BufferTopicDataType::deserialize(rtps::SerializedPayload_t& payload, void* data)
{
    return DecodeFrom(payload, data);
}

uint32_t BufferTopicDataType::calculate_serialized_size(const void* const data,
                                                        eprosima::fastdds::dds::DataRepresentationId_t)
{
    return SerializedSizeOf(data);
}

void* BufferTopicDataType::create_data()
{
    return NewSample();
}

void BufferTopicDataType::delete_data(void* data)
{
    DeleteSample(data);
}

bool BufferTopicDataType::compute_key(rtps::SerializedPayload_t&, rtps::InstanceHandle_t&, bool)
{
    return false; // keyless
}

bool BufferTopicDataType::compute_key(const void* const, rtps::InstanceHandle_t&, bool)
{
    return false; // keyless
}

std::string TypeName(const eprosima::fastdds::dds::TopicDataType& type)
{
    return type.get_name();
}

uint32_t SerializedSize(eprosima::fastdds::dds::TopicDataType& type, const void* data)
{
    return type.calculate_serialized_size(data, eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION);
}

bool Serialize(eprosima::fastdds::dds::TopicDataType& type, const void* data, SerializedPayload& payload)
{
    return type.serialize(data, payload, eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION);
}

bool Deserialize(eprosima::fastdds::dds::TopicDataType& type, SerializedPayload& payload, void* data)
{
    return type.deserialize(payload, data);
}

#else

bool BufferTopicDataType::serialize(void* data, rtps::SerializedPayload_t* payload)
{
    return payload != nullptr && EncodeInto(data, *payload);
}

bool BufferTopicDataType::deserialize(rtps::SerializedPayload_t* payload, void* data)
{
    return payload != nullptr && DecodeFrom(*payload, data);
}

std::function<uint32_t()> BufferTopicDataType::getSerializedSizeProvider(void* data)
{
    return [this, data]() { return SerializedSizeOf(data); };
}

void* BufferTopicDataType::createData()
{
    return NewSample();
}

void BufferTopicDataType::deleteData(void* data)
{
    DeleteSample(data);
}

bool BufferTopicDataType::getKey(void*, rtps::InstanceHandle_t*, bool)
{
    return false; // keyless
}

std::string TypeName(const eprosima::fastdds::dds::TopicDataType& type)
{
    return type.getName();
}

uint32_t SerializedSize(eprosima::fastdds::dds::TopicDataType& type, const void* data)
{
    return type.getSerializedSizeProvider(const_cast<void*>(data))();
}

bool Serialize(eprosima::fastdds::dds::TopicDataType& type, const void* data, SerializedPayload& payload)
{
    // 2.x takes the sample through a non-const pointer but only reads it.
    return type.serialize(const_cast<void*>(data), &payload);
}

bool Deserialize(eprosima::fastdds::dds::TopicDataType& type, SerializedPayload& payload, void* data)
{
    return type.deserialize(&payload, data);
}

#endif

} // namespace lumo::componentFramework::compat
