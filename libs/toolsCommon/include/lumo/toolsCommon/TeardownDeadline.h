// A bound on a tool's teardown. Fast DDS 2.9 was seen to deadlock inside
// delete_datareader when a throttled monitor was stopped under a flood (the
// exit report was logged, then the process hung until killed), and inside
// DataWriter::write while readers came and went (the publisher then ignored
// SIGTERM).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include <log4cplus/logger.h>

namespace lumo::toolsCommon {

class TeardownDeadline
{
public:
    explicit TeardownDeadline(log4cplus::Logger& logger);
    // Disarms.
    ~TeardownDeadline();

    TeardownDeadline(const TeardownDeadline&) = delete;
    TeardownDeadline& operator=(const TeardownDeadline&) = delete;

    // From now on, unless Disarm comes first within `bound`, one ERROR line
    // is logged and the process ends with `exitStatus`, whatever its other
    // threads are doing (no destructor runs). Once counting, a later call
    // changes only the status.
    void Arm(std::chrono::seconds bound, int exitStatus);
    // The same, counted from the moment `stop` is set (a signal handler's
    // flag: a thread stuck in a call that never returns cannot notice it).
    void ArmOnStop(const std::atomic<bool>& stop, std::chrono::seconds bound, int exitStatus);
    // Stops the count; a later Arm starts a new one.
    void Disarm();

private:
    void EnsureWatcher();
    void Watch();

    log4cplus::Logger& logger_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    const std::atomic<bool>* stop_ = nullptr;
    std::chrono::seconds bound_{0};
    int exitStatus_ = 0;
    std::thread watcher_;
};

} // namespace lumo::toolsCommon
