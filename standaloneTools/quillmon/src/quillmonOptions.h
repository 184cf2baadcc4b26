// Command line of lumoQuillmon: the option table and its value types, kept
// apart from the driver's work.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <boost/any.hpp>
#include <boost/program_options.hpp>

// An unsigned 32-bit option value. Unlike the library's own conversion it
// refuses a sign: "-1" must not become 4294967295.
struct Unsigned32
{
    uint32_t value = 0;
};

std::ostream& operator<<(std::ostream& out, const Unsigned32& number);

// Found by the option library through argument-dependent lookup.
void validate(boost::any& target, const std::vector<std::string>& values, Unsigned32*, int);

// The option table, in usage order; check-ramp and expected-payload-pattern
// are bound to the two variables given.
boost::program_options::options_description MakeQuillmonOptions(bool& checkRamp, std::string& expectedPattern);
