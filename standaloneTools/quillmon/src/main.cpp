// lumoQuillmon: diagnostic subscriber for the toolkit's DDS data paths.
//
// Exit status:
//   0    normal run ended by SIGINT/SIGTERM or by a failed payload check,
//        or the usage (or --version) was printed
//   1    an error ended the run ("ERROR: ..." is logged): bad command line,
//        QoS file or profile, network interface, DDS set-up
//   254  too many topics (16 or more)
//   2    with --fail-on: a named condition happened (see model/failOn.h)
//
// With --list: 0 once the listing is printed (a report file that cannot be
// written is an ERROR line, as in a run, and changes nothing), 1 as above for
// an error before it.
//
// Teardown is bounded: once the exit report is logged, deleting the readers
// and the facade must end within TEARDOWN_BOUND (5 s). If Fast DDS hangs
// there, the monitor logs "ERROR: teardown did not finish within 5 s; ending
// the process" and ends itself with the status the run would have had (0).
// The --report-html page, made after the final records, has a bound of its
// own, quillReport::PAGE_BOUND (60 s), kept the same way.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <boost/program_options.hpp>

#include "anyTopic/topicAdoption.h"
#include "diagnosedReaderListener.h"
#include "inventory/domainListing.h"
#include "live/liveView.h"
#include "lumo/componentFramework/DdsSub.h"
#include "lumo/ddsDiagnosis/ReaderDiagnosis.h"
#include "lumo/ddsDiagnosis/TopicInventory.h"
#include "lumo/ddsSecurity/AuthenticationWatch.h"
#include "lumo/ddsSecurity/Enclave.h"
#include "lumo/ddsSecurity/SecurityOption.h"
#include "lumo/toolsCommon/CommonOptions.h"
#include "lumo/toolsCommon/ExitStatus.h"
#include "lumo/toolsCommon/TeardownDeadline.h"
#include "lumo/toolsCommon/ToolMain.h"
#include "metrics/metricsServer.h"
#include "model/monitorRun.h"
#include "quillLog.h"
#include "quillReaderListener.h"
#include "quillmonOptions.h"
#include "report/reportOptions.h"
#include "report/reportRun.h"
#include "report/reportWriter.h"

namespace po = boost::program_options;
using lumo::componentFramework::DdsReaderParams;
using lumo::componentFramework::DdsSub;
using lumo::componentFramework::EndpointQos;
namespace tools = lumo::toolsCommon;

namespace {

constexpr const char* TOOL_NAME = "lumoQuillmon";
constexpr uint64_t MAX_TOPICS = 16; // the number of topics must stay below this
constexpr int TOO_MANY_TOPICS = -2; // the shell sees 254
// Normal teardown takes well under a second, even under the sanitizers.
constexpr std::chrono::seconds TEARDOWN_BOUND{5};

// --list's report: the start record, then the listing's records.
void WriteListingReport(const QuillmonSettings& settings, const lumo::ddsDiagnosis::InventorySnapshot& inventory,
                        const quillInventory::DomainListing& listing, log4cplus::Logger& logger)
{
    const std::string& path = *settings.report.path;
    quillReport::RunDescription run = DescribeRun(settings);
    run.topics.clear(); // no reader: the -t default names nothing here
    const quillReport::RecordTime time{std::chrono::system_clock::now(), 0.0};
    std::string text = quillReport::StartRecord(run, time) + "\n";
    for (const auto& record : quillInventory::ListingRecords(inventory, listing, time)) {
        text += record + "\n";
    }
    // Not blocking on a FIFO that nobody reads: the listing is printed all
    // the same.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int error = errno;
        QUILL_LOG_TO(logger, log4cplus::ERROR_LOG_LEVEL,
                     "ERROR: cannot open the report file '{}': {}; the listing is printed without it", path,
                     error == ENXIO ? "a FIFO that nobody reads" : std::strerror(error));
        return;
    }
    // Without blocking, as a run's final records: a blocking write to a pipe
    // whose reader takes nothing never returns, signal or not (the stop
    // handler lets it restart); this one gives up after GIVE_UP.
    const std::atomic giveUpAt{std::chrono::steady_clock::now() + quillReport::ReportWriter::GIVE_UP};
    if (const auto failed = quillReport::WriteWhole(fd, text, giveUpAt)) {
        QUILL_LOG_TO(logger, log4cplus::ERROR_LOG_LEVEL,
                     "ERROR: cannot write the report file '{}': {}; the listing is printed without it", path, *failed);
    }
    ::close(fd);
}

