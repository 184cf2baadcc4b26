// The driver's side of the report options: per-writer tallies for the
// listeners, the report writer, the run's time limit and the verdict. Made
// only when one of the options was given; without them the driver runs as
// it always did.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <boost/program_options.hpp>
#include <log4cplus/logger.h>

#include "readerTally.h"
#include "reportOptions.h"
#include "reportRecords.h"
#include "reportWriter.h"

class QuillReaderListener;

namespace quillReport {

class ReportRun
{
public:
    // Nothing when none of --report, --duration and --fail-on was given.
    static std::unique_ptr<ReportRun> FromOptions(const boost::program_options::variables_map& vm, bool checkRamp,
                                                  const std::string& expectedPattern, log4cplus::Logger& logger);

    ReportRun(ReportSettings settings, RunDescription run, log4cplus::Logger& logger);

    // Before the readers are enabled: gives the listener its tally, when
    // the options need one.
    void Attach(QuillReaderListener& listener);
    // Once the readers are enabled: the start record, the periodic records,
    // the time limit.
    void Start();
    // Until a stop is requested or the time limit passes (which requests it).
    void WaitForStop();
    // After the exit report: the verdict, the final records; the exit status.
    int Finish(int runStatus);

private:
    const ReportSettings settings_;
    const RunDescription run_;
    log4cplus::Logger& logger_;
    std::vector<std::shared_ptr<ReaderTally>> tallies_;
    std::unique_ptr<ReportWriter> writer_;
    std::chrono::steady_clock::time_point deadline_;
};

} // namespace quillReport
