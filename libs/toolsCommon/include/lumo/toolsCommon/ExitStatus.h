// Exit statuses every tool shares; a tool's own statuses live in its main.
#pragma once

namespace lumo::toolsCommon {

// The run ended as asked (count, duration, SIGINT/SIGTERM), or the usage was
// printed.
constexpr int STATUS_OK = 0;
// An error ended the run; the reason is logged as "ERROR: ...".
constexpr int STATUS_ERROR = 1;

} // namespace lumo::toolsCommon
