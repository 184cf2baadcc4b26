// The report's driver side, made only with --report: the records' writer,
// fed by the model's tallies and participant events, and the --report-html
// page at exit. The model (quillModel::MonitorRun) keeps the tallies, the
// time limit and the verdict; this only shows them.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include <log4cplus/logger.h>

#include "model/monitorRun.h"
#include "reportRecords.h"
#include "reportWriter.h"

namespace quillReport {

class ReportRun
{
public:
    // `model` outlives this.
    ReportRun(RunDescription run, const quillModel::MonitorRun& model, log4cplus::Logger& logger);

    // Once the readers are enabled: the start record, the periodic records.
    void Start();
    // Before the model concludes: a periodic record written after its
    // snapshots would count more samples than the final one.
    void StopPeriodic();
    // Once the model concluded: what the final records will count since the
    // last periodic ones; nothing when no report is written.
    const quillModel::Period* FinalPeriod();
    // The final records, of the very snapshots the model judged.
    void WriteFinal();
    // The --report-html page, from the complete report: the file when it is
    // a regular one, else the copy the writer kept. Its time grows with the
    // report, so it has a bound of its own (WritePageWithin).
    void WritePage();

private:
    const RunDescription run_;
    const quillModel::MonitorRun& model_;
    log4cplus::Logger& logger_;
    std::unique_ptr<ReportWriter> writer_;
};

// The page's time grows with the report: an hour of 64 writers takes a few
// seconds.
constexpr std::chrono::seconds PAGE_BOUND{60};

// Runs `writePage` under PAGE_BOUND in place of the teardown's bound that
// `deadline` counts (a lumo::toolsCommon::TeardownDeadline, which keeps a
// running count when armed again: hence the Disarm first), then counts
// `teardownBound` afresh for the rest of the teardown.
template <typename Deadline>
void WritePageWithin(Deadline& deadline, std::chrono::seconds teardownBound, int exitStatus,
                     const std::function<void()>& writePage)
{
    deadline.Disarm();
    deadline.Arm(PAGE_BOUND, exitStatus);
    writePage();
    deadline.Disarm();
    deadline.Arm(teardownBound, exitStatus);
}

} // namespace quillReport
