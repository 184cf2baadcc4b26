#include "lumo/componentFramework/Retcode.h"

#include <array>
#include <string_view>

namespace lumo::componentFramework {

std::string RetcodeToString(int32_t code)
{
    static constexpr std::array<std::string_view, 14> names{
        "RETCODE_OK",
        "RETCODE_ERROR",
        "RETCODE_UNSUPPORTED",
        "RETCODE_BAD_PARAMETER",
        "RETCODE_PRECONDITION_NOT_MET",
        "RETCODE_OUT_OF_RESOURCES",
        "RETCODE_NOT_ENABLED",
        "RETCODE_IMMUTABLE_POLICY",
        "RETCODE_INCONSISTENT_POLICY",
        "RETCODE_ALREADY_DELETED",
        "RETCODE_TIMEOUT",
        "RETCODE_NO_DATA",
        "RETCODE_ILLEGAL_OPERATION",
        "RETCODE_NOT_ALLOWED_BY_SECURITY",
    };
    if (code >= 0 && static_cast<size_t>(code) < names.size()) {
        return std::string(names[static_cast<size_t>(code)]);
    }
    return "RETCODE_UNKNOWN(" + std::to_string(code) + ")";
}

} // namespace lumo::componentFramework
