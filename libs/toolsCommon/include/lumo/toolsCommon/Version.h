// What --version prints: the project's version and the Fast DDS it was
// built against.
#pragma once

#include <string>

namespace lumo::toolsCommon {

// `git describe` of the source tree at build time ("0.1.0-gad79e08",
// "1.2.0" on a release tag), or the CMake project version outside a clone.
const char* ProjectVersion();

// The version of the Fast DDS package the tools were built against.
const char* FastDdsVersion();

// "<toolName> <project version>\nFast DDS <Fast DDS version>\n".
std::string VersionText(const char* toolName);

} // namespace lumo::toolsCommon
