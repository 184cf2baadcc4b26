// Why a discovered writer does not match a local reader, told in plain words:
// the facade's discovery records of both ends compared by the rules DDS
// applies when it pairs a writer with a reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lumo/componentFramework/DiscoveryRecords.h"

namespace lumo::ddsDiagnosis {

using componentFramework::DiscoveredWriter;
using componentFramework::EndpointQos;

// The differences that keep `writer` from `reader`, one plain phrase each
// ("reliability offered BEST_EFFORT, requested RELIABLE"), in the order of
// EndpointQos's fields; empty when they match. `qosIncompatible` tells whether
// any of them is one that DDS reports as an incompatible QoS (the type name,
// the keyed kind and the partitions are not: those leave no status event).
std::vector<std::string> MatchDifferences(const EndpointQos& writer, const EndpointQos& reader, bool& qosIncompatible);

using componentFramework::EndpointSecurity;

// Whether DDS Security pairs endpoints with these attributes, by Fast DDS's
// rule: each mask is compared only when both ends' are valid.
bool SecurityMatches(const EndpointSecurity& writer, const EndpointSecurity& reader);
// Where they differ, in the governance document's words, one phrase each
// ("DDS Security data_protection_kind offered ENCRYPT, requested NONE");
// empty when they match. MatchDifferences includes them.
std::vector<std::string> SecurityDifferences(const EndpointSecurity& writer, const EndpointSecurity& reader);

// The phrase for a pairing DDS Security refused though nothing here shows a
// difference: with the reader's attributes, in the governance document's
// words, when the writer's are not known here.
std::string RefusedPairing(const EndpointSecurity& writer, const EndpointSecurity& reader);

// Policy values as the lines name them: "BEST_EFFORT", "TRANSIENT_LOCAL",
// "EXCLUSIVE"; "unknown (7)" for a value no rule knows.
std::string ReliabilityName(uint32_t value);
std::string DurabilityName(uint32_t value);
std::string LivelinessName(uint32_t value);
std::string OwnershipName(uint32_t value);
// "XCDR1", "XCDR2", "XML" or "unknown (5)".
std::string RepresentationName(int16_t id);
// The representation a writer with these uses (its first; XCDR1 when none).
std::string OfferedRepresentation(const std::vector<int16_t>& offered);
// What a reader with these accepts: "XCDR1 or XCDR2" (XCDR1 when none).
std::string RequestedRepresentations(const std::vector<int16_t>& accepted);
// "the default partition", or the names quoted ("\"a\", \"b*\""), the
// first few of a long list with how many more.
std::string PartitionList(const std::vector<std::string>& names);

// Text of a name or value from the wire: non-printable bytes as \xNN, cut
// after `maxLength` characters with "..." appended.
std::string Printable(std::string_view text, size_t maxLength = 96);

// The explanation line for one writer and reader, after the log prefix.
// `readingProfile` names a shipped profile that would read the writer; empty
// when none would.
std::string MismatchExplanation(const DiscoveredWriter& writer, const std::vector<std::string>& differences,
                                const std::string& readingProfile);

} // namespace lumo::ddsDiagnosis
