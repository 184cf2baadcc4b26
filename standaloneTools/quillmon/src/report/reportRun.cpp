#include "reportRun.h"

#include <sstream>

#include "lumo/reportPage/ReportPage.h"
#include "quillLog.h"

namespace quillReport {

ReportRun::ReportRun(RunDescription run, const quillModel::MonitorRun& model, log4cplus::Logger& logger)
    : run_(std::move(run))
    , model_(model)
    , logger_(logger)
{
}

void ReportRun::Start()
{
    writer_ = std::make_unique<ReportWriter>(run_, model_.SharedTallies(), model_.KeptAwayParticipants(), logger_,
                                             run_.report.htmlPath.has_value());
    if (writer_->Open()) {
        writer_->Start();
    }
}

void ReportRun::StopPeriodic()
{
    if (writer_) {
        writer_->StopPeriodic();
    }
}

const quillModel::Period* ReportRun::FinalPeriod()
{
    return writer_ ? &writer_->FinalPeriod(model_.FinalReaders()) : nullptr;
}

void ReportRun::WriteFinal()
{
    if (writer_) {
        writer_->WriteFinal(model_.FinalReaders(), model_.FinalVerdict());
    }
}

void ReportRun::WritePage()
{
    const auto& path = run_.report.path;
    const auto& htmlPath = run_.report.htmlPath;
    if (!path || !htmlPath) {
        return;
    }
    // Like a failed report write: one ERROR line, the status kept. A report
    // that is not a regular file is never read back: a pipe would hand over
    // its reader's records, or block for good.
    try {
        if (writer_ && writer_->IsRegularFile()) {
            lumo::reportPage::WriteReportPage(*path, *htmlPath);
        } else if (const auto records = writer_ ? writer_->KeptRecords() : std::nullopt) {
            std::istringstream in(*records);
            lumo::reportPage::WriteReportPage(in, *path, *htmlPath);
        } else {
            throw lumo::reportPage::ReportPageError("the report file '" + *path +
                                                    "' took no record that could be kept for it");
        }
    } catch (const lumo::reportPage::ReportPageError& e) {
        QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL, "ERROR: {}; no page was written", e.what());
    }
}

} // namespace quillReport
