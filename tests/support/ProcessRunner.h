// Runs a program as a child process with its standard output and error
// captured line by line, for tests that meet a tool as its users do.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace lumo::test {

class ProcessRunner
{
public:
    // Starts `program` with `args`; `env` entries ("NAME=value") are added to
    // the environment, replacing inherited ones of the same name.
    ProcessRunner(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env = {});
    ~ProcessRunner(); // kills the child if it still runs

    ProcessRunner(const ProcessRunner&) = delete;
    ProcessRunner& operator=(const ProcessRunner&) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int signal) const;

    // Waits until some output line satisfies `match`; true when one did.
    bool WaitForLine(const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout);
    // Waits for a line that contains `text`.
    bool WaitForText(const std::string& text, std::chrono::milliseconds timeout);

    // Waits for the exit; the exit status, -signal for a death by signal, or
    // nothing when the timeout passed (the child is then killed).
    std::optional<int> Wait(std::chrono::milliseconds timeout);

    // Every line so far (complete lines; the trailing part once the child ended).
    std::vector<std::string> Lines() const;
    // The lines after the "<date> <time> " prefix of the console log layout;
    // lines without that prefix are kept whole.
    std::vector<std::string> Messages() const;
    std::string Output() const;

private:
    void ReadOutput(int fd);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string partial_;
    bool closed_ = false;
};

// Strips the "YYYY-MM-DD HH:MM:SS.mmm " time stamp the console layout starts
// each line with, leaving "LEVEL message".
std::string WithoutTimestamp(const std::string& line);

} // namespace lumo::test
