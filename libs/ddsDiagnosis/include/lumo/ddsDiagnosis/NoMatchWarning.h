// Tells an operator, once per quiet period, that none of the readers has a
// matched writer, and how discovery is looking for them: "no publisher" and
// "no discovery" look alike from the samples alone. A quiet period begins
// when the readers are enabled and whenever the last matched writer of the
// last matched reader goes; it ends with the next match.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <log4cplus/logger.h>

namespace lumo::ddsDiagnosis {

class NoMatchWarning
{
public:
    using Clock = std::chrono::steady_clock;

    // `describe` gives the text of the WARN line, for the number of readers
    // watched, when it is due; it is called on the warning's own thread, and
    // never once Stop has returned.
    using Describe = std::function<std::string(size_t readers)>;
    NoMatchWarning(log4cplus::Logger& logger, Clock::duration quietPeriod, Describe describe);
    ~NoMatchWarning();

    NoMatchWarning(const NoMatchWarning&) = delete;
    NoMatchWarning& operator=(const NoMatchWarning&) = delete;

    // A reader to watch; returns its index for MatchedCount.
    uint32_t AddReader();
    // The readers are enabled: the first quiet period begins.
    void Start();
    // The reader's number of matched writers, from its subscription-matched
    // status (Fast DDS's threads).
    void MatchedCount(uint32_t reader, int32_t current);
    // No line after this returns.
    void Stop();

private:
    void Run();

    log4cplus::Logger& logger_;
    const Clock::duration quietPeriod_;
    const Describe describe_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int32_t> matched_;
    size_t matchedReaders_ = 0;
    Clock::time_point quietSince_;
    bool warned_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace lumo::ddsDiagnosis
