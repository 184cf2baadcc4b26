// Writes the JSON Lines report on a thread of its own: every period it
// snapshots the readers' tallies and appends their records; at the end, the
// final ones. The readers never wait for it. A file that cannot be opened or
// written is one ERROR line; monitoring goes on without the report.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <log4cplus/logger.h>

#include "failOn.h"
#include "readerTally.h"
#include "reportRecords.h"

namespace quillReport {

class ReportWriter
{
public:
    ReportWriter(RunDescription run, std::vector<std::shared_ptr<ReaderTally>> tallies, log4cplus::Logger& logger);
    ~ReportWriter();

    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    // Creates (or empties) the file and writes the start record; false, with
    // an ERROR logged, when that fails.
    bool Open();
    // Periodic records from now on.
    void Start();
    // Stops the periodic records and writes the last events, the final
    // writer and reader records and the final record.
    void Finish(const std::vector<ReaderSnapshot>& readers, const Verdict& verdict);

private:
    void Run();
    // The records of one period (or the final ones) for these snapshots.
    std::string Records(const std::vector<ReaderSnapshot>& readers, bool final, const RecordTime& time);
    RecordTime Now() const;
    void Write(const std::string& text);
    void Fail(const char* what, int error);

    const RunDescription run_;
    const std::vector<std::shared_ptr<ReaderTally>> tallies_;
    log4cplus::Logger& logger_;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

    int fd_ = -1;
    uint64_t written_ = 0; // bytes of complete records in the file
    // Samples at the previous record, per reader and per (reader, stream).
    std::map<size_t, uint64_t> readerSamples_;
    std::map<std::pair<size_t, size_t>, uint64_t> streamSamples_;
    std::chrono::steady_clock::time_point lastRecords_ = start_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace quillReport
