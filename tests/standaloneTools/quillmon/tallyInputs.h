// Sample infos made by hand for the per-writer model: writers of either
// vendor on one host, their GUIDs and what discovery heard of them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "model/readerTally.h"

namespace tallyInputs {

namespace fdds = eprosima::fastdds::dds;
using namespace quillModel;

inline fdds::SampleInfo Info(uint8_t writer, uint64_t sequence, int32_t sentSec = 100, uint32_t latencyNs = 0)
{
    fdds::SampleInfo info;
    info.valid_data = true;
    for (int i = 0; i < 16; ++i) {
        info.publication_handle.value[i] = static_cast<uint8_t>(i == 15 ? writer : 0x10 + i);
    }
    info.sample_identity.sequence_number().high = static_cast<int32_t>(sequence >> 32);
    info.sample_identity.sequence_number().low = static_cast<uint32_t>(sequence);
    info.source_timestamp.seconds(sentSec);
    info.source_timestamp.nanosec(0);
    info.reception_timestamp.seconds(sentSec);
    info.reception_timestamp.nanosec(latencyNs);
    return info;
}

inline SampleFacts Sample(uint32_t id, size_t bytes = 8)
{
    return SampleFacts{id, bytes};
}

// A sample read as raw bytes, with no id known.
inline SampleFacts Unnumbered(size_t bytes = 8)
{
    return SampleFacts{0, bytes, false};
}

inline fdds::InstanceHandle_t Handle(uint8_t writer)
{
    return Info(writer, 1).publication_handle;
}

constexpr uint16_t HOST = 0x0207;
constexpr uint8_t FAST_DDS = 0x0f;
constexpr uint8_t CYCLONE_DDS = 0x10;

// A writer of a process of its own: its GUID begins with vendor 01.`vendor`,
// then, for Fast DDS, the host id (little-endian), then the process.
struct Writer
{
    uint8_t id;
    uint16_t host = HOST;
    uint8_t vendor = FAST_DDS;
};

// A sample info of the writer, received at `ms` milliseconds.
inline fdds::SampleInfo WriterInfo(const Writer& writer, uint64_t sequence, int64_t ms)
{
    fdds::SampleInfo info = Info(writer.id, sequence);
    info.publication_handle.value[0] = 0x01;
    info.publication_handle.value[1] = writer.vendor;
    info.publication_handle.value[2] = static_cast<uint8_t>(writer.host & 0xff);
    info.publication_handle.value[3] = static_cast<uint8_t>(writer.host >> 8);
    info.publication_handle.value[4] = writer.id;
    info.reception_timestamp.seconds(static_cast<int32_t>(100 + ms / 1000));
    info.reception_timestamp.nanosec(static_cast<uint32_t>(ms % 1000) * 1000000u);
    return info;
}

// What discovery heard of the writers' participants' addresses.
inline HostLookup Announced(const std::vector<std::pair<Writer, std::vector<std::string>>>& announced)
{
    std::map<std::string, std::vector<std::string>> byPrefix;
    for (const auto& [writer, addresses] : announced) {
        byPrefix[PrefixText(KeyOf(WriterInfo(writer, 1, 0).publication_handle))] = addresses;
    }
    return [byPrefix](const std::string& prefix) {
        const auto found = byPrefix.find(prefix);
        return found == byPrefix.end() ? std::vector<std::string>{} : found->second;
    };
}

inline std::string GuidOf(const fdds::SampleInfo& info)
{
    return GuidText(KeyOf(info.publication_handle));
}

} // namespace tallyInputs
