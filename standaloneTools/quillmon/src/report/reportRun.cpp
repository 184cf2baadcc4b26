#include "reportRun.h"

#include <algorithm>
#include <ctime>
#include <sstream>

#include <unistd.h>

#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/reportPage/ReportPage.h"
#include "lumo/toolsCommon/Unsigned32.h"
#include "quillLog.h"

namespace po = boost::program_options;

namespace quillReport {

std::unique_ptr<ReportRun> ReportRun::FromOptions(const po::variables_map& vm, bool checkRamp,
                                                  const std::string& expectedPattern, log4cplus::Logger& logger)
{
    ReportSettings settings = ReportSettingsFrom(vm);
    if (!settings.Requested()) {
        return nullptr;
    }
    RunDescription run;
    run.topics = vm["topic"].as<std::vector<std::string>>();
    using lumo::toolsCommon::Unsigned32;
    run.domainId = vm["domain-id"].as<Unsigned32>().value;
    run.qosProfile = vm["qos-profile"].as<std::string>();
    run.qosFile = vm["qos-file"].as<std::string>();
    run.expectedIncrement = vm["expected-sample-id-increment"].as<Unsigned32>().value;
    run.payloadCheck = !expectedPattern.empty() ? expectedPattern : (checkRamp ? "ramp" : "none");
    run.reportPath = settings.path.value_or("");
    run.reportPeriodSec = settings.periodSec;
    run.durationSec = settings.durationSec;
    run.failOn = settings.failOn;
    run.fastDdsVersion = lumo::componentFramework::compat::FastDdsVersion();
    return std::make_unique<ReportRun>(std::move(settings), std::move(run), logger);
}

ReportRun::ReportRun(ReportSettings settings, RunDescription run, log4cplus::Logger& logger)
    : settings_(std::move(settings))
    , run_(std::move(run))
    , logger_(logger)
{
}

std::shared_ptr<ReaderTally> ReportRun::TallyFor(const std::string& topic, uint32_t readerIndex)
{
    if (!settings_.NeedsTallies()) {
        return nullptr;
    }
    auto tally = std::make_shared<ReaderTally>(topic, readerIndex, run_.expectedIncrement);
    tallies_.push_back(tally);
    return tally;
}

void ReportRun::Start()
{
    if (settings_.durationSec) {
        deadline_ = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                           std::chrono::duration<double>(*settings_.durationSec));
    }
    if (settings_.path) {
        writer_ = std::make_unique<ReportWriter>(run_, tallies_, participantEvents_, logger_,
                                                 settings_.htmlPath.has_value());
        if (writer_->Open()) {
            writer_->Start();
        }
    }
}

void ReportRun::WaitForStop(std::atomic<bool>& stop)
{
    constexpr auto POLL = std::chrono::seconds(2);
    while (!stop.load()) {
        if (!settings_.durationSec) {
            sleep(2);
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

int ReportRun::Conclude(int runStatus)
{
    // First: a periodic record written after these snapshots would count
    // more samples than the final one.
    if (writer_) {
        writer_->StopPeriodic();
    }
    for (const auto& tally : tallies_) {
        finalReaders_.push_back(tally->Snapshot());
    }
    verdict_ = Judge(finalReaders_, run_.failOn, runStatus);
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

void ReportRun::WriteFinal()
{
    if (writer_) {
        writer_->WriteFinal(finalReaders_, verdict_);
    }
}

void ReportRun::WritePage()
{
    if (!settings_.htmlPath) {
        return;
    }
    // Like a failed report write: one ERROR line, the status kept. A report
    // that is not a regular file is never read back: a pipe would hand over
    // its reader's records, or block for good.
    try {
        if (writer_ && writer_->IsRegularFile()) {
            lumo::reportPage::WriteReportPage(*settings_.path, *settings_.htmlPath);
        } else if (const auto records = writer_ ? writer_->KeptRecords() : std::nullopt) {
            std::istringstream in(*records);
            lumo::reportPage::WriteReportPage(in, *settings_.path, *settings_.htmlPath);
        } else {
            throw lumo::reportPage::ReportPageError("the report file '" + *settings_.path +
                                                    "' took no record that could be kept for it");
        }
    } catch (const lumo::reportPage::ReportPageError& e) {
        QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL, "ERROR: {}; no page was written", e.what());
    }
}

} // namespace quillReport
