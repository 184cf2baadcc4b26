#include "reportWriter.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "quillLog.h"

namespace quillReport {

ReportWriter::ReportWriter(RunDescription run, std::vector<std::shared_ptr<ReaderTally>> tallies,
                           log4cplus::Logger& logger)
    : run_(std::move(run))
    , tallies_(std::move(tallies))
    , logger_(logger)
{
}

ReportWriter::~ReportWriter()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
    }
}

RecordTime ReportWriter::Now() const
{
    return RecordTime{std::chrono::system_clock::now(),
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count()};
}

bool ReportWriter::Open()
{
    fd_ = open(run_.reportPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL,
                     "ERROR: cannot open the report file '{}': {}; monitoring goes on without a report",
                     run_.reportPath, std::strerror(errno));
        return false;
    }
    Write(StartRecord(run_, Now()) + "\n");
    return fd_ >= 0;
}

void ReportWriter::Start()
{
    if (fd_ >= 0) {
        thread_ = std::thread([this] { Run(); });
    }
}

void ReportWriter::Run()
{
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(run_.reportPeriodSec));
    auto next = start_ + period;
    std::unique_lock lock(mutex_);
    while (!stop_) {
        if (wake_.wait_until(lock, next, [this] { return stop_; })) {
            break;
        }
        next += period;
        lock.unlock();
        std::vector<ReaderSnapshot> readers;
        for (const auto& tally : tallies_) {
            readers.push_back(tally->Snapshot());
        }
        Write(Records(readers, false, Now()));
        lock.lock();
    }
}

std::string ReportWriter::Records(const std::vector<ReaderSnapshot>& readers, bool final, const RecordTime& time)
{
    const auto now = std::chrono::steady_clock::now();
    const double periodSec = std::chrono::duration<double>(now - lastRecords_).count();
    lastRecords_ = now;
    std::string text;
    // The events first: they happened before the counts were taken.
    for (size_t r = 0; r < tallies_.size(); ++r) {
        for (const auto& event : tallies_[r]->TakeEvents()) {
            text += EventRecord(tallies_[r]->Topic(), tallies_[r]->ReaderIndex(), event, time) + "\n";
        }
    }
    for (size_t r = 0; r < readers.size(); ++r) {
        const auto& reader = readers[r];
        for (size_t s = 0; s < reader.streams.size(); ++s) {
            uint64_t& previous = streamSamples_[{r, s}];
            const uint64_t samples = reader.streams[s].samples;
            text += WriterRecord(reader, s, run_.payloadCheck, samples - previous, periodSec, final, time) + "\n";
            previous = samples;
        }
        uint64_t& previous = readerSamples_[r];
        const uint64_t samples = reader.Samples();
        text += ReaderRecord(reader, samples - previous, periodSec, final, time) + "\n";
        previous = samples;
    }
    return text;
}

void ReportWriter::Finish(const std::vector<ReaderSnapshot>& readers, const Verdict& verdict)
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (fd_ < 0) {
        return;
    }
    const RecordTime time = Now();
    Write(Records(readers, true, time) + FinalRecord(run_, readers, verdict, time) + "\n");
}

void ReportWriter::Write(const std::string& text)
{
    if (fd_ < 0) {
        return;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            Fail("write", n < 0 ? errno : ENOSPC);
            return;
        }
        done += static_cast<size_t>(n);
    }
    written_ += done;
}

void ReportWriter::Fail(const char* what, int error)
{
    QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL,
                 "ERROR: cannot {} the report file '{}': {}; monitoring goes on, no more records are written", what,
                 run_.reportPath, std::strerror(error));
    // What was written stays whole records: a part of one is cut off.
    if (ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
        // A device such as /dev/full cannot be cut; nothing more to do.
    }
    close(fd_);
    fd_ = -1;
}

} // namespace quillReport
