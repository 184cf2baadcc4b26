#include "lumo/ddsDiagnosis/NoMatchWarning.h"

#include <log4cplus/loggingmacros.h>

namespace lumo::ddsDiagnosis {

NoMatchWarning::NoMatchWarning(log4cplus::Logger& logger, Clock::duration quietPeriod, Describe describe)
    : logger_(logger)
    , quietPeriod_(quietPeriod)
    , describe_(std::move(describe))
{
}

NoMatchWarning::~NoMatchWarning()
{
    Stop();
}

uint32_t NoMatchWarning::AddReader()
{
    std::lock_guard lock(mutex_);
    matched_.push_back(0);
    return static_cast<uint32_t>(matched_.size() - 1);
}

void NoMatchWarning::Start()
{
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || stopping_ || matched_.empty()) {
        return; // nothing to read, nothing to miss
    }
    if (matchedReaders_ == 0) {
        quietSince_ = Clock::now();
    }
    thread_ = std::thread([this] { Run(); });
}

void NoMatchWarning::MatchedCount(uint32_t reader, int32_t current)
{
    std::lock_guard lock(mutex_);
    if (reader >= matched_.size()) {
        return;
    }
    const bool was = matched_[reader] > 0;
    const bool is = current > 0;
    matched_[reader] = current;
    if (was == is) {
        return;
    }
    matchedReaders_ = is ? matchedReaders_ + 1 : matchedReaders_ - 1;
    if (matchedReaders_ == 0) {
        quietSince_ = Clock::now();
        warned_ = false;
        changed_.notify_all();
    }
}

void NoMatchWarning::Stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

void NoMatchWarning::Run()
{
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (matchedReaders_ != 0 || warned_) {
            changed_.wait(lock);
            continue;
        }
        const auto due = quietSince_ + quietPeriod_;
        if (Clock::now() < due) {
            changed_.wait_until(lock, due);
            continue;
        }
        warned_ = true;
        const size_t readers = matched_.size();
        lock.unlock();
        if (logger_.isEnabledFor(log4cplus::WARN_LOG_LEVEL)) {
            log4cplus::detail::macro_forced_log(logger_, log4cplus::WARN_LOG_LEVEL, describe_(readers), __FILE__,
                                                __LINE__, LOG4CPLUS_MACRO_FUNCTION());
        }
        lock.lock();
    }
}

} // namespace lumo::ddsDiagnosis
