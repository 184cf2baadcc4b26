#pragma once

#include <cstdint>
#include <string>

namespace lumo::componentFramework {

// Name of a Fast DDS return code given as a plain integer, e.g. 11 gives
// "RETCODE_NO_DATA"; an unknown value gives "RETCODE_UNKNOWN(<value>)".
// Safe to call from any thread.
std::string RetcodeToString(int32_t code);

} // namespace lumo::componentFramework
