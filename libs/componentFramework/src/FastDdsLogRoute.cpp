#include "FastDdsLogRoute.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <string_view>
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
    // Warnings let through only for the security complaints.
    bool hideWarnings = false;
    bool keepComplaints = false;
    std::deque<std::string> complaints;
    // Access control's refusals of an authenticated peer, by its GUID
    // prefix: Fast DDS names the peer, and reports the refusal nowhere else.
    std::map<std::string, std::string> accessComplaints;
    std::deque<std::string> accessComplaintOrder;
    // Local readers that DDS Security would not pair with a writer.
    std::deque<std::string> refusedPairings;
};

constexpr size_t KEPT_COMPLAINTS = 3;
constexpr size_t KEPT_ACCESS_COMPLAINTS = 64;

// "Error validating remote permissions for <prefix>|<entity> (<cause>)." and
// its kin, as Fast DDS 2.9 and 3.6 word them.
const std::regex& AccessRefusal()
{
    static const std::regex pattern(
        R"(^(?:Error validating remote permissions for|Error checking remote participant|)"
        R"(Not receive remote permissions of participant) +((?:[0-9a-f]{2}\.){11}[0-9a-f]{2})\|\S* *)"
        R"((?:\((.*)\))?\.?$)");
    return pattern;
}

// Pairing refused by the security manager: Fast DDS names only the local
// reader, "<prefix>|<entity>".
const std::regex& PairingRefusal()
{
    static const std::regex pattern(R"(^Security manager returns an error for reader (\S+)$)");
    return pattern;
}

// The plugins' causes end in their source position: "... (./src/cpp/
// security/accesscontrol/Permissions.cpp:945)".
std::string WithoutSourcePosition(const std::string& text)
{
    static const std::regex position(R"( *\([^()]*\.cpp:[0-9]+\))");
    return std::regex_replace(text, position, "");
}

bool IsSecurityComplaint(const Log::Entry& entry)
{
    if (entry.kind == Log::Kind::Info || entry.context.category == nullptr) {
        return false;
    }
    const std::string_view category(entry.context.category);
    return category == "SECURITY" || category == "SECURITY_AUTHENTICATION";
}

// Fast DDS's texts sometimes carry doubled or trailing blanks.
std::string Tidied(const std::string& text)
{
    std::string tidy;
    for (const char c : text) {
        if (c != ' ' || (!tidy.empty() && tidy.back() != ' ')) {
            tidy += c;
        }
    }
    while (!tidy.empty() && tidy.back() == ' ') {
        tidy.pop_back();
    }
    return tidy;
}

// Fast DDS passes on what peers send (Cyclone DDS's signature algorithm
// name comes with its terminating NUL) and ends some messages with a line
// break: each message becomes one printable line.
std::string Printable(const std::string& message)
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
        const std::string message = Printable(entry.message);
        text += message;
        if (entry.context.function != nullptr) {
            text += " -> Function ";
            text += entry.context.function;
        }

        std::lock_guard lock(State().mutex);
        auto& state = State();
        std::smatch access;
        if (state.keepComplaints && IsSecurityComplaint(entry) && std::regex_match(message, access, AccessRefusal())) {
            KeepAccessComplaint(state, access[1].str(), message, access[2].str());
        } else if (state.keepComplaints && entry.kind == Log::Kind::Error &&
                   std::regex_match(message, access, PairingRefusal())) {
            if (state.refusedPairings.size() < KEPT_ACCESS_COMPLAINTS) {
                state.refusedPairings.push_back(access[1].str());
            }
        } else if (state.keepComplaints && IsSecurityComplaint(entry)) {
            auto complaint = Tidied(message);
            auto& kept = state.complaints;
            kept.erase(std::remove(kept.begin(), kept.end(), complaint), kept.end());
            kept.push_back(std::move(complaint));
            if (kept.size() > KEPT_COMPLAINTS) {
                kept.pop_front();
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
    // The cause was logged a moment before on its own: it belongs to this
    // refusal, not to the next handshake's.
    static void KeepAccessComplaint(RouteState& state, const std::string& prefix, const std::string& message,
                                    const std::string& cause)
    {
        auto& kept = state.complaints;
        kept.erase(std::remove_if(kept.begin(), kept.end(),
                                  [&message](const std::string& complaint) {
                                      return message.find(complaint) != std::string::npos;
                                  }),
                   kept.end());
        if (state.accessComplaints.count(prefix) == 0) {
            state.accessComplaintOrder.push_back(prefix);
            if (state.accessComplaintOrder.size() > KEPT_ACCESS_COMPLAINTS) {
                state.accessComplaints.erase(state.accessComplaintOrder.front());
                state.accessComplaintOrder.pop_front();
            }
        }
        state.accessComplaints[prefix] = Tidied(WithoutSourcePosition(cause));
    }

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

void KeepSecurityComplaints()
{
    std::lock_guard lock(State().mutex);
    auto& state = State();
    if (state.keepComplaints) {
        return;
    }
    state.keepComplaints = true;
    if (Log::GetVerbosity() == Log::Kind::Error) {
        state.hideWarnings = true;
        Log::SetVerbosity(Log::Kind::Warning);
    }
}

std::string TakeSecurityComplaints()
{
    std::lock_guard lock(State().mutex);
    std::string text;
    for (const auto& complaint : State().complaints) {
        text += (text.empty() ? "" : "; ") + complaint;
    }
    State().complaints.clear();
    return text;
}

std::map<std::string, std::string> TakeAccessComplaints()
{
    std::lock_guard lock(State().mutex);
    State().accessComplaintOrder.clear();
    return std::exchange(State().accessComplaints, {});
}

std::vector<std::string> TakeRefusedPairings()
{
    std::lock_guard lock(State().mutex);
    std::vector<std::string> readers(State().refusedPairings.begin(), State().refusedPairings.end());
    State().refusedPairings.clear();
    return readers;
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
