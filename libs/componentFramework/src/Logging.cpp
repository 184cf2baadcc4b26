#include "lumo/componentFramework/Logging.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>

#include <log4cplus/configurator.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/layout.h>

#include "FastDdsLogRoute.h"

namespace lumo::componentFramework {

namespace {

constexpr const char* TOOLKIT_LOGGER = "lumo";
constexpr const char* LINE_PATTERN = "%D{%Y-%m-%d %H:%M:%S.%q} %-5p %m%n";

log4cplus::SharedAppenderPtr MakeConsoleAppender()
{
    log4cplus::SharedAppenderPtr appender(new log4cplus::ConsoleAppender(false, true));
    appender->setName(LOG4CPLUS_TEXT("lumoConsole"));
    appender->setLayout(std::make_unique<log4cplus::PatternLayout>(LINE_PATTERN));
    return appender;
}

log4cplus::SharedAppenderPtr MakeFileAppender(const std::string& toolName)
{
    log4cplus::SharedAppenderPtr appender(
        new log4cplus::FileAppender(toolName + ".log", std::ios_base::app, true, true));
    appender->setName(LOG4CPLUS_TEXT("lumoFile"));
    appender->setLayout(std::make_unique<log4cplus::PatternLayout>(LINE_PATTERN));
    return appender;
}

bool ConfigureFromProperties(const std::string& toolName)
{
    const char* path = std::getenv(LOG_CONFIG_ENV);
    if (path == nullptr || *path == '\0') {
        return false;
    }
    if (!std::ifstream(path).good()) {
        std::cerr << toolName << ": cannot read the log configuration '" << path << "' named by " << LOG_CONFIG_ENV
                  << "; logging to the console instead\n";
        return false;
    }
    log4cplus::PropertyConfigurator::doConfigure(path);
    return true;
}

} // namespace

void LogConfigureTool(const std::string& toolName, int logLevel, bool logToFile)
{
    // Fast DDS writes its own log from a thread of its own: on standard
    // output beside log4cplus, the two would split each other's lines.
    if (ConfigureFromProperties(toolName)) {
        RouteFastDdsLog();
        return;
    }
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    // Calling twice must not double every line.
    root.removeAllAppenders();
    root.addAppender(MakeConsoleAppender());
    if (logToFile) {
        root.addAppender(MakeFileAppender(toolName));
    }
    GetLogger(TOOLKIT_LOGGER).setLogLevel(logLevel);
    RouteFastDdsLog();
}

log4cplus::Logger& GetLogger(const std::string& name)
{
    // Never destroyed: the references handed out must outlive everything,
    // including log4cplus's own shutdown at the end of main.
    static auto* loggers = new std::map<std::string, log4cplus::Logger>();
    static auto* mutex = new std::mutex();
    std::lock_guard lock(*mutex);
    auto it = loggers->find(name);
    if (it == loggers->end()) {
        it = loggers->emplace(name, log4cplus::Logger::getInstance(name)).first;
    }
    return it->second;
}

} // namespace lumo::componentFramework