// --list: joins the domain as a run does, but creates no reader; waits for
// discovery, then prints what it found and how this monitor would fare
// with each topic.
int ListDomain(const QuillmonSettings& settings, log4cplus::Logger& logger)
{
    const GeneralSettings& general = settings.general;
    DdsSub dds(general.qosFile, general.qosProfile, general.domainId, TOOL_NAME);
    if (general.allowInterfaces) {
        dds.SetInterfaceWhiteList(*general.allowInterfaces);
    }
    lumo::ddsSecurity::ApplySecurityOption(settings.security, dds, general.domainId, {},
                                           lumo::ddsSecurity::Access::Subscribe, logger);
    auto inventory = std::make_shared<lumo::ddsDiagnosis::TopicInventory>();
    dds.AddDiscoveryObserver(inventory);
    dds.CreateParticipant();
    dds.CreateSubscriber();
    const auto readerQos = dds.ProfileReaderQos(dds.QosProfile()).value_or(EndpointQos{});

    const double seconds = settings.run.durationSec.value_or(QuillmonSettings::DEFAULT_LIST_SECONDS);
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Listing domain {}: waiting {} s for discovery", general.domainId,
                 seconds);
    // SIGINT/SIGTERM ends the wait early: what is known by then is listed.
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!gExitRequested.load() && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    // With --security, each topic is judged with what the enclave makes this
    // participant's reader announce there; one its grant denies is left out
    // (Fast DDS still tells of its writers).
    const auto readerOf = [&](const std::string& topic) {
        quillInventory::LocalReader reader{readerQos};
        if (settings.security.enclave) {
            try {
                const auto enclave = lumo::ddsSecurity::EnclaveIn(*settings.security.enclave);
                reader.qos.security = lumo::ddsSecurity::CheckEnclave(enclave, general.domainId, {topic},
                                                                      lumo::ddsSecurity::Access::Subscribe)
                                          .at(0);
            } catch (const lumo::ddsSecurity::EnclaveError&) {
                reader.allowed = false;
            }
        }
        return reader;
    };
    const auto snapshot = inventory->Snapshot();
    const auto listing = quillInventory::ListTopics(snapshot, readerOf);
    for (const auto& line : quillInventory::ListingLines(snapshot, listing, general.domainId)) {
        std::cout << line << '\n';
    }
    std::cout << std::flush;
    if (settings.report.path) {
        WriteListingReport(settings, snapshot, listing, logger);
    }
    return tools::STATUS_OK;
}

