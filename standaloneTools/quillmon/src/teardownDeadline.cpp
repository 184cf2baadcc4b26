#include "teardownDeadline.h"

#include <cstdlib>
#include <iostream>

#include "quillLog.h"

TeardownDeadline::TeardownDeadline(log4cplus::Logger& logger)
    : logger_(logger)
{
}

TeardownDeadline::~TeardownDeadline()
{
    Disarm();
}

void TeardownDeadline::Arm(std::chrono::seconds bound, int exitStatus)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    watcher_ = std::thread([this, deadline, bound, exitStatus] { Watch(deadline, bound, exitStatus); });
}

void TeardownDeadline::Disarm()
{
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    disarmed_.notify_all();
    if (watcher_.joinable()) {
        watcher_.join();
    }
}

void TeardownDeadline::Watch(std::chrono::steady_clock::time_point deadline, std::chrono::seconds bound, int exitStatus)
{
    std::unique_lock lock(mutex_);
    if (disarmed_.wait_until(lock, deadline, [this] { return done_; })) {
        return;
    }
    QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL, "ERROR: teardown did not finish within {} s; ending the process",
                 bound.count());
    std::cout.flush();
    // Not exit(): static destructors would join the very threads that hang.
    std::_Exit(exitStatus);
}
