#include "ToolRuns.h"

#include <regex>

#include <gtest/gtest.h>

#include "TestNames.h"

namespace lumo::test {

std::vector<std::string> Confined(std::vector<std::string> args)
{
    args.insert(args.end(), {"--domain-id", std::to_string(TestDomain()), "-a", LOOPBACK});
    return args;
}

std::unique_ptr<ProcessRunner> StartMonitor(const std::vector<std::string>& args, const std::vector<std::string>& env)
{
    return std::make_unique<ProcessRunner>(LUMO_QUILLMON_PATH, args, env);
}

std::unique_ptr<ProcessRunner> StartPublisher(const std::vector<std::string>& args)
{
    return std::make_unique<ProcessRunner>(LUMO_QUILLPUB_PATH, args);
}

std::unique_ptr<ProcessRunner> StartReadyMonitor(const std::vector<std::string>& args)
{
    auto monitor = StartMonitor(Confined(args));
    EXPECT_TRUE(monitor->WaitForText(MONITOR_READY_LINE, START_TIMEOUT)) << monitor->Output();
    return monitor;
}

std::unique_ptr<ProcessRunner> StartConfinedPublisher(const std::vector<std::string>& args)
{
    return StartPublisher(Confined(args));
}

int StopWith(ProcessRunner& process, int signal)
{
    process.Signal(signal);
    const auto status = process.Wait(EXIT_TIMEOUT);
    EXPECT_TRUE(status.has_value()) << "did not exit: " << process.Output();
    return status.value_or(-1000);
}

int RunUntilReadyThenSignal(ProcessRunner& monitor, int signal)
{
    if (!monitor.WaitForText(MONITOR_READY_LINE, START_TIMEOUT)) {
        ADD_FAILURE() << "not ready: " << monitor.Output();
        return -1000;
    }
    return StopWith(monitor, signal);
}

std::vector<std::string> MessagesAt(const ProcessRunner& process, const std::string& level)
{
    // The layout pads the level to five characters, then one blank.
    std::string head = level;
    head.resize(std::max<size_t>(head.size(), 5), ' ');
    head += ' ';
    std::vector<std::string> result;
    for (const auto& message : process.Messages()) {
        if (message.rfind(head, 0) == 0 && !IsFastDdsMessage(message.substr(head.size()))) {
            result.push_back(message.substr(head.size()));
        }
    }
    return result;
}

bool IsFastDdsMessage(const std::string& message)
{
    static const std::regex header(R"(^\[[A-Z0-9_]+ (Error|Warning|Info)\] )");
    return std::regex_search(message, header);
}

std::vector<std::string> FastDdsMessages(const ProcessRunner& process)
{
    std::vector<std::string> result;
    for (const auto& message : process.Messages()) {
        const auto gap = message.find(' ');
        if (gap != std::string::npos) {
            const auto text = message.substr(message.find_first_not_of(' ', gap));
            if (IsFastDdsMessage(text)) {
                result.push_back(text);
            }
        }
    }
    return result;
}

} // namespace lumo::test
