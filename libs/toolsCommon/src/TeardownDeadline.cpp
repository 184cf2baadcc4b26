#include "lumo/toolsCommon/TeardownDeadline.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "lumo/toolsCommon/Log.h"

namespace lumo::toolsCommon {

namespace {

// How soon a set stop flag starts the count.
constexpr std::chrono::milliseconds STOP_POLL{50};

} // namespace

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
    {
        std::lock_guard lock(mutex_);
        done_ = false;
        exitStatus_ = exitStatus;
        if (!deadline_) {
            bound_ = bound;
            deadline_ = std::chrono::steady_clock::now() + bound;
        }
    }
    changed_.notify_all();
    EnsureWatcher();
}

void TeardownDeadline::ArmOnStop(const std::atomic<bool>& stop, std::chrono::seconds bound, int exitStatus)
{
    {
        std::lock_guard lock(mutex_);
        stop_ = &stop;
        bound_ = bound;
        exitStatus_ = exitStatus;
    }
    EnsureWatcher();
}

void TeardownDeadline::EnsureWatcher()
{
    // Only the thread that arms starts the watcher.
    if (!watcher_.joinable()) {
        watcher_ = std::thread([this] { Watch(); });
    }
}

void TeardownDeadline::Disarm()
{
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    changed_.notify_all();
    if (watcher_.joinable()) {
        watcher_.join();
    }
    std::lock_guard lock(mutex_);
    deadline_.reset();
    stop_ = nullptr;
}

void TeardownDeadline::Watch()
{
    std::unique_lock lock(mutex_);
    while (!done_) {
        const auto now = std::chrono::steady_clock::now();
        if (!deadline_ && stop_ != nullptr && stop_->load()) {
            deadline_ = now + bound_;
        }
        if (deadline_ && now >= *deadline_) {
            break;
        }
        auto wakeAt = deadline_ ? *deadline_ : now + std::chrono::hours(24);
        if (!deadline_ && stop_ != nullptr) {
            wakeAt = std::min(wakeAt, now + STOP_POLL);
        }
        changed_.wait_until(lock, wakeAt);
    }
    if (done_) {
        return;
    }
    QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL, "ERROR: teardown did not finish within {} s; ending the process",
                 bound_.count());
    std::cout.flush();
    // Not exit(): static destructors would join the very threads that hang.
    std::_Exit(exitStatus_);
}

} // namespace lumo::toolsCommon
