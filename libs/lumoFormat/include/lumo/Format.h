// Text formatting for the whole project: std::format where the standard
// library has it, {fmt} otherwise. Nothing outside this header knows which.
#pragma once

#include <version>

#if defined(__cpp_lib_format)
#include <format>
#define LUMO_FORMAT_NAMESPACE std
#else
#include <fmt/format.h>
#define LUMO_FORMAT_NAMESPACE fmt
#endif

#include <string_view>

namespace lumo {

namespace fmtlib = LUMO_FORMAT_NAMESPACE;

// Same replacement-field syntax and the same shortest round-trip text for
// floating-point values in both libraries ("0.5", "inf").
using fmtlib::format;
using fmtlib::format_to;
using fmtlib::formatter;

} // namespace lumo
