// lumoQuillpub: test publisher of AgnosticTopic samples for lumoQuillmon.
// Publishes known payloads and sample ids on one writer per topic, paced to
// a rate, optionally with injected faults (skipped or repeated ids, a
// corrupted payload) that the monitor must report.
//
// At the end, one line per topic goes to standard output and to the log
// (INFO), after the readers were given time to acknowledge every sample:
//   [<topic>][<reader index>] samples written: <n> ids skipped: <n>
//       ids repeated: <n> samples corrupted: <n> write failures: <n>
// (a single line). A failed write is counted, logged at ERROR, and its id is
// not reused.
//
// Exit status:
//   0    the run ended: count or duration reached, or SIGINT/SIGTERM (the
//        summary is printed in every case), or the usage was printed
//   1    an error ended the run ("ERROR: ..." is logged): bad command line,
//        QoS file or profile, network interface, DDS set-up, or the readers
//        did not match within --wait-timeout
//
// Teardown is bounded: once SIGINT/SIGTERM arrives, the run must end within
// TEARDOWN_BOUND (5 s) plus --ack-timeout. If Fast DDS hangs (a write that
// never returns), the publisher logs "ERROR: teardown did not finish within
// N s; ending the process" and ends itself with status 1: no summary was
// printed. The same bound covers the deletion of the writers after the
// summary (status 0).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "lumo/componentFramework/DdsPub.h"
#include "lumo/ddsSecurity/SecurityOption.h"
#include "lumo/toolsCommon/CommonOptions.h"
#include "lumo/toolsCommon/ExitStatus.h"
#include "lumo/toolsCommon/Log.h"
#include "lumo/toolsCommon/TeardownDeadline.h"
#include "lumo/toolsCommon/ToolMain.h"
#include "publisherRun.h"
#include "quillpubOptions.h"

namespace po = boost::program_options;
using lumo::componentFramework::DdsPub;
namespace tools = lumo::toolsCommon;

namespace {

constexpr const char* TOOL_NAME = "lumoQuillpub";
// As the monitor's: normal teardown takes well under a second.
constexpr std::chrono::seconds TEARDOWN_BOUND{5};

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is written from a signal handler");

void SignalHandler(int)
{
    gStopRequested.store(true);
}

// Everything main does between the start and the end of the process; an
// exception ends it in main's handlers.
int RunPublisherTool(int argc, char** argv, log4cplus::Logger& logger, tools::TeardownDeadline& teardownDeadline)
{
    const po::options_description options = MakeQuillpubOptions();
    po::variables_map vm;
    if (!tools::ParseCommandLine(argc, argv, options, vm, TOOL_NAME, QuillpubUsageNotes())) {
        return tools::STATUS_OK;
    }
    tools::ApplyDebugOption(vm, logger);

    const PubSettings settings = SettingsFrom(vm);
    // After a stop the readers still get their acknowledgement wait.
    const auto ackWait = std::chrono::seconds(static_cast<int64_t>(std::ceil(std::min(settings.ackTimeoutSec, 1e6))));
    teardownDeadline.ArmOnStop(gStopRequested, TEARDOWN_BOUND + ackWait, tools::STATUS_ERROR);
    if (!settings.multicastAddress.empty()) {
        QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL,
                     "Multicast address: {} (left to the readers, which request the group)", settings.multicastAddress);
    }
    const std::string topicList = tools::JoinTopics(settings.topics);
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Going to create {} topic(s) and writer(s): {}",
                 static_cast<uint64_t>(settings.topics.size()), topicList);

    DdsPub dds(settings.qosFile, settings.qosProfile, settings.domainId, TOOL_NAME);
    if (!settings.allowInterfaces.empty()) {
        dds.SetInterfaceWhiteList(settings.allowInterfaces);
    }
    lumo::ddsSecurity::ApplySecurityOption(settings.security, dds, settings.domainId, settings.topics,
                                           lumo::ddsSecurity::Access::Publish, logger);
    dds.CreateParticipant();
    dds.CreatePublisher();
    dds.CreateManyDataWriters(settings.topics);

    if (!WaitForReaders(dds, settings, logger, gStopRequested)) {
        return tools::STATUS_ERROR;
    }
    const std::vector<TopicReport> reports = RunPublisher(dds, settings, logger, gStopRequested);
    AwaitAcknowledgments(dds, settings, reports, logger);
    for (const auto& report : reports) {
        const std::string line = SummaryLine(report);
        QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "{}", line);
        std::cout << line << '\n';
    }
    std::cout << std::flush;
    Linger(settings, gStopRequested);
    teardownDeadline.Arm(TEARDOWN_BOUND, tools::STATUS_OK);
    dds.DestroyAllDataWriters();
    return tools::STATUS_OK;
}

} // namespace

int main(int argc, char** argv)
{
    // INFO, unlike the monitor: a test run wants the progress and summary.
    tools::ToolLogging logging(TOOL_NAME, log4cplus::INFO_LOG_LEVEL);
    log4cplus::Logger& logger = logging.Logger();
    tools::InstallStopHandler(SignalHandler);
    // Outlives the facade, so that it covers the facade's destructor too.
    tools::TeardownDeadline teardownDeadline(logger);
    const int status = tools::RunGuarded(logger,
                                         [&] { return RunPublisherTool(argc, argv, logger, teardownDeadline); });
    teardownDeadline.Disarm();
    return status;
}
