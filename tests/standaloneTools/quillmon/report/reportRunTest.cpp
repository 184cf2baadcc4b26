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
        std::map<std::string, uint64_t> periodSum; // the one writer's, and its reader's
        uint64_t lastPeriodic = 0;
        uint64_t final = 0;
        for (std::string line; std::getline(file, line);) {
            const auto record = nlohmann::json::parse(line);
            if (record.at("record") != "writer" && record.at("record") != "reader") {
                continue;
            }
            periodSum[record.at("record")] += record.at("period_samples").get<uint64_t>();
            (record.at("final") ? final : lastPeriodic) = record.at("samples").get<uint64_t>();
        }
        ASSERT_GT(final, 0u) << "iteration " << iteration;
        ASSERT_GE(final, lastPeriodic) << "iteration " << iteration;
        ASSERT_EQ(periodSum["writer"], final) << "iteration " << iteration;
        ASSERT_EQ(periodSum["reader"], final) << "iteration " << iteration;
    }
    std::remove(path.c_str());
}

// TeardownDeadline on the test's own clock, in seconds: armed again while
// counting, it keeps its count; it fires once the clock reaches it.
struct SteppedDeadline
{
    int now = 0;
    std::optional<int> deadline;
    std::optional<int> firedAt;
    void Arm(std::chrono::seconds bound, int) { deadline = deadline.value_or(now + static_cast<int>(bound.count())); }
    void Disarm() { deadline.reset(); }
    void Pass(int seconds)
    {
        now += seconds;
        firedAt = firedAt ? firedAt : (deadline && now >= *deadline ? deadline : std::nullopt);
    }
};

// The page has a bound of its own, not what is left of the teardown's 5 s,
// which counts afresh once the page is written.
TEST(ReportRun, ThePageHasABoundOfItsOwnBetweenTheTeardownsTwo)
{
    const struct
    {
        int page;
        int after; // of the teardown, after the page
        std::optional<int> firedAt;
    } cases[] = {
        {10, 1, std::nullopt}, // a page of 10 s is written
        {3600, 0, 64},         // one that never ends is cut
        {50, 6, 59},           // the rest of the teardown has its 5 s again
    };
    for (const auto& c : cases) {
        SteppedDeadline deadline;
        deadline.Arm(std::chrono::seconds{5}, 0);
        deadline.Pass(4);
        WritePageWithin(deadline, std::chrono::seconds{5}, 0, [&] { deadline.Pass(c.page); });
        deadline.Pass(c.after);
        EXPECT_EQ(deadline.firedAt, c.firedAt) << c.page;
    }
}
