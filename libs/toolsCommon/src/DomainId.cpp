#include "lumo/toolsCommon/DomainId.h"

#include <algorithm>
#include <ostream>

#include <boost/program_options.hpp>

#include "lumo/toolsCommon/Unsigned32.h"

namespace po = boost::program_options;

namespace lumo::toolsCommon {

namespace {

// A number whose ports would wrap, refused with the largest that does not.
class InvalidDomainId : public po::invalid_option_value
{
public:
    InvalidDomainId(const std::string& value, int64_t largest)
        : po::invalid_option_value(value)
    {
        m_error_template += "; the largest domain id is " + std::to_string(largest);
    }
};

} // namespace

int64_t LargestDomainId(const PortParameters& ports)
{
    const uint64_t offset = std::max({ports.offsetD0, ports.offsetD1, ports.offsetD2, ports.offsetD3});
    const uint64_t fixed = uint64_t{ports.portBase} + offset;
    if (fixed > HIGHEST_PORT) {
        return -1;
    }
    if (ports.domainIdGain == 0) {
        return UINT32_MAX;
    }
    return static_cast<int64_t>(std::min<uint64_t>((HIGHEST_PORT - fixed) / ports.domainIdGain, UINT32_MAX));
}

std::ostream& operator<<(std::ostream& out, const DomainId& id)
{
    return out << id.value;
}

void validate(boost::any& target, const std::vector<std::string>& values, DomainId*, int)
{
    po::validators::check_first_occurrence(target);
    boost::any number;
    validate(number, values, static_cast<Unsigned32*>(nullptr), 0);
    const uint32_t id = boost::any_cast<Unsigned32>(number).value;
    const int64_t largest = LargestDomainId();
    if (id > largest) {
        throw InvalidDomainId(po::validators::get_single_string(values), largest);
    }
    target = DomainId{id};
}

} // namespace lumo::toolsCommon
