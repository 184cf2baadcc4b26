// Starting the project's own tools as child processes, confined to loopback,
// and reading their console logs.
#pragma once

#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "ProcessRunner.h"

namespace lumo::test {

inline constexpr auto START_TIMEOUT = std::chrono::seconds(20);
inline constexpr auto EXIT_TIMEOUT = std::chrono::seconds(20);
// The monitor prints it on standard output once its readers are enabled.
inline const std::string MONITOR_READY_LINE = "==> Ctrl-C to exit <=.";

// `args` plus this test process's domain and the loopback allow-list.
std::vector<std::string> Confined(std::vector<std::string> args);

std::unique_ptr<ProcessRunner> StartMonitor(const std::vector<std::string>& args,
                                            const std::vector<std::string>& env = {});
std::unique_ptr<ProcessRunner> StartPublisher(const std::vector<std::string>& args);

// A monitor started with Confined(`args`), once it printed the ready line (a
// test failure otherwise).
std::unique_ptr<ProcessRunner> StartReadyMonitor(const std::vector<std::string>& args);

// A publisher started with Confined(`args`).
std::unique_ptr<ProcessRunner> StartConfinedPublisher(const std::vector<std::string>& args);

// Sends `signal` and returns the exit status (-1000, and a test failure, when
// the process did not exit).
int StopWith(ProcessRunner& process, int signal = SIGINT);

// Runs to the ready line, stops it with `signal`, returns the exit status
// (-1000 when it did not get there or did not exit).
int RunUntilReadyThenSignal(ProcessRunner& monitor, int signal = SIGINT);

// The tool's own messages logged at `level` ("INFO", "ERROR", ...), without
// time stamp and level. Fast DDS's messages, which share the log, are left
// out: its 2.9 release reports trouble of its own now and then ("Error when
// restarting liveliness timer") that says nothing about the tool.
std::vector<std::string> MessagesAt(const ProcessRunner& process, const std::string& level);

// Whether a message (after the level) is one of Fast DDS's: "[CATEGORY Kind] ...".
bool IsFastDdsMessage(const std::string& message);
// Fast DDS's messages, at every level, without time stamp and level.
std::vector<std::string> FastDdsMessages(const ProcessRunner& process);

} // namespace lumo::test
