// The start of every tool's main: logging, stop signals, the command line
// (with --help and --debug) and the two last-resort error handlers.
#pragma once

#include <functional>

#include <boost/program_options.hpp>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>

namespace lumo::toolsCommon {

// log4cplus started, the console (or LUMO_LOG_CONFIG) set up for `toolName`
// at `level`, and the "lumo" logger every line goes to. Built first in main,
// so that it is destroyed last. SIGXFSZ is ignored from then on: a write past
// the file size limit fails with EFBIG, handled as a full disk.
class ToolLogging
{
public:
    ToolLogging(const char* toolName, log4cplus::LogLevel level);

    ToolLogging(const ToolLogging&) = delete;
    ToolLogging& operator=(const ToolLogging&) = delete;

    log4cplus::Logger& Logger() { return logger_; }

private:
    log4cplus::Initializer initializer_;
    log4cplus::Logger& logger_;
};

// Installs `handler` with signal(), for SIGINT, then for SIGTERM, then for
// SIGHUP (a closed terminal or ssh session ends the run as Ctrl-C does).
// SIGPIPE is ignored: a standard output whose reader left (`| head -1`)
// fails its writes instead of killing the run, so the report and the exit
// status stay.
void InstallStopHandler(void (*handler)(int));

// Parses the command line into `vm` and notifies the bound variables;
// arguments without an option name go to the options `positional` names,
// when given. Under help, prints the table, "\n" and `usageNotes` to
// standard output; else under version, VersionText(toolName). Either way it
// returns false: the tool then ends with STATUS_OK.
bool ParseCommandLine(int argc, char** argv, const boost::program_options::options_description& options,
                      boost::program_options::variables_map& vm, const char* toolName, const char* usageNotes = "",
                      const boost::program_options::positional_options_description* positional = nullptr);

// Under debug: the logger at DEBUG and Fast DDS's info log on.
void ApplyDebugOption(const boost::program_options::variables_map& vm, log4cplus::Logger& logger);

// Runs `body` and returns its status; an exception that escapes it is logged
// at ERROR, as "ERROR: <what>" or "ERROR: An unknown exception occurred.", and
// gives STATUS_ERROR.
int RunGuarded(log4cplus::Logger& logger, const std::function<int()>& body);

} // namespace lumo::toolsCommon
