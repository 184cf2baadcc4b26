// The report writer against a reader that delivers while the run ends.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <log4cplus/logger.h>
#include <nlohmann/json.hpp>

#include "model/monitorRun.h"
#include "report/reportRun.h"
#include "tallyInputs.h"

using namespace quillModel;
using namespace quillReport;
using namespace tallyInputs;

// The run ends while a reader still delivers at full speed, the duration a
// multiple of the period: the writer's clock and the run's line up.
TEST(ReportRun, PeriodSamplesAddUpToTheFinalCountAndNoFinalRecordFallsBehind)
{
    log4cplus::Logger logger = log4cplus::Logger::getInstance("reportRunTest");
    const std::string path = "/tmp/lumo-report-unit-" + std::to_string(getpid()) + ".jsonl";
    for (int iteration = 0; iteration < 200; ++iteration) {
        RunDescription run;
        run.report.path = path;
        run.report.periodSec = 0.001;
        run.model.durationSec = 0.005;
        run.model.viewed = true;
        MonitorRun model(run.model, logger);
        ReportRun report(run, model, logger);
        const auto tally = model.TallyFor("T", 0);
        std::atomic<bool> done{false};
        std::thread reader([&] {
            for (uint32_t id = 0; !done.load(); ++id) {
                tally->Observe(Info(1, id + 1), Sample(id), PayloadVerdict::NotChecked);
            }
        });
        while (tally->Snapshot().Samples() == 0) {
            std::this_thread::yield();
        }
        std::atomic<bool> stop{false};
        model.Start();
        report.Start();
        model.WaitForStop(stop);
        report.StopPeriodic();
        model.Conclude(0);
        report.WriteFinal();
        done.store(true);
        reader.join();

        std::ifstream file(path);
        uint64_t periodSum = 0;
        uint64_t lastPeriodic = 0;
        uint64_t final = 0;
        for (std::string line; std::getline(file, line);) {
            const auto record = nlohmann::json::parse(line);
            if (record.at("record") != "writer") {
                continue;
            }
            periodSum += record.at("period_samples").get<uint64_t>();
            (record.at("final") ? final : lastPeriodic) = record.at("samples").get<uint64_t>();
        }
        ASSERT_GT(final, 0u) << "iteration " << iteration;
        ASSERT_GE(final, lastPeriodic) << "iteration " << iteration;
        ASSERT_EQ(periodSum, final) << "iteration " << iteration;
    }
    std::remove(path.c_str());
}

namespace {

// TeardownDeadline on a clock of the test's own: armed again while counting,
// it keeps its count; it fires once the clock reaches the deadline.
class SteppedDeadline
{
public:
    void Arm(std::chrono::seconds bound, int exitStatus)
    {
        exitStatus_ = exitStatus;
        if (!deadline_) {
            deadline_ = now_ + bound;
        }
    }
    void Disarm() { deadline_.reset(); }
    void Pass(std::chrono::seconds time)
    {
        now_ += time;
        if (deadline_ && now_ >= *deadline_ && !firedAt_) {
            firedAt_ = *deadline_;
        }
    }
    // When the process would have ended, and with what status.
    std::optional<std::chrono::seconds> firedAt_;
    int exitStatus_ = -1;

private:
    std::chrono::seconds now_{0};
    std::optional<std::chrono::seconds> deadline_;
};

} // namespace

// The page is made under a bound of its own, not what is left of the
// teardown's 5 s; the teardown's bound counts afresh once it is written.
TEST(ReportRun, ThePageHasABoundOfItsOwnBetweenTheTeardownsTwo)
{
    using std::chrono::seconds;
    constexpr seconds TEARDOWN{5};
    const struct
    {
        const char* name;
        seconds before; // of the teardown, before the page
        seconds page;   // to make the page
        seconds after;  // of the teardown, after it
        bool written;
        std::optional<seconds> firedAt;
    } cases[] = {
        {"a page of 10 s is written", seconds{4}, seconds{10}, seconds{1}, true, std::nullopt},
        {"a page that never ends is cut", seconds{4}, seconds{3600}, seconds{0}, false, seconds{64}},
        {"the rest of the teardown has its 5 s again", seconds{4}, seconds{50}, seconds{6}, true, seconds{59}},
    };
    for (const auto& c : cases) {
        SteppedDeadline deadline;
        deadline.Arm(TEARDOWN, 2);
        deadline.Pass(c.before);
        bool written = false;
        WritePageWithin(deadline, TEARDOWN, 2, [&] {
            deadline.Pass(c.page);
            written = !deadline.firedAt_;
        });
        deadline.Pass(c.after);
        EXPECT_EQ(deadline.firedAt_, c.firedAt) << c.name;
        EXPECT_EQ(written, c.written) << c.name;
        EXPECT_EQ(deadline.exitStatus_, 2) << c.name;
    }
}
