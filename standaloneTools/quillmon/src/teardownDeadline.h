// A bound on the monitor's teardown. Fast DDS 2.9 was seen to deadlock
// inside delete_datareader when a throttled monitor was stopped under a
// flood: the exit report was logged, then the process hung until killed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <log4cplus/logger.h>

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
    // threads are doing (no destructor runs). Arm once.
    void Arm(std::chrono::seconds bound, int exitStatus);
    void Disarm();

private:
    void Watch(std::chrono::steady_clock::time_point deadline, std::chrono::seconds bound, int exitStatus);

    log4cplus::Logger& logger_;
    std::mutex mutex_;
    std::condition_variable disarmed_;
    bool done_ = false;
    std::thread watcher_;
};
