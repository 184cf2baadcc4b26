#include "reportWriter.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lumo/Format.h"
#include "quillLog.h"

namespace quillReport {

using quillModel::ParticipantEvents;
using quillModel::Period;
using quillModel::ReaderSnapshot;
using quillModel::Verdict;

namespace {

using SteadyClock = std::chrono::steady_clock;

// How often a FIFO without a reader is tried again.
constexpr std::chrono::milliseconds RETRY_OPEN{100};
// How often a full pipe is polled while waiting for its reader.
constexpr int POLL_MS = 100;

// A write to a pipe whose reader is gone raises SIGPIPE, which would end
// the process. Blocked on this thread while it writes, and the one the
// write raised taken back, it only makes the write fail with EPIPE.
class SigpipeBlocked
{
public:
    SigpipeBlocked()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~SigpipeBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

    // After a write failed with EPIPE: takes back the signal it raised.
    void Discard()
    {
        const timespec now{};
        while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE) {
        }
    }

private:
    sigset_t pipe_{};
    sigset_t previous_{};
};

// Until `giveUpAt`, waits for a full pipe to take more; false once past it.
bool WaitWritable(int fd, const std::atomic<SteadyClock::time_point>& giveUpAt)
{
    while (SteadyClock::now() < giveUpAt.load()) {
        pollfd writable{fd, POLLOUT, 0};
        const int ready = poll(&writable, 1, POLL_MS);
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            return true; // the next write says how it went
        }
    }
    return false;
}

} // namespace

std::optional<std::string> WriteWhole(int fd, std::string_view text,
                                      const std::atomic<std::chrono::steady_clock::time_point>& giveUpAt)
{
    SigpipeBlocked sigpipe;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        const int error = n < 0 ? errno : ENOSPC;
        if (error == EINTR) {
            continue;
        }
        if (error == EAGAIN) {
            if (WaitWritable(fd, giveUpAt)) {
                continue;
            }
            return lumo::format("its reader took nothing for {} s", ReportWriter::GIVE_UP.count());
        }
        if (error == EPIPE) {
            sigpipe.Discard();
        }
        return std::string(std::strerror(error));
    }
    return std::nullopt;
}

ReportWriter::ReportWriter(RunDescription run, std::shared_ptr<const quillModel::TallyList> tallies,
                           std::shared_ptr<ParticipantEvents> participantEvents, log4cplus::Logger& logger,
                           bool keepCopy)
    : run_(std::move(run))
    , path_(run_.report.path.value_or(""))
    , tallies_(std::move(tallies))
    , participantEvents_(std::move(participantEvents))
    , logger_(logger)
    , keepCopy_(keepCopy)
{
}

ReportWriter::~ReportWriter()
{
    StopPeriodic();
    if (fd_ >= 0) {
        close(fd_);
    }
    if (copyFd_ >= 0) {
        close(copyFd_);
    }
}

RecordTime ReportWriter::Now() const
{
    return RecordTime{std::chrono::system_clock::now(),
                      std::chrono::duration<double>(SteadyClock::now() - start_).count()};
}

int ReportWriter::OpenFile() const
{
    // Without O_NONBLOCK, opening a FIFO waits for a reader, and with it the
    // whole monitor. Regular files ignore the flag.
    return open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0644);
}

bool ReportWriter::Open()
{
    if (TryOpen()) {
        return true;
    }
    if (awaitingReader_) {
        QUILL_LOG_TO(logger_, log4cplus::INFO_LOG_LEVEL,
                     "the report file '{}' has no reader yet; its records start when one opens it", path_);
    }
    return awaitingReader_;
}

bool ReportWriter::TryOpen()
{
    fd_ = OpenFile();
    awaitingReader_ = fd_ < 0 && errno == ENXIO;
    if (awaitingReader_) {
        return false;
    }
    if (fd_ < 0) {
        QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL,
                     "ERROR: cannot open the report file '{}': {}; monitoring goes on without a report", path_,
                     std::strerror(errno));
        return false;
    }
    StartCopy();
    WriteStart();
    return fd_ >= 0;
}

void ReportWriter::StartCopy()
{
    struct stat file
    {
    };
    regularFile_ = fstat(fd_, &file) == 0 && S_ISREG(file.st_mode);
    if (regularFile_ || !keepCopy_) {
        return;
    }
    // Unnamed: nothing is left behind, however the process ends.
    const char* dir = std::getenv("TMPDIR");
    copyFd_ = open(dir != nullptr && *dir != '\0' ? dir : "/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (copyFd_ < 0) {
        CopyFailed(errno);
    }
}

void ReportWriter::CopyFailed(int error)
{
    QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL,
                 "ERROR: cannot keep a copy of the report file '{}' for the page: {}; no page will be written", path_,
                 std::strerror(error));
    if (copyFd_ >= 0) {
        close(copyFd_);
        copyFd_ = -1;
    }
}

