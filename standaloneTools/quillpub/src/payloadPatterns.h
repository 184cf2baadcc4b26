// Payload contents lumoQuillpub can publish, built to match what lumoQuillmon
// checks. Elements are IEEE-754 float32 in host byte order; bytes after the
// last whole element are zero.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include <boost/any.hpp>

enum class PayloadKind
{
    Zeros,                // every byte zero
    Ramp,                 // element k = start + k * 0.001
    AlternatingFloatRamp, // element k = r + k for even ids, -(r + k) for odd ids
};

// The command-line name of a kind ("zeros", "ramp", "alternating_float_ramp").
std::string_view PayloadKindName(PayloadKind kind);

// The kind of that name; false when no kind has it.
bool ParsePayloadKind(std::string_view name, PayloadKind& kind);

std::ostream& operator<<(std::ostream& out, PayloadKind kind);

// Found by the option library through argument-dependent lookup.
void validate(boost::any& target, const std::vector<std::string>& values, PayloadKind*, int);

struct PayloadPattern
{
    PayloadKind kind = PayloadKind::Zeros;
    double rampStart = 0.0;   // Ramp only
    uint32_t readerIndex = 0; // AlternatingFloatRamp only: the monitor's reader index r
};

// Fills `bytes` (its size is the payload size) with the payload of the sample
// whose id is `sampleId`.
void FillPayload(const PayloadPattern& pattern, uint32_t sampleId, std::vector<uint8_t>& bytes);

// Spoils one element so that any of the monitor's checks fails on it: adds
// 1.0 to element 1 (element 0 when it is the only one), or flips its sign when
// 1.0 is lost to rounding. A payload shorter than
// one element has its first byte inverted instead. Returns false, changing
// nothing, for an empty payload.
bool CorruptPayload(std::vector<uint8_t>& bytes);
