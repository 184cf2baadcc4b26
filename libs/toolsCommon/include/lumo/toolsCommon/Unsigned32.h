// An unsigned 32-bit option value. Unlike the option library's own
// conversion it refuses a sign: "-1" must not become 4294967295.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <boost/any.hpp>

namespace lumo::toolsCommon {

struct Unsigned32
{
    uint32_t value = 0;
};

std::ostream& operator<<(std::ostream& out, const Unsigned32& number);

// Found by the option library through argument-dependent lookup.
void validate(boost::any& target, const std::vector<std::string>& values, Unsigned32*, int);

} // namespace lumo::toolsCommon
