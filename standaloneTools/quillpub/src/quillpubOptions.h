// Command line of lumoQuillpub: the option table, its value types and the
// checked settings the run works from, kept apart from the driver's work.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include <boost/any.hpp>
#include <boost/program_options.hpp>

#include "lumo/ddsSecurity/SecurityOption.h"
#include "lumo/toolsCommon/Unsigned32.h"
#include "payloadPatterns.h"
#include "sampleIds.h"

using lumo::toolsCommon::Unsigned32;

using lumo::toolsCommon::Unsigned32;

// A finite real option value ("nan" and "inf" are refused).
struct Real
{
    double value = 0.0;
};

// A finite real option value that is not negative.
struct NonNegativeReal
{
    double value = 0.0;
};

std::ostream& operator<<(std::ostream& out, const Real& number);
std::ostream& operator<<(std::ostream& out, const NonNegativeReal& number);

// Found by the option library through argument-dependent lookup.
void validate(boost::any& target, const std::vector<std::string>& values, Real*, int);
void validate(boost::any& target, const std::vector<std::string>& values, NonNegativeReal*, int);

// A well-formed command line whose values do not fit together.
class ArgumentError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct PubSettings
{
    std::vector<std::string> topics;
    uint32_t domainId = 0;
    std::string qosProfile;
    std::string qosFile;
    std::vector<std::string> allowInterfaces; // empty: every interface
    std::string multicastAddress;             // empty: none given

    double rate = 0.0;        // ticks per second, one sample per topic each; 0: as fast as possible
    uint64_t count = 0;       // samples per topic; 0: no limit
    double durationSec = 0.0; // 0: no limit

    uint32_t payloadSize = 0;
    PayloadKind payloadKind = PayloadKind::Zeros;
    double rampStart = 0.0;
    uint32_t readerIndexBase = 0; // topic i's reader index is readerIndexBase + i

    SampleIdPlan ids;
    std::optional<uint64_t> corruptSample;

    int waitReaders = 0;         // matched readers each writer waits for; 0: none
    double waitTimeoutSec = 0.0; // 0: no limit
    double ackTimeoutSec = 0.0;  // 0: no wait
    double lingerSec = 0.0;      // writers kept after the summary; 0: none

    lumo::ddsSecurity::SecuritySettings security;
};

// The option table, in usage order.
boost::program_options::options_description MakeQuillpubOptions();

// What the usage prints after the option table: the summary line and the
// exit statuses.
const char* QuillpubUsageNotes();

// The settings of a parsed command line; an ArgumentError names the first
// value that is missing or does not fit with the others.
PubSettings SettingsFrom(const boost::program_options::variables_map& vm);
