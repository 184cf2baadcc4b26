// Writes the JSON Lines report on a thread of its own: every period it
// snapshots the readers' tallies and appends their records; at the end, the
// final ones. The readers never wait for it. A file that cannot be opened or
// written is one ERROR line; monitoring goes on without the report.
//
// The file may be a pipe or a FIFO: it is written without blocking, so a
// reader that went away is one ERROR line (never SIGPIPE), a FIFO nobody
// opened yet is opened by the writer's thread once someone does, and a
// reader that stops reading holds up only this thread, and the end of the
// run by at most GIVE_UP.
//
// For the page made at exit, a report that is not a regular file (a pipe,
// a FIFO, a device) cannot be read back: the writer then keeps a copy of
// the records the file took in an unnamed temporary file.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <log4cplus/logger.h>

#include "model/failOn.h"
#include "model/participantEvents.h"
#include "model/periodCounts.h"
#include "model/readerTally.h"
#include "model/tallyList.h"
#include "reportRecords.h"

namespace quillReport {

// Writes `text` whole to `fd`, opened with O_NONBLOCK: a full pipe is waited
// on until `giveUpAt` (its reader took nothing since), a pipe whose reader
// left fails with EPIPE, never SIGPIPE. Nothing when written, else the reason
// it was not, for the ERROR line.
std::optional<std::string> WriteWhole(int fd, std::string_view text,
                                      const std::atomic<std::chrono::steady_clock::time_point>& giveUpAt);

class ReportWriter
{
public:
    // How long the end of the run waits for a pipe's reader to take records.
    static constexpr std::chrono::seconds GIVE_UP{2};

    // `keepCopy`: a page is wanted at exit (see KeptRecords()).
    ReportWriter(RunDescription run, std::shared_ptr<const quillModel::TallyList> tallies,
                 std::shared_ptr<quillModel::ParticipantEvents> participantEvents, log4cplus::Logger& logger,
                 bool keepCopy = false);
    ~ReportWriter();

    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    // Creates (or empties) the file and writes the start record; false, with
    // an ERROR logged, when that fails. A FIFO without a reader is not a
    // failure: the writer's thread opens it when a reader comes.
    bool Open();
    // Periodic records from now on.
    void Start();
    // Ends the periodic records: once it returns, no record is written but
    // the final ones. Returns within GIVE_UP.
    void StopPeriodic();
    // What the final records count since the last periodic ones, taken
    // once: the live view's last screen shows these figures.
    const quillModel::Period& FinalPeriod(const std::vector<quillModel::ReaderSnapshot>& readers);
    // The last events, the final writer and reader records and the final
    // record, from snapshots taken after StopPeriodic.
    void WriteFinal(const std::vector<quillModel::ReaderSnapshot>& readers, const quillModel::Verdict& verdict);

    // Once the final records are written: whether the report is a regular
    // file, which can be read back whole.
    bool IsRegularFile() const { return regularFile_; }
    // The whole records a report that is not a regular file took, when a
    // copy was asked for; nothing without a copy.
    std::optional<std::string> KeptRecords() const;

private:
    void Run();
    // Opens the file without blocking: a descriptor, or -1 with errno set.
    int OpenFile() const;
    // Opens and writes the start record; true once open. False with an ERROR
    // logged, or, for a FIFO without a reader, with awaitingReader_ set.
    bool TryOpen();
    void WriteStart();
    // The period since the previous records.
    quillModel::Period NextPeriod(const std::vector<quillModel::ReaderSnapshot>& readers);
    // The records of one period (or the final ones) for these snapshots.
    std::string Records(const std::vector<quillModel::ReaderSnapshot>& readers, const quillModel::Period& period,
                        bool final, const RecordTime& time);
    RecordTime Now() const;
    void Write(const std::string& text);
    void Fail(const char* what, const std::string& reason);
    // After the file opened: a copy for a report that is not a regular file.
    void StartCopy();
    // Appends records the file took whole to the copy.
    void Copy(const std::string& text);
    // One ERROR line; no page comes from a copy after it.
    void CopyFailed(int error);

    const RunDescription run_;
    const std::string path_; // the report file
    const std::shared_ptr<const quillModel::TallyList> tallies_;
    const std::shared_ptr<quillModel::ParticipantEvents> participantEvents_;
    log4cplus::Logger& logger_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

    int fd_ = -1;
    const bool keepCopy_;
    bool regularFile_ = false;
    int copyFd_ = -1;             // the copy of the records, an unnamed temporary file
    bool awaitingReader_ = false; // a FIFO that nobody opened yet
    uint64_t written_ = 0;        // bytes of complete records in the file
    quillModel::PeriodBaseline baseline_;
    std::chrono::steady_clock::time_point lastRecords_ = start_;
    std::optional<quillModel::Period> finalPeriod_;
    // When a write to a full pipe gives up; set as the run ends.
    std::atomic<std::chrono::steady_clock::time_point> giveUpAt_{std::chrono::steady_clock::time_point::max()};

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace quillReport
