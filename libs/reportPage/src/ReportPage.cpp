#include "lumo/reportPage/ReportPage.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pageText.h"
#include "reportSeries.h"

namespace lumo::reportPage {

namespace {

namespace fs = std::filesystem;

ReportPageError WriteError(const std::string& pagePath, int error)
{
    return ReportPageError("cannot write the page '" + pagePath + "': " + std::strerror(error));
}

// Whether the two paths name one file: the same inode, or the same place
// when the page does not exist yet.
bool SameFile(const std::string& reportPath, const std::string& pagePath)
{
    struct stat report
    {
    };
    struct stat page
    {
    };
    if (::stat(pagePath.c_str(), &page) == 0) {
        return ::stat(reportPath.c_str(), &report) == 0 && report.st_dev == page.st_dev && report.st_ino == page.st_ino;
    }
    // Absolute first: a relative path that does not exist stays relative,
    // so "x" and "./x" would differ.
    std::error_code error;
    const fs::path a = fs::weakly_canonical(fs::absolute(reportPath, error), error);
    const fs::path b = fs::weakly_canonical(fs::absolute(pagePath, error), error);
    return !error && a == b;
}

// A device or a pipe (/dev/stdout) takes the page as it comes.
void WriteInPlace(const std::string& pagePath, const std::string& page)
{
    std::ofstream out(pagePath, std::ios::binary | std::ios::trunc);
    if (out) {
        out.write(page.data(), static_cast<std::streamsize>(page.size()));
        out.flush();
    }
    if (!out) {
        throw WriteError(pagePath, errno);
    }
}

// 0, or the errno of the write that failed.
int WriteAll(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return wrote < 0 ? errno : EIO;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return 0;
}

// A file is written whole beside its place and renamed into it, so that a
// failed write leaves nothing behind, nor an earlier page half replaced. A
// symbolic link stays: the file it names is replaced.
void WritePage(const std::string& pagePath, const std::string& page)
{
    std::error_code error;
    fs::path target = fs::canonical(pagePath, error);
    if (!error && !fs::is_regular_file(target)) {
        WriteInPlace(pagePath, page);
        return;
    }
    if (error) {
        target = pagePath;
    }
    static std::atomic<unsigned> made{0};
    fs::path temporary = target;
    temporary.replace_filename("." + target.filename().string() + "." + std::to_string(::getpid()) + "-" +
                               std::to_string(made++) + ".tmp");
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw WriteError(pagePath, errno);
    }
    int failed = WriteAll(fd, page);
    if (failed == 0 && ::fsync(fd) != 0) {
        failed = errno;
    }
    if (::close(fd) != 0 && failed == 0) {
        failed = errno;
    }
    if (failed == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) {
        failed = errno;
    }
    if (failed != 0) {
        ::unlink(temporary.c_str());
        throw WriteError(pagePath, failed);
    }
}

} // namespace

PageSummary WriteReportPage(const std::string& reportPath, const std::string& pagePath)
{
    if (SameFile(reportPath, pagePath)) {
        throw ReportPageError("the page '" + pagePath + "' is the report '" + reportPath +
                              "' itself: give the page a path of its own");
    }
    // Only a regular file: a device such as /dev/zero never ends, a FIFO may
    // never be written. Too large, it is refused before a byte is read.
    struct stat report
    {
    };
    if (::stat(reportPath.c_str(), &report) == 0) {
        if (!S_ISREG(report.st_mode)) {
            throw ReportPageError("cannot read the report file '" + reportPath + "': it is not a regular file");
        }
        if (static_cast<std::uint64_t>(report.st_size) > MAX_REPORT_BYTES) {
            throw ReportPageError("'" + reportPath + "' is larger than the " + BoundText(MAX_REPORT_BYTES) +
                                  " a page is made from");
        }
    }
    std::ifstream in(reportPath, std::ios::binary);
    if (!in) {
        throw ReportPageError("cannot read the report file '" + reportPath + "': " + std::strerror(errno));
    }
    return WriteReportPage(in, reportPath, pagePath);
}

PageSummary WriteReportPage(std::istream& report, const std::string& reportName, const std::string& pagePath)
{
    const ReportSeries series = ReadReportSeries(report, reportName);
    WritePage(pagePath, RenderPage(series));
    return PageSummary{series.records, series.lastLineCut, !series.final.is_null()};
}

} // namespace lumo::reportPage
