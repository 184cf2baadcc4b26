// Collects what the "lumo" logger emits, as (level, message) pairs, for exact
// checks of log lines in the test process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <log4cplus/appender.h>
#include <log4cplus/logger.h>

namespace lumo::test {

struct LogRecord
{
    log4cplus::LogLevel level;
    std::string message;
    bool operator==(const LogRecord&) const = default;
};

class LogCapture
{
public:
    // Attaches to the "lumo" logger at `level`; detaches and restores the
    // level on destruction.
    explicit LogCapture(log4cplus::LogLevel level = log4cplus::TRACE_LOG_LEVEL);
    ~LogCapture();

    std::vector<LogRecord> Records() const;
    std::vector<std::string> Messages() const;
    size_t Count(const std::string& message) const;
    void Clear();
    bool WaitFor(const std::string& message, std::chrono::milliseconds timeout) const;

    // From now on, logging a message that contains `text` throws
    // std::runtime_error("injected failure") out of the logging call, or,
    // with `standard` false, an exception of no standard type.
    void ThrowOn(const std::string& text, bool standard = true);

private:
    class Appender;
    log4cplus::Logger logger_;
    log4cplus::LogLevel previousLevel_;
    log4cplus::SharedAppenderPtr appender_;
    Appender* sink_;
};

} // namespace lumo::test
