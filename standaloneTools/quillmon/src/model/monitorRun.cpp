#include "monitorRun.h"

#include <algorithm>
#include <ctime>

#include "quillLog.h"

namespace quillModel {

MonitorRun::MonitorRun(RunSettings settings, log4cplus::Logger& logger)
    : settings_(std::move(settings))
    , logger_(logger)
{
}

std::shared_ptr<ReaderTally> MonitorRun::TallyFor(const std::string& topic, uint32_t readerIndex)
{
    if (!settings_.NeedsTallies()) {
        return nullptr;
    }
    auto tally = std::make_shared<ReaderTally>(topic, readerIndex, settings_.expectedIncrement);
    tallies_->Add(tally);
    return tally;
}

void MonitorRun::Start()
{
    if (settings_.durationSec) {
        deadline_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                           std::chrono::duration<double>(*settings_.durationSec));
    }
}

void MonitorRun::WaitForStop(std::atomic<bool>& stop, const std::function<void()>& tick)
{
    const std::chrono::steady_clock::duration POLL = tick ? std::chrono::steady_clock::duration(TICK_PERIOD)
                                                          : std::chrono::seconds(2);
    while (!stop.load()) {
        if (tick) {
            tick();
        }
        if (!settings_.durationSec) {
            const auto nap = std::chrono::duration_cast<std::chrono::nanoseconds>(POLL);
            timespec request{static_cast<time_t>(nap.count() / 1000000000),
                             static_cast<long>(nap.count() % 1000000000)};
            nanosleep(&request, nullptr);
            continue;
        }
        const auto left = deadline_ - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            stop.store(true);
            break;
        }
        // A signal cuts the sleep short, as it does the plain poll's.
        const auto nap = std::chrono::duration_cast<std::chrono::nanoseconds>(std::min<decltype(left)>(left, POLL));
        timespec request{static_cast<time_t>(nap.count() / 1000000000), static_cast<long>(nap.count() % 1000000000)};
        nanosleep(&request, nullptr);
    }
}

int MonitorRun::Conclude(int runStatus)
{
    for (const auto& tally : tallies_->All()) {
        finalReaders_.push_back(tally->Snapshot());
    }
    verdict_ = Judge(finalReaders_, settings_.failOn, runStatus);
    if (!verdict_.failed.empty()) {
        std::string failed;
        for (const auto condition : verdict_.failed) {
            failed += failed.empty() ? "" : ", ";
            failed += ConditionName(condition);
        }
        QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL, "ERROR: --fail-on conditions happened: {}; exit status {}",
                     failed, verdict_.exitStatus);
    }
    return verdict_.exitStatus;
}

} // namespace quillModel
