// Why a discovered writer does not match a local reader, told in plain words.
//
// The QoS and identity of both ends are copied into these plain records (by
// the Fast DDS version's own code in the facade), then compared by the rules
// Fast DDS applies when it pairs a writer with a reader. Policy values are kept
// as the raw numbers seen on the wire, so that a value no rule knows is shown,
// not trusted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumo::componentFramework {

// A duration in seconds; INFINITE_SECONDS (or more) is DDS's infinite one.
inline constexpr double INFINITE_SECONDS = 2147483647.0;

// The DDS enumerations with DDS's numbering (the order the rules compare).
enum class ReliabilityKind : uint32_t
{
    BEST_EFFORT = 1,
    RELIABLE = 2
};
enum class DurabilityKind : uint32_t
{
    VOLATILE = 0,
    TRANSIENT_LOCAL = 1,
    TRANSIENT = 2,
    PERSISTENT = 3
};
enum class LivelinessKind : uint32_t
{
    AUTOMATIC = 0,
    MANUAL_BY_PARTICIPANT = 1,
    MANUAL_BY_TOPIC = 2
};
enum class OwnershipKind : uint32_t
{
    SHARED = 0,
    EXCLUSIVE = 1
};
// Data representation identifiers.
inline constexpr int16_t XCDR1_REPRESENTATION = 0;
inline constexpr int16_t XML_REPRESENTATION = 1;
inline constexpr int16_t XCDR2_REPRESENTATION = 2;

// What pairing looks at on either end.
struct EndpointQos
{
    uint32_t reliability = static_cast<uint32_t>(ReliabilityKind::RELIABLE);
    uint32_t durability = static_cast<uint32_t>(DurabilityKind::VOLATILE);
    uint32_t livelinessKind = static_cast<uint32_t>(LivelinessKind::AUTOMATIC);
    double livelinessLeaseSec = INFINITE_SECONDS;
    double deadlineSec = INFINITE_SECONDS;
    uint32_t ownership = static_cast<uint32_t>(OwnershipKind::SHARED);
    bool disablePositiveAcks = false;
    bool keyed = false;
    // A writer offers the first entry (XCDR1 when empty); a reader accepts
    // every entry (XCDR1 only when empty).
    std::vector<int16_t> representations;
    // Whether this end's own pairing reports a representation mismatch as an
    // incompatible QoS. Fast DDS 2.x readers do not (they pair such a writer,
    // which then refuses them: the mismatch leaves no status event here).
    bool representationChecked = true;
    // Empty: the default partition.
    std::vector<std::string> partitions;
    std::string typeName;
};

struct DiscoveredWriter
{
    std::string guid;              // "01.0f...|0.0.1.3"
    std::string participantPrefix; // its participant's GUID prefix
    std::string participantName;   // empty when its participant sent none
    std::string hostAddress;       // from its locators; empty when none
    std::string topicName;
    EndpointQos qos;
};

// The differences that keep `writer` from `reader`, one plain phrase each
// ("reliability offered BEST_EFFORT, requested RELIABLE"), in the order of
// the policies above; empty when they match. `qosIncompatible` tells whether
// any of them is one that DDS reports as an incompatible QoS (the type name,
// the keyed kind and the partitions are not: those leave no status event).
std::vector<std::string> MatchDifferences(const EndpointQos& writer, const EndpointQos& reader, bool& qosIncompatible);

// Text of a name or value from the wire: non-printable bytes as \xNN, cut
// after `maxLength` characters with "..." appended.
std::string Printable(std::string_view text, size_t maxLength = 96);

// The explanation line for one writer and reader, after the log prefix.
// `readingProfile` names a shipped profile that would read the writer; empty
// when none would.
std::string MismatchExplanation(const DiscoveredWriter& writer, const std::vector<std::string>& differences,
                                const std::string& readingProfile);

} // namespace lumo::componentFramework
