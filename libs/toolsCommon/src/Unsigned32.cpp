#include "lumo/toolsCommon/Unsigned32.h"

#include <charconv>
#include <ostream>

#include <boost/program_options.hpp>

namespace po = boost::program_options;

namespace lumo::toolsCommon {

std::ostream& operator<<(std::ostream& out, const Unsigned32& number)
{
    return out << number.value;
}

void validate(boost::any& target, const std::vector<std::string>& values, Unsigned32*, int)
{
    po::validators::check_first_occurrence(target);
    const std::string& text = po::validators::get_single_string(values);
    Unsigned32 number;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(begin, end, number.value, 10);
    if (text.empty() || error != std::errc() || stop != end) {
        throw po::invalid_option_value(text);
    }
    target = number;
}

} // namespace lumo::toolsCommon
