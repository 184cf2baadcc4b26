#include "quillmonOptions.h"

#include "lumo/toolsCommon/CommonOptions.h"

namespace po = boost::program_options;
namespace tools = lumo::toolsCommon;

po::options_description MakeQuillmonOptions(bool& checkRamp, std::string& expectedPattern)
{
    po::options_description options("lumoQuillmon Usage");
    tools::AddHelpOption(options);
    // clang-format off
    options.add_options()
        ("sleep-period-in-msec,s", po::value<Unsigned32>()->default_value(Unsigned32{0}, "0"),
            "Sleep period in msec")
        ("check-ramp,c", po::bool_switch(&checkRamp),
            "Check contents of packet contains floating point ramp")
        ("expected-payload-pattern", po::value<std::string>(&expectedPattern),
            "Expected payload pattern to validate. Supported: alternating_float_ramp");
    // clang-format on
    tools::AddDebugOption(options, "debugging");
    tools::AddTopicOption(options, "Topic names (separated by space)", "TestTopic");
    tools::AddDdsOptions(options);
    tools::AddMulticastOption(options, "Multicast address");
    tools::AddAllowInterfacesOption(options);
    options.add_options()("expected-sample-id-increment,i", po::value<Unsigned32>()->default_value(Unsigned32{1}, "1"),
                          "Expected sample id increment");
    return options;
}
