// The driver's side of the report options: per-writer tallies for the
// listeners, the report writer, the run's time limit and the verdict. Made
// only when one of the options was given; without them the driver runs as
// it always did.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <boost/program_options.hpp>
#include <log4cplus/logger.h>

#include "participantEvents.h"
#include "readerTally.h"
#include "reportOptions.h"
#include "reportRecords.h"
#include "reportWriter.h"

namespace quillReport {

class ReportRun
{
public:
    // Nothing when none of --report, --duration, --fail-on and --metrics was given.
    static std::unique_ptr<ReportRun> FromOptions(const boost::program_options::variables_map& vm, bool checkRamp,
                                                  const std::string& expectedPattern, log4cplus::Logger& logger);

    ReportRun(ReportSettings settings, RunDescription run, log4cplus::Logger& logger);

    // Before the readers are enabled: the tally for a reader's listener, or
    // nothing when the options need none.
    std::shared_ptr<ReaderTally> TallyFor(const std::string& topic, uint32_t readerIndex);
    // Every tally made so far.
    const std::vector<std::shared_ptr<ReaderTally>>& Tallies() const { return tallies_; }
    // Where participants that DDS Security keeps away go, from any thread,
    // for event records. Shared: a participant the facade could not delete
    // may still report one after the run.
    const std::shared_ptr<ParticipantEvents>& KeptAwayParticipants() const { return participantEvents_; }
    // Once the readers are enabled: the start record, the periodic records,
    // the time limit.
    void Start();
    // Until `stop` is set or the time limit passes (which sets it).
    void WaitForStop(std::atomic<bool>& stop);
    // After the exit report: ends the periodic records, then judges the run
    // on what the readers took until then and logs the verdict; the exit
    // status.
    int Conclude(int runStatus);
    // The final records, of the very snapshots Conclude judged.
    void WriteFinal();
    // The --report-html page, from the complete report: the file when it is
    // a regular one, else the copy the writer kept. Its time grows with the
    // report, so it has a bound of its own (PAGE_BOUND in main).
    void WritePage();

private:
    const ReportSettings settings_;
    const RunDescription run_;
    log4cplus::Logger& logger_;
    std::vector<std::shared_ptr<ReaderTally>> tallies_;
    const std::shared_ptr<ParticipantEvents> participantEvents_ = std::make_shared<ParticipantEvents>();
    std::unique_ptr<ReportWriter> writer_;
    std::chrono::steady_clock::time_point deadline_;
    std::vector<ReaderSnapshot> finalReaders_;
    Verdict verdict_;
};

} // namespace quillReport
