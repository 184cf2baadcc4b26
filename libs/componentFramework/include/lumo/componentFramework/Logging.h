// Logging set-up of the toolkit's tools, on log4cplus.
#pragma once

#include <functional>
#include <string>

#include <log4cplus/logger.h>

namespace lumo::componentFramework {

// Environment variable naming a log4cplus properties file. When it is set,
// that file configures logging instead of the console set-up below (and
// decides the loggers' levels itself).
inline constexpr const char* LOG_CONFIG_ENV = "LUMO_LOG_CONFIG";

// Fast DDS's own log entries go to this logger, a child of "lumo": at ERROR,
// WARN or INFO as Fast DDS rates them, as "[CATEGORY Kind] message" (and
// " -> Function f" where Fast DDS names one), through the same appenders and
// layout as the tool's lines, so that no line splits another. Fast DDS itself still
// decides which entries it produces (errors only, unless its verbosity is
// raised).
inline constexpr const char* FAST_DDS_LOGGER = "lumo.fastdds";

// Configures logging for the tool `toolName`; call it once after a
// log4cplus::Initializer exists.
//   - Console output on standard output, one line per event, flushed at once:
//     "2026-12-07 20:15:04.123 INFO  message".
//   - The "lumo" logger's level is set to `logLevel` (a log4cplus level:
//     10000 DEBUG, 20000 INFO, 30000 WARN, 40000 ERROR).
//   - `logToFile`: when true, every line also goes to "<toolName>.log" in the
//     working directory (appended).
//   - Fast DDS's log goes to FAST_DDS_LOGGER instead of standard output, in
//     either case (also with LUMO_LOG_CONFIG).
// A properties file named by LUMO_LOG_CONFIG replaces all of this; if it
// cannot be read, a note goes to standard error and the console set-up is
// used instead.
void LogConfigureTool(const std::string& toolName, int logLevel, bool logToFile);

// The logger of that name. The reference stays valid for the whole process.
log4cplus::Logger& GetLogger(const std::string& name);

// One of Fast DDS's log entries, as Fast DDS gives it.
struct FastDdsLogEntry
{
    enum class Kind
    {
        Error,
        Warning,
        Info,
    };
    std::string category; // "RTPS_TRANSPORT_SHM", ...; empty when it named none
    Kind kind = Kind::Error;
    std::string message;
};
using FastDdsLogHook = std::function<void(const FastDdsLogEntry&)>;

// Hands each entry of Fast DDS's log to `hook`, on Fast DDS's logging
// thread, one entry at a time, before FAST_DDS_LOGGER gets it (a left-out
// start-up warning, see FastDdsLogRoute.cpp, excepted); it must not block. Fast DDS produces errors only unless its
// verbosity is raised: then this raises it to warnings, and the warnings it
// would not have produced before reach the hooks but not the log. Hooks stay
// until the process ends (that thread outlives main).
void AddFastDdsLogHook(FastDdsLogHook hook);

// Returns once every entry Fast DDS has logged so far has gone through the
// hooks and the log.
void FlushFastDdsLog();

// A message of Fast DDS's log as one printable line: without its trailing
// line breaks and blanks, each control character written "\xNN". Fast DDS
// passes on what peers send (Cyclone DDS's signature algorithm name comes
// with its terminating NUL).
std::string PrintableLogMessage(const std::string& message);

} // namespace lumo::componentFramework
