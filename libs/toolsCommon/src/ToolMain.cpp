#include "lumo/toolsCommon/ToolMain.h"

#include <csignal>
#include <exception>
#include <iostream>

#include <fastdds/dds/log/Log.hpp>

#include "lumo/componentFramework/Logging.h"
#include "lumo/toolsCommon/ExitStatus.h"
#include "lumo/toolsCommon/Log.h"
#include "lumo/toolsCommon/Version.h"

namespace po = boost::program_options;

namespace lumo::toolsCommon {

namespace {

log4cplus::Logger& ConfigureLogging(const char* toolName, log4cplus::LogLevel level)
{
    // Past the file size limit (ulimit -f) a write then fails with EFBIG,
    // which each writer reports like a full disk, leaving whole records and
    // no temporary file, instead of the signal ending the tool mid-write.
    // Before the log set-up, which may open a file of its own.
    signal(SIGXFSZ, SIG_IGN);
    lumo::componentFramework::LogConfigureTool(toolName, level, false);
    return lumo::componentFramework::GetLogger("lumo");
}

} // namespace

ToolLogging::ToolLogging(const char* toolName, log4cplus::LogLevel level)
    : logger_(ConfigureLogging(toolName, level))
{
}

void InstallStopHandler(void (*handler)(int))
{
    signal(SIGINT, handler);
    signal(SIGTERM, handler);
    signal(SIGHUP, handler);
    signal(SIGPIPE, SIG_IGN);
}

bool ParseCommandLine(int argc, char** argv, const po::options_description& options, po::variables_map& vm,
                      const char* toolName, const char* usageNotes,
                      const po::positional_options_description* positional)
{
    po::basic_command_line_parser<char> parser(argc, argv);
    parser.options(options);
    if (positional != nullptr) {
        parser.positional(*positional);
    }
    po::store(parser.run(), vm);
    // Before notify, which would refuse a tool's required options missing.
    if (vm.count("help") != 0) {
        std::cout << options << "\n" << usageNotes << std::flush;
        return false;
    }
    if (vm.count("version") != 0) {
        std::cout << VersionText(toolName) << std::flush;
        return false;
    }
    po::notify(vm);
    return true;
}

void ApplyDebugOption(const po::variables_map& vm, log4cplus::Logger& logger)
{
    if (vm.count("debug") != 0) {
        logger.setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
        eprosima::fastdds::dds::Log::SetVerbosity(eprosima::fastdds::dds::Log::Kind::Info);
    }
}

int RunGuarded(log4cplus::Logger& logger, const std::function<int()>& body)
{
    try {
        return body();
    } catch (const std::exception& e) {
        QUILL_LOG_TO(logger, log4cplus::ERROR_LOG_LEVEL, "ERROR: {}", e.what());
    } catch (...) {
        QUILL_LOG_TO(logger, log4cplus::ERROR_LOG_LEVEL, "ERROR: An unknown exception occurred.");
    }
    return STATUS_ERROR;
}

} // namespace lumo::toolsCommon