std::optional<std::string> ReportWriter::KeptRecords() const
{
    if (copyFd_ < 0) {
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(written_), '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = pread(copyFd_, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        done += static_cast<size_t>(n);
    }
    return text;
}

void ReportWriter::WriteStart()
{
    Write(StartRecord(run_, Now()) + "\n");
}

void ReportWriter::Start()
{
    if (fd_ >= 0 || awaitingReader_) {
        thread_ = std::thread([this] { Run(); });
    }
}

void ReportWriter::Run()
{
    const auto period = std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(run_.report.periodSec));
    auto next = start_ + period;
    std::unique_lock lock(mutex_);
    while (!stop_) {
        const auto wakeAt = awaitingReader_ ? std::min(next, SteadyClock::now() + RETRY_OPEN) : next;
        if (wake_.wait_until(lock, wakeAt, [this] { return stop_; })) {
            break;
        }
        lock.unlock();
        if (awaitingReader_) {
            TryOpen();
        }
        if (SteadyClock::now() >= next) {
            // A late wake (a long write) skips the periods it overran, and
            // the next record covers them.
            while (next <= SteadyClock::now()) {
                next += period;
            }
            if (fd_ >= 0) {
                std::vector<ReaderSnapshot> readers;
                for (const auto& tally : tallies_->All()) {
                    readers.push_back(tally->Snapshot());
                }
                const Period period = NextPeriod(readers);
                Write(Records(readers, period, false, Now()));
            }
        }
        lock.lock();
        if (fd_ < 0 && !awaitingReader_) {
            break; // failed: nothing more to write
        }
    }
}

void ReportWriter::StopPeriodic()
{
    giveUpAt_.store(SteadyClock::now() + GIVE_UP);
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

Period ReportWriter::NextPeriod(const std::vector<ReaderSnapshot>& readers)
{
    const auto now = SteadyClock::now();
    const double periodSec = std::chrono::duration<double>(now - lastRecords_).count();
    lastRecords_ = now;
    return baseline_.Advance(readers, periodSec);
}

std::string ReportWriter::Records(const std::vector<ReaderSnapshot>& readers, const Period& period, bool final,
                                  const RecordTime& time)
{
    std::string text;
    // The events first: they happened before the counts were taken.
    for (const auto& event : participantEvents_->Take()) {
        text += ParticipantEventRecord(event, time) + "\n";
    }
    for (const auto& tally : tallies_->All()) {
        for (const auto& event : tally->TakeEvents()) {
            text += EventRecord(tally->Topic(), tally->ReaderIndex(), event, time) + "\n";
        }
    }
    for (size_t r = 0; r < readers.size(); ++r) {
        const auto& reader = readers[r];
        const auto& added = period.readers.at(r);
        for (size_t s = 0; s < reader.streams.size(); ++s) {
            text += WriterRecord(reader, s, run_.payloadCheck, added.streams.at(s).samples,
                                 added.streams.at(s).latencyCounts, period.seconds, final, time) +
                    "\n";
        }
        text += ReaderRecord(reader, added.samples, period.seconds, final, time) + "\n";
    }
    return text;
}

const Period& ReportWriter::FinalPeriod(const std::vector<ReaderSnapshot>& readers)
{
    if (!finalPeriod_) {
        finalPeriod_ = NextPeriod(readers);
    }
    return *finalPeriod_;
}

void ReportWriter::WriteFinal(const std::vector<ReaderSnapshot>& readers, const Verdict& verdict)
{
    giveUpAt_.store(SteadyClock::now() + GIVE_UP);
    if (awaitingReader_ && !TryOpen() && awaitingReader_) {
        awaitingReader_ = false;
        QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL,
                     "ERROR: cannot open the report file '{}': no reader opened it before the run ended; "
                     "no record was written",
                     path_);
    }
    if (fd_ < 0) {
        return;
    }
    const RecordTime time = Now();
    Write(Records(readers, FinalPeriod(readers), true, time) + FinalRecord(run_, readers, verdict, time) + "\n");
}

void ReportWriter::Write(const std::string& text)
{
    if (fd_ < 0) {
        return;
    }
    if (const auto failed = WriteWhole(fd_, text, giveUpAt_)) {
        Fail("write", *failed);
        return;
    }
    Copy(text);
    written_ += text.size();
}

void ReportWriter::Copy(const std::string& text)
{
    if (copyFd_ < 0) {
        return;
    }
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = pwrite(copyFd_, text.data() + done, text.size() - done, static_cast<off_t>(written_ + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            CopyFailed(n < 0 ? errno : ENOSPC);
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void ReportWriter::Fail(const char* what, const std::string& reason)
{
    QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL,
                 "ERROR: cannot {} the report file '{}': {}; monitoring goes on, no more records are written", what,
                 path_, reason);
    // What was written stays whole records: a part of one is cut off.
    if (ftruncate(fd_, static_cast<off_t>(written_)) != 0) {
        // A pipe or a device such as /dev/full cannot be cut; nothing more to do.
    }
    close(fd_);
    fd_ = -1;
}

} // namespace quillReport