// Everything main does between the start and the end of the process; an
// exception ends it in main's handlers.
int RunMonitor(int argc, char** argv, log4cplus::Logger& logger, tools::TeardownDeadline& teardownDeadline)
{
    po::options_description options = MakeQuillmonOptions();
    po::variables_map vm;
    if (!tools::ParseCommandLine(argc, argv, options, vm, TOOL_NAME)) {
        return tools::STATUS_OK;
    }
    tools::ApplyDebugOption(vm, logger);
    const QuillmonSettings settings = QuillmonSettingsFrom(vm);
    // Its screen would go to a file or a pipe: refused before the run starts.
    if (settings.live && !quillLive::OutputIsTerminal()) {
        throw std::invalid_argument(
            "--live needs a terminal on standard output; without one, use --report or --metrics");
    }
    if (settings.list) {
        return ListDomain(settings, logger);
    }
    const GeneralSettings& general = settings.general;

    const auto& topics = general.topics;
    if (topics.size() >= MAX_TOPICS) {
        QUILL_LOG_TO(logger, log4cplus::ERROR_LOG_LEVEL, "ERROR: number of topics (readers) must be less than {}",
                     MAX_TOPICS);
        return TOO_MANY_TOPICS;
    }

    // Stored bit for bit: the listeners read them as signed values.
    gSleepPeriod.store(static_cast<int>(general.sleepPeriodMs));
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "sleep-period-in-msec: {}", gSleepPeriod.load());
    gCheckRamp.store(settings.payloadChecks.checkRamp);
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "check ramp is: {}", settings.payloadChecks.checkRamp);
    gExpectedPayloadPattern = settings.payloadChecks.expectedPattern;
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "expected payload pattern: {}", gExpectedPayloadPattern);
    gExpectedSampleIdIncrement.store(static_cast<int>(settings.run.expectedIncrement));
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "expected-sample-id-increment: {}",
                 gExpectedSampleIdIncrement.load());

    quillReport::CheckReportSettings(settings.report);
    // The model keeps tallies only when a view or --fail-on reads them.
    quillModel::MonitorRun run(settings.run, logger);
    std::unique_ptr<quillReport::ReportRun> report;
    if (settings.report.path) {
        report = std::make_unique<quillReport::ReportRun>(DescribeRun(settings), run, logger);
    }
    // Listening before the domain is joined: an address that cannot be served ends the run here.
    std::unique_ptr<quillMetrics::MetricsServer> metrics;
    if (settings.metrics.webConfig && !settings.metrics.address) {
        throw std::invalid_argument("--metrics-web-config needs --metrics");
    }
    if (settings.metrics.address) {
        metrics = std::make_unique<quillMetrics::MetricsServer>(*settings.metrics.address, logger,
                                                                settings.metrics.webConfig
                                                                    ? quillMetrics::ReadWebConfig(
                                                                          *settings.metrics.webConfig)
                                                                    : quillMetrics::WebConfig{});
    }

    // Before the domain is joined: a terminal it cannot drive ends the run here.
    std::unique_ptr<quillLive::LiveView> live;
    if (settings.live) {
        live = std::make_unique<quillLive::LiveView>(run, general.domainId, settings.report.periodSec);
    }

    const std::string multicastAddress = general.multicastAddress.value_or("");
    if (general.multicastAddress) {
        QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Multicast address: {}", multicastAddress);
    }

    const std::string topicList = tools::JoinTopics(topics);
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Going to create {} topic(s) and reader(s): {}",
                 static_cast<uint64_t>(topics.size()), topicList);

    DdsSub dds(general.qosFile, general.qosProfile, general.domainId, TOOL_NAME);
    if (general.allowInterfaces) {
        dds.SetInterfaceWhiteList(*general.allowInterfaces);
    }
    lumo::ddsSecurity::KeptAwayHook keptAway;
    if (report) {
        keptAway = [events = run.KeptAwayParticipants()](const auto& participant) { events->Add(participant); };
    }
    const auto readerSecurity = lumo::ddsSecurity::ApplySecurityOption(settings.security, dds, general.domainId, topics,
                                                                       lumo::ddsSecurity::Access::Subscribe, logger,
                                                                       std::move(keptAway));
    auto diagnosis = std::make_shared<lumo::ddsDiagnosis::ReaderDiagnosis>(logger, dds);
    if (settings.anyTopic.Active()) {
        diagnosis->WatchEveryTopic();
    }
    lumo::ddsSecurity::OnRefusedPairings(dds, [watched = std::weak_ptr(diagnosis)](const std::string& reader) {
        if (const auto alive = watched.lock()) {
            alive->PairingRefused(reader);
        }
    });
    dds.CreateParticipant();
    dds.CreateSubscriber();

    // Declared after the facade, so released before it on every path; the
    // facade holds its own references until it has deleted the readers.
    std::vector<DdsReaderParams> readers;
    uint16_t readerIndex = 0;
    // Weak: the diagnosis's security hook holds the tallies.
    const auto hostLookup = [watched = std::weak_ptr(diagnosis)](const std::string& guidPrefix) {
        const auto alive = watched.lock();
        return alive ? alive->ParticipantAddresses(guidPrefix) : std::vector<std::string>{};
    };
    // With --any-type or --all-topics the readers are made as their writers
    // appear, on this thread; otherwise all of them now.
    std::unique_ptr<anyTopic::TopicAdoption> adoption;
    if (settings.anyTopic.Active()) {
        diagnosis->AddReaders(dds, {});
        if (settings.anyTopic.allTopicsGlob) {
            QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Reading every topic whose name matches '{}'",
                         *settings.anyTopic.allTopicsGlob);
        }
        adoption = std::make_unique<anyTopic::TopicAdoption>(settings.anyTopic, topics,
                                                             anyTopic::TopicAdoption::Context{dds, *diagnosis,
                                                                                              diagnosis, run,
                                                                                              hostLookup,
                                                                                              multicastAddress,
                                                                                              logger});
    } else {
        for (const auto& topic : topics) {
            auto listener = std::make_shared<DiagnosedReaderListener>(topic.c_str(), readerIndex, diagnosis);
            if (auto tally = run.TallyFor(topic, readerIndex)) {
                tally->SetHostLookup(hostLookup);
                listener->AttachTally(tally);
            }
            ++readerIndex;
            readers.push_back(DdsReaderParams{topic, std::move(listener), multicastAddress});
        }
        dds.CreateManyDataReaders(readers);
        diagnosis->AddReaders(dds, topics, readerSecurity);
    }
    if (run.Settings().NeedsTallies()) {
        diagnosis->SetSecurityRefusalHook(
            [tallies = run.SharedTallies()](uint32_t index, const lumo::componentFramework::DiscoveredWriter& writer,
                                            const std::string& reason) {
                if (const auto tally = tallies->OfReader(index)) {
                    tally->OnWriterRefused(writer.guid, reason);
                }
            });
    }
    if (metrics) {
        metrics->Serve(run.SharedTallies());
    }
    for (const auto& record : readers) {
        static_cast<QuillReaderListener&>(*record.listener).ready_.store(true, std::memory_order_release);
    }
    dds.EnableAllDataReaders();
    diagnosis->Start();
    std::cout << "==> Ctrl-C to exit <=.\n" << std::flush;

    if (live) {
        live->Start();
    }
    run.Start();
    if (report) {
        report->Start();
    }
    if (adoption) {
        run.WaitForStop(gExitRequested, [&adoption] { adoption->Poll(); });
    } else if (live) {
        // The view's q ends the run: seen within a tick, not a 2 s poll.
        run.WaitForStop(gExitRequested, [] {});
    } else {
        run.WaitForStop(gExitRequested);
    }

    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Exiting ....");
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "Statistics: ");
    std::vector<std::shared_ptr<QuillReaderListener>> listeners;
    listeners.reserve(readers.size());
    for (const auto& record : readers) {
        listeners.push_back(std::static_pointer_cast<QuillReaderListener>(record.listener));
    }
    if (adoption) {
        listeners = adoption->Listeners();
    }
    for (const auto& listener : listeners) {
        QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, " [{}][{}] #samples: {} #lost samples: {}",
                     listener->topicName_.c_str(), listener->readerIndex_, listener->TotalSamplesReceived(),
                     listener->TotalSampleErrors());
    }
    if (report) {
        report->StopPeriodic();
    }
    // --fail-on may turn the status to 2 (quillModel::FAIL_ON_EXIT_STATUS).
    const int status = run.Conclude(tools::STATUS_OK);
    if (live) {
        // The last screen's rates and latencies are those of the report's final records.
        live->Finish(report ? report->FinalPeriod() : nullptr);
    }
    // Armed before the report's last write: a file that blocks is bounded too.
    teardownDeadline.Arm(TEARDOWN_BOUND, status);
    diagnosis->Stop();
    if (report) {
        report->WriteFinal();
        quillReport::WritePageWithin(teardownDeadline, TEARDOWN_BOUND, status, [&report] { report->WritePage(); });
    }
    dds.DestroyAllDataReaders();
    return status;
}

} // namespace

void SignalHandler(int)
{
    gExitRequested.store(true);
}

int main(int argc, char** argv)
{
    tools::ToolLogging logging(TOOL_NAME, log4cplus::ERROR_LOG_LEVEL);
    log4cplus::Logger& logger = logging.Logger();
    tools::InstallStopHandler(SignalHandler);
    // Outlives the facade, so that it covers the facade's destructor too.
    tools::TeardownDeadline teardownDeadline(logger);

    const int status = tools::RunGuarded(logger, [&] { return RunMonitor(argc, argv, logger, teardownDeadline); });
    teardownDeadline.Disarm();
    return status;
}
