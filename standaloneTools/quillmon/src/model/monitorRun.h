// The driver's side of the model: per-writer tallies for the listeners, the
// participants DDS Security keeps away, the run's time limit and the
// verdict. Made on every run; the views (report, metrics) read it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <log4cplus/logger.h>

#include "failOn.h"
#include "participantEvents.h"
#include "readerTally.h"
#include "runSettings.h"
#include "tallyList.h"

namespace quillModel {

class MonitorRun
{
public:
    MonitorRun(RunSettings settings, log4cplus::Logger& logger);

    const RunSettings& Settings() const { return settings_; }

    // Before its reader is enabled: the tally for a reader's listener, or
    // nothing when the settings need none. The main thread only.
    std::shared_ptr<ReaderTally> TallyFor(const std::string& topic, uint32_t readerIndex);
    // Every tally made so far.
    std::vector<std::shared_ptr<ReaderTally>> Tallies() const { return tallies_->All(); }
    // The same list, which the views keep: it grows as readers are made.
    const std::shared_ptr<TallyList>& SharedTallies() const { return tallies_; }
    // Where participants that DDS Security keeps away go, from any thread.
    // Shared: a participant the facade could not delete may still report
    // one after the run.
    const std::shared_ptr<ParticipantEvents>& KeptAwayParticipants() const { return participantEvents_; }

    // Once the readers are enabled: the time limit starts.
    void Start();
    // Until `stop` is set or the time limit passes (which sets it). `tick`,
    // when given, runs on this thread at least every TICK_PERIOD meanwhile.
    void WaitForStop(std::atomic<bool>& stop, const std::function<void()>& tick = {});
    static constexpr std::chrono::milliseconds TICK_PERIOD{200};
    // After the exit report (and after the report's periodic records ended):
    // judges the run on what the readers took until then and logs the
    // verdict; the exit status.
    int Conclude(int runStatus);
    // The snapshots Conclude judged, and its verdict.
    const std::vector<ReaderSnapshot>& FinalReaders() const { return finalReaders_; }
    const Verdict& FinalVerdict() const { return verdict_; }

private:
    const RunSettings settings_;
    log4cplus::Logger& logger_;
    const std::shared_ptr<TallyList> tallies_ = std::make_shared<TallyList>();
    const std::shared_ptr<ParticipantEvents> participantEvents_ = std::make_shared<ParticipantEvents>();
    std::chrono::steady_clock::time_point deadline_;
    std::vector<ReaderSnapshot> finalReaders_;
    Verdict verdict_;
};

} // namespace quillModel
