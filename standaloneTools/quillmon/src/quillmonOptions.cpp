#include "quillmonOptions.h"

#include <charconv>
#include <ostream>

#include "lumo/componentFramework/Dds.h"

namespace po = boost::program_options;
using lumo::componentFramework::Dds;

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

po::options_description MakeQuillmonOptions(bool& checkRamp, std::string& expectedPattern)
{
    po::options_description options("lumoQuillmon Usage");
    // clang-format off
    options.add_options()
        ("help,h", "Help")
        ("sleep-period-in-msec,s", po::value<Unsigned32>()->default_value(Unsigned32{0}, "0"),
            "Sleep period in msec")
        ("check-ramp,c", po::bool_switch(&checkRamp),
            "Check contents of packet contains floating point ramp")
        ("expected-payload-pattern", po::value<std::string>(&expectedPattern),
            "Expected payload pattern to validate. Supported: alternating_float_ramp")
        ("debug,d", "debugging")
        ("topic,t", po::value<std::vector<std::string>>()->multitoken()
                        ->default_value(std::vector<std::string>{}, "TestTopic"),
            "Topic names (separated by space)")
        ("domain-id", po::value<Unsigned32>()->default_value(Unsigned32{0}, "0"), "DDS domain Id")
        ("qos-profile", po::value<std::string>()->default_value(Dds::DEFAULT_QOS_PROFILE),
            "DDS QoS Profile from XML")
        ("qos-file", po::value<std::string>()->default_value(Dds::TELEM_DP_QOS_FILE), "DDS QoS XML file")
        ("multicast,m", po::value<std::string>(), "Multicast address")
        ("allow-interfaces,a", po::value<std::vector<std::string>>()->multitoken(),
            "interfaces white list (separated by space)")
        ("expected-sample-id-increment,i", po::value<Unsigned32>()->default_value(Unsigned32{1}, "1"),
            "Expected sample id increment");
    // clang-format on
    return options;
}
