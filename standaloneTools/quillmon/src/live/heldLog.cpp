#include "heldLog.h"

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

#include <log4cplus/consoleappender.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

namespace quillLive {

struct HeldLog::State
{
    mutable std::mutex mutex;
    std::FILE* file = nullptr;
    int fd = -1;
    uint64_t count = 0;
    std::string last;
    bool released = false; // lines go straight to the console again
};

namespace {

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Formats each event as the console appender it stands in for would.
class HoldingAppender : public log4cplus::Appender
{
public:
    HoldingAppender(std::shared_ptr<HeldLog::State> state, log4cplus::SharedAppenderPtr console)
        : state_(std::move(state))
        , console_(std::move(console))
    {
        setName(LOG4CPLUS_TEXT("lumoHeld"));
    }
    ~HoldingAppender() override { destructorImpl(); }
    HoldingAppender(const HoldingAppender&) = delete;
    HoldingAppender& operator=(const HoldingAppender&) = delete;

    void close() override {}

protected:
    void append(const log4cplus::spi::InternalLoggingEvent& event) override
    {
        log4cplus::tostringstream line;
        // Formatted outside the lock; cheap beside a terminal write.
        if (auto* layout = console_->getLayout()) {
            layout->formatAndAppend(line, event);
        } else {
            line << event.getMessage() << '\n';
        }
        const std::string text = line.str();
        std::lock_guard lock(state_->mutex);
        // Under the lock that the release prints the held lines under: a
        // line logged meanwhile comes after them.
        if (state_->released) {
            console_->doAppend(event);
            return;
        }
        WriteAll(state_->fd, text.data(), text.size());
        ++state_->count;
        state_->last = text;
    }

private:
    std::shared_ptr<HeldLog::State> state_;
    log4cplus::SharedAppenderPtr console_;
};

} // namespace

void CopyToStandardOutput(int fd)
{
    if (::lseek(fd, 0, SEEK_SET) < 0) {
        return;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || !WriteAll(STDOUT_FILENO, buffer, static_cast<size_t>(n))) {
            return;
        }
    }
}

HeldLog::HeldLog()
    : state_(std::make_shared<State>())
{
    state_->file = std::tmpfile();
    if (state_->file == nullptr) {
        throw std::runtime_error("--live cannot hold the log lines while it shows the view: no temporary file");
    }
    state_->fd = ::fileno(state_->file);
    std::vector<log4cplus::Logger> loggers = log4cplus::Logger::getCurrentLoggers();
    loggers.push_back(log4cplus::Logger::getRoot());
    for (auto& logger : loggers) {
        for (auto& appender : logger.getAllAppenders()) {
            if (dynamic_cast<log4cplus::ConsoleAppender*>(appender.get()) == nullptr) {
                continue;
            }
            logger.addAppender(log4cplus::SharedAppenderPtr(new HoldingAppender(state_, appender)));
            logger.removeAppender(appender);
        }
    }
}

HeldLog::~HeldLog()
{
    Release();
    std::lock_guard lock(state_->mutex);
    std::fclose(state_->file);
    state_->file = nullptr;
    state_->fd = -1;
}

void HeldLog::Release()
{
    // The holders stay in the console's place and pass each line on from
    // now: swapping the appenders back would lose or double a line logged
    // in between.
    std::cout << std::flush;
    std::lock_guard lock(state_->mutex);
    if (state_->released) {
        return;
    }
    state_->released = true;
    CopyToStandardOutput(state_->fd);
}

uint64_t HeldLog::Count() const
{
    std::lock_guard lock(state_->mutex);
    return state_->count;
}

std::string HeldLog::Last() const
{
    std::lock_guard lock(state_->mutex);
    return state_->last;
}

int HeldLog::Descriptor() const
{
    return state_->fd;
}

} // namespace quillLive
