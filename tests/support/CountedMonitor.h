// A monitor started with a report every 0.1 s, so that a test can wait until
// it has taken a run's last samples. The publisher's summary comes once its
// samples are acknowledged, that is in the reader's history: the listener's
// call that takes them may still be to come, later still on a loaded machine,
// and a fixed pause before the stop cannot tell.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ProcessRunner.h"
#include "ReportSchema.h"
#include "ScratchDir.h"
#include "ToolRuns.h"

namespace lumo::test {

// The count a reader must have taken: of `topic`, on its reader `reader`
// when a topic is read twice.
struct Taken
{
    std::string topic;
    uint64_t samples = 0;
    int reader = -1;
};

class CountedMonitor
{
public:
    // As StartReadyMonitor (confined to loopback, ready); `program` in place
    // of this build's lumoQuillmon.
    explicit CountedMonitor(std::vector<std::string> args, const std::string& program = "")
    {
        args.insert(args.end(), {"--report", Report(), "--report-period", "0.1"});
        if (program.empty()) {
            process_ = StartReadyMonitor(args);
            return;
        }
        process_ = std::make_unique<ProcessRunner>(program, Confined(args));
        EXPECT_TRUE(process_->WaitForText(MONITOR_READY_LINE, START_TIMEOUT)) << process_->Output();
    }

    ProcessRunner& operator*() const { return *process_; }
    ProcessRunner* operator->() const { return process_.get(); }
    std::string Report() const { return scratch_.File("report.jsonl"); }

    // Waits until every reader named has taken its count.
    bool WaitForTaken(const std::vector<Taken>& taken, std::chrono::milliseconds timeout) const
    {
        for (const auto& t : taken) {
            if (!WaitForReportedSamples(Report(), t.topic, t.samples, timeout, t.reader)) {
                ADD_FAILURE() << "[" << t.topic << "] did not take " << t.samples << " samples";
                return false;
            }
        }
        return true;
    }

private:
    ScratchDir scratch_;
    std::unique_ptr<ProcessRunner> process_;
};

} // namespace lumo::test
