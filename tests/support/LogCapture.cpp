#include "LogCapture.h"

#include <algorithm>
#include <stdexcept>

#include <log4cplus/spi/loggingevent.h>

#include "lumo/componentFramework/Logging.h"

namespace lumo::test {

class LogCapture::Appender : public log4cplus::Appender
{
public:
    Appender() { setName(LOG4CPLUS_TEXT("lumoTestCapture")); }
    ~Appender() override { destructorImpl(); }
    void close() override {}

    std::vector<LogRecord> Records() const
    {
        std::lock_guard lock(mutex_);
        return records_;
    }
    void Clear()
    {
        std::lock_guard lock(mutex_);
        records_.clear();
    }
    template <typename Predicate>
    bool WaitUntil(Predicate done, std::chrono::milliseconds timeout) const
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(records_); });
    }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override
    {
        std::lock_guard lock(mutex_);
        records_.push_back({event.getLogLevel(), event.getMessage()});
        changed_.notify_all();
        if (!throwOn_.empty() && event.getMessage().find(throwOn_) != std::string::npos) {
            if (!throwStandard_) {
                throw InjectedOddity{};
            }
            throw std::runtime_error("injected failure");
        }
    }

public:
    struct InjectedOddity
    {
    };

    void ThrowOn(const std::string& text, bool standard)
    {
        std::lock_guard lock(mutex_);
        throwOn_ = text;
        throwStandard_ = standard;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<LogRecord> records_;
    std::string throwOn_;
    bool throwStandard_ = true;
};

LogCapture::LogCapture(log4cplus::LogLevel level)
    : logger_(lumo::componentFramework::GetLogger("lumo"))
    , previousLevel_(logger_.getLogLevel())
    , sink_(new Appender())
{
    appender_ = log4cplus::SharedAppenderPtr(sink_);
    logger_.addAppender(appender_);
    logger_.setLogLevel(level);
}

LogCapture::~LogCapture()
{
    logger_.removeAppender(appender_);
    logger_.setLogLevel(previousLevel_);
}

std::vector<LogRecord> LogCapture::Records() const
{
    return sink_->Records();
}

std::vector<std::string> LogCapture::Messages() const
{
    std::vector<std::string> result;
    for (const auto& r : Records()) {
        result.push_back(r.message);
    }
    return result;
}

size_t LogCapture::Count(const std::string& message) const
{
    const auto all = Messages();
    return static_cast<size_t>(std::count(all.begin(), all.end(), message));
}

void LogCapture::ThrowOn(const std::string& text, bool standard)
{
    sink_->ThrowOn(text, standard);
}

void LogCapture::Clear()
{
    sink_->Clear();
}

bool LogCapture::WaitFor(const std::string& message, std::chrono::milliseconds timeout) const
{
    return sink_->WaitUntil(
        [&message](const std::vector<LogRecord>& records) {
            return std::any_of(records.begin(), records.end(),
                               [&message](const LogRecord& r) { return r.message == message; });
        },
        timeout);
}

} // namespace lumo::test
