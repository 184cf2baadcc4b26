// While the live view is up, a log line written to the terminal would tear
// its screen. The console's lines are held instead, in an unnamed file (a
// long run holds them without growing in memory), and printed in their
// order once the view ends. Appenders that do not write to the console
// (a file named by LUMO_LOG_CONFIG) go on as before.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quillLive {

class HeldLog
{
public:
    // Holds from now on; std::runtime_error when no file can hold the lines.
    HeldLog();
    ~HeldLog();

    HeldLog(const HeldLog&) = delete;
    HeldLog& operator=(const HeldLog&) = delete;

    // Every held line printed on standard output, and the lines to come
    // passed on to the console. Once only.
    void Release();

    uint64_t Count() const;
    // The latest line as the console's layout wrote it, its line end too.
    std::string Last() const;
    // The file the lines are held in: a crash handler prints it with
    // write(2) alone.
    int Descriptor() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

// Writes everything in `fd` from its start to standard output with
// read(2) and write(2) alone: safe in a signal handler.
void CopyToStandardOutput(int fd);

} // namespace quillLive
