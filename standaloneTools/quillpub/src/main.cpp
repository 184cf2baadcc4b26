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
#include <atomic>
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <boost/program_options.hpp>
#include <fastdds/dds/log/Log.hpp>
#include <log4cplus/initializer.h>

#include "lumo/componentFramework/DdsPub.h"
#include "lumo/componentFramework/Logging.h"
#include "publisherRun.h"
#include "quillLog.h"
#include "quillpubOptions.h"

namespace po = boost::program_options;
using lumo::componentFramework::DdsPub;

namespace {

constexpr const char* TOOL_NAME = "lumoQuillpub";

std::atomic<bool> gStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is written from a signal handler");

void SignalHandler(int)
{
    gStopRequested.store(true);
}

} // namespace

int main(int argc, char** argv)
{
    log4cplus::Initializer logInitializer;
    // INFO, unlike the monitor: a test run wants the progress and summary.
    lumo::componentFramework::LogConfigureTool(TOOL_NAME, log4cplus::INFO_LOG_LEVEL, false);
    log4cplus::Logger& logger = lumo::componentFramework::GetLogger("lumo");
    signal(SIGINT, SignalHandler);
    signal(SIGTERM, SignalHandler);

    try {
        const po::options_description options = MakeQuillpubOptions();
        po::variables_map vm;
        po::store(po::basic_command_line_parser<char>(argc, argv).options(options).run(), vm);
        po::notify(vm);

        if (vm.count("help") != 0) {
            std::cout << options << "\n" << QuillpubUsageNotes() << std::flush;
            return 0;
        }
        if (vm.count("debug") != 0) {
            logger.setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
            eprosima::fastdds::dds::Log::SetVerbosity(eprosima::fastdds::dds::Log::Kind::Info);
        }

        const PubSettings settings = SettingsFrom(vm);
        if (!settings.multicastAddress.empty()) {
            QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL,
                         "Multicast address: {} (left to the readers, which request the group)",
                         settings.multicastAddress);
        }
        std::string topicList;
        for (const auto& topic : settings.topics) {
            topicList += topic;
            topicList += ' ';
        }
        QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Going to create {} topic(s) and writer(s): {}",
                     static_cast<uint64_t>(settings.topics.size()), topicList);

        DdsPub dds(settings.qosFile, settings.qosProfile, settings.domainId, TOOL_NAME);
        if (!settings.allowInterfaces.empty()) {
            dds.SetInterfaceWhiteList(settings.allowInterfaces);
        }
        dds.CreateParticipant();
        dds.CreatePublisher();
        dds.CreateManyDataWriters(settings.topics);

        if (!WaitForReaders(dds, settings, logger, gStopRequested)) {
            return 1;
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
        dds.DestroyAllDataWriters();
    } catch (const std::exception& e) {
        QUILL_LOG_TO(logger, log4cplus::ERROR_LOG_LEVEL, "ERROR: {}", e.what());
        return 1;
    } catch (...) {
        QUILL_LOG_TO(logger, log4cplus::ERROR_LOG_LEVEL, "ERROR: An unknown exception occurred.");
        return 1;
    }
    return 0;
}
