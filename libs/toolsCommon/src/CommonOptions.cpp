#include "lumo/toolsCommon/CommonOptions.h"

#include "lumo/componentFramework/Dds.h"

namespace po = boost::program_options;
using lumo::componentFramework::Dds;

namespace lumo::toolsCommon {

void AddHelpOption(po::options_description& options)
{
    options.add_options()("help,h", "Help");
}

void AddDebugOption(po::options_description& options, const char* text)
{
    options.add_options()("debug,d", text);
}

void AddTopicOption(po::options_description& options, const char* text, const char* shownDefault)
{
    auto* value = po::value<std::vector<std::string>>()->multitoken();
    if (shownDefault != nullptr) {
        value->default_value(std::vector<std::string>{}, shownDefault);
    }
    options.add_options()("topic,t", value, text);
}

void AddDdsOptions(po::options_description& options)
{
    // clang-format off
    options.add_options()
        ("domain-id", po::value<DomainId>()->default_value(DomainId{0}, "0"), "DDS domain Id")
        ("qos-profile", po::value<std::string>()->default_value(Dds::DEFAULT_QOS_PROFILE),
            "DDS QoS Profile from XML")
        ("qos-file", po::value<std::string>()->default_value(Dds::TELEM_DP_QOS_FILE), "DDS QoS XML file");
    // clang-format on
}

void AddAllowInterfacesOption(po::options_description& options)
{
    options.add_options()("allow-interfaces,a", po::value<std::vector<std::string>>()->multitoken(),
                          "interfaces white list (separated by space)");
}

void AddMulticastOption(po::options_description& options, const char* text)
{
    options.add_options()("multicast,m", po::value<std::string>(), text);
}

void AddVersionOption(po::options_description& options)
{
    options.add_options()("version", "Print the version and the Fast DDS version built against, then exit");
}

std::string JoinTopics(const std::vector<std::string>& topics)
{
    std::string joined;
    for (const auto& topic : topics) {
        joined += topic;
        joined += ' ';
    }
    return joined;
}

} // namespace lumo::toolsCommon
