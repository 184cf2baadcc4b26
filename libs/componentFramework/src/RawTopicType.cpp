#include "lumo/componentFramework/RawTopicType.h"

#include <cstring>

namespace lumo::componentFramework::compat {
namespace {
// Payload buffers start this large and grow as samples need.
constexpr uint32_t INITIAL_SIZE = 4096;

bool CopyIn(const rtps::SerializedPayload_t& payload, void* data)
{
    auto* sample = static_cast<RawSample*>(data);
    sample->bytes.assign(payload.data, payload.data + payload.length);
    return true;
}

bool CopyOut(const void* data, rtps::SerializedPayload_t& payload)
{
    const auto* sample = static_cast<const RawSample*>(data);
    if (sample->bytes.size() > payload.max_size) {
        return false;
    }
    std::memcpy(payload.data, sample->bytes.data(), sample->bytes.size());
    payload.length = static_cast<uint32_t>(sample->bytes.size());
    return true;
}
} // namespace

RawTopicType::RawTopicType(const std::string& typeName, bool keyed)
    : keyed_(keyed)
{
#if LUMO_FASTDDS_MAJOR >= 3
    set_name(typeName.c_str());
    max_serialized_type_size = INITIAL_SIZE;
    is_compute_key_provided = keyed;
#else
    setName(typeName.c_str());
    m_typeSize = INITIAL_SIZE;
    m_isGetKeyDefined = keyed;
    // Type objects would be built from a type we do not know; a remote with
    // type lookup then refuses to match.
    auto_fill_type_object(false);
    auto_fill_type_information(false);
#endif
}

void RawTopicType::FixedHandle(rtps::InstanceHandle_t& handle) const
{
    // All samples share one instance: the key is never decoded. Non-zero,
    // since a zero handle counts as none (2.x then leaves the sample
    // unread in the history).
    handle = rtps::InstanceHandle_t();
    handle.value[15] = 1;
}

#if LUMO_FASTDDS_MAJOR >= 3
bool RawTopicType::serialize(const void* const data, rtps::SerializedPayload_t& payload,
                             eprosima::fastdds::dds::DataRepresentationId_t /*representation*/)
{
    return CopyOut(data, payload);
}
bool RawTopicType::deserialize(rtps::SerializedPayload_t& payload, void* data)
{
    return CopyIn(payload, data);
}
uint32_t RawTopicType::calculate_serialized_size(const void* const data,
                                                 eprosima::fastdds::dds::DataRepresentationId_t /*representation*/)
{
    return static_cast<uint32_t>(static_cast<const RawSample*>(data)->bytes.size());
}
void* RawTopicType::create_data()
{
    return new RawSample();
}
void RawTopicType::delete_data(void* data)
{
    delete static_cast<RawSample*>(data);
}
bool RawTopicType::compute_key(rtps::SerializedPayload_t& /*payload*/, rtps::InstanceHandle_t& handle,
                               bool /*forceMd5*/)
{
    FixedHandle(handle);
    return true;
}
bool RawTopicType::compute_key(const void* const /*data*/, rtps::InstanceHandle_t& handle, bool /*forceMd5*/)
{
    FixedHandle(handle);
    return true;
}
#else
bool RawTopicType::serialize(void* data, rtps::SerializedPayload_t* payload)
{
    return CopyOut(data, *payload);
}
bool RawTopicType::deserialize(rtps::SerializedPayload_t* payload, void* data)
{
    return CopyIn(*payload, data);
}
std::function<uint32_t()> RawTopicType::getSerializedSizeProvider(void* data)
{
    return [data] { return static_cast<uint32_t>(static_cast<RawSample*>(data)->bytes.size()); };
}
void* RawTopicType::createData()
{
    return new RawSample();
}
void RawTopicType::deleteData(void* data)
{
    delete static_cast<RawSample*>(data);
}
bool RawTopicType::getKey(void* /*data*/, rtps::InstanceHandle_t* handle, bool /*forceMd5*/)
{
    FixedHandle(*handle);
    return true;
}
#endif

} // namespace lumo::componentFramework::compat
