#include "lumo/toolsCommon/Version.h"

#include "lumo/toolsCommon/BuildVersion.h"

namespace lumo::toolsCommon {

const char* ProjectVersion()
{
    return LUMO_PROJECT_VERSION;
}

const char* FastDdsVersion()
{
    return LUMO_FASTDDS_VERSION;
}

std::string VersionText(const char* toolName)
{
    return std::string(toolName) + " " + ProjectVersion() + "\nFast DDS " + FastDdsVersion() + "\n";
}

} // namespace lumo::toolsCommon
