#include "FastDdsLogRoute.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include <fastdds/dds/log/Log.hpp>
#include <log4cplus/appender.h>
#include <log4cplus/logger.h>

#include "lumo/componentFramework/Logging.h"

namespace lumo::componentFramework {

namespace {

using eprosima::fastdds::dds::Log;
using eprosima::fastdds::dds::LogConsumer;

constexpr const char* SHUTDOWN_WATCH = "lumoFastDdsShutdownWatch";

// At start-up the shared-memory transport touches its whole segment through
// one buffer the size of the segment and drops it, leaving its own count of
// free bytes at 0. Its first send (a discovery announcement of a few hundred
// bytes) therefore takes that buffer back through the path meant for a full
// segment, which logs this warning whatever the segment size: Fast DDS 2.9
// and 3.6 alike, 512 KiB to 256 MiB segments, once per participant. No
// message is lost there, so that one is left out; a later one means the
// segment really ran short, and is passed on.
constexpr const char* SHM_CATEGORY = "RTPS_TRANSPORT_SHM";
constexpr const char* START_UP_BUFFER_TAKEN_BACK = "Buffer is being invalidated, segment_size may be insufficient";

// Whether log4cplus still takes events, and the start-up warnings still to
// come. Fast DDS's logging thread runs until the process ends, past
// log4cplus's shutdown at the end of main, so the state is never destroyed.
struct RouteState
{
    std::mutex mutex;
    bool open = false;
    unsigned sharedMemoryParticipants = 0;
    // At most one per participant above: a participant deleted before its
    // first send takes its expected warning with it.
    unsigned startUpWarningsDue = 0;
    // Warnings produced only for the hooks.
    bool hideWarnings = false;
    std::vector<FastDdsLogHook> hooks;
};

} // namespace

std::string PrintableLogMessage(const std::string& message)
{
    static constexpr char HEX[] = "0123456789abcdef";
    size_t end = message.size();
    while (end > 0 && (message[end - 1] == '\n' || message[end - 1] == '\r' || message[end - 1] == ' ')) {
        --end;
    }
    std::string text;
    for (size_t i = 0; i < end; ++i) {
        const auto byte = static_cast<unsigned char>(message[i]);
        if (byte < 0x20 || byte == 0x7f) {
            text += "\\x";
            text += HEX[byte >> 4];
            text += HEX[byte & 0xf];
        } else {
            text += message[i];
        }
    }
    return text;
}

namespace {

RouteState& State()
{
    static auto* state = new RouteState();
    return *state;
}

// Attached to the Fast DDS logger only to learn when log4cplus shuts down:
// its appenders are closed then.
class ShutdownWatch : public log4cplus::Appender
{
public:
    ShutdownWatch() { setName(LOG4CPLUS_TEXT(SHUTDOWN_WATCH)); }
    ~ShutdownWatch() override { destructorImpl(); }

    void close() override
    {
        std::lock_guard lock(State().mutex);
        State().open = false;
    }

protected:
    void append(const log4cplus::spi::InternalLoggingEvent&) override {}
};

class Log4cplusConsumer : public LogConsumer
{
public:
    explicit Log4cplusConsumer(log4cplus::Logger& logger)
        : logger_(logger)
    {
    }

    // On Fast DDS's logging thread, one entry at a time.
    void Consume(const Log::Entry& entry) override
    {
        if (IsDueStartUpWarning(entry)) {
            return;
        }
        log4cplus::LogLevel level = log4cplus::ERROR_LOG_LEVEL;
        const char* kind = "Error";
        if (entry.kind == Log::Kind::Warning) {
            level = log4cplus::WARN_LOG_LEVEL;
            kind = "Warning";
        } else if (entry.kind == Log::Kind::Info) {
            level = log4cplus::INFO_LOG_LEVEL;
            kind = "Info";
        }
        // As Fast DDS writes it itself: "[CATEGORY Kind] message -> Function f".
        std::string text = "[";
        text += entry.context.category != nullptr ? entry.context.category : "";
        text += ' ';
        text += kind;
        text += "] ";
        text += PrintableLogMessage(entry.message);
        if (entry.context.function != nullptr) {
            text += " -> Function ";
            text += entry.context.function;
        }

        std::lock_guard lock(State().mutex);
        auto& state = State();
        if (!state.hooks.empty()) {
            FastDdsLogEntry given;
            given.category = entry.context.category != nullptr ? entry.context.category : "";
            given.kind = entry.kind == Log::Kind::Warning ? FastDdsLogEntry::Kind::Warning
                         : entry.kind == Log::Kind::Info  ? FastDdsLogEntry::Kind::Info
                                                          : FastDdsLogEntry::Kind::Error;
            given.message = entry.message;
            for (const auto& hook : state.hooks) {
                hook(given);
            }
        }
        if (entry.kind == Log::Kind::Warning && state.hideWarnings) {
            return;
        }
        if (state.open) {
            if (logger_.isEnabledFor(level)) {
                logger_.forcedLog(level, text, entry.context.filename, entry.context.line, entry.context.function);
            }
            return;
        }
        // After log4cplus has shut down: still one whole line, on standard
        // error, out of the way of the log.
        text += '\n';
        if (write(STDERR_FILENO, text.data(), text.size()) < 0) {
            return; // nowhere left to say it
        }
    }

private:
    static bool IsDueStartUpWarning(const Log::Entry& entry)
    {
        if (entry.kind != Log::Kind::Warning || entry.context.category == nullptr ||
            std::strcmp(entry.context.category, SHM_CATEGORY) != 0 || entry.message != START_UP_BUFFER_TAKEN_BACK) {
            return false;
        }
        std::lock_guard lock(State().mutex);
        if (State().startUpWarningsDue == 0) {
            return false;
        }
        --State().startUpWarningsDue;
        return true;
    }

    log4cplus::Logger& logger_;
};

} // namespace

void AddFastDdsLogHook(FastDdsLogHook hook)
{
    std::lock_guard lock(State().mutex);
    auto& state = State();
    if (state.hooks.empty() && Log::GetVerbosity() == Log::Kind::Error) {
        state.hideWarnings = true;
        Log::SetVerbosity(Log::Kind::Warning);
    }
    state.hooks.push_back(std::move(hook));
}

void FlushFastDdsLog()
{
    Log::Flush();
}

void RouteFastDdsLog()
{
    auto& logger = GetLogger(FAST_DDS_LOGGER);
    if (!logger.getAppender(LOG4CPLUS_TEXT(SHUTDOWN_WATCH))) {
        logger.addAppender(log4cplus::SharedAppenderPtr(new ShutdownWatch()));
    }
    {
        std::lock_guard lock(State().mutex);
        State().open = true;
    }
    Log::ClearConsumers();
    Log::RegisterConsumer(std::make_unique<Log4cplusConsumer>(logger));
}

void SharedMemoryParticipantComing()
{
    std::lock_guard lock(State().mutex);
    ++State().sharedMemoryParticipants;
    ++State().startUpWarningsDue;
}

void SharedMemoryParticipantGone()
{
    std::lock_guard lock(State().mutex);
    auto& state = State();
    if (state.sharedMemoryParticipants > 0) {
        --state.sharedMemoryParticipants;
    }
    state.startUpWarningsDue = std::min(state.startUpWarningsDue, state.sharedMemoryParticipants);
}

} // namespace lumo::componentFramework
