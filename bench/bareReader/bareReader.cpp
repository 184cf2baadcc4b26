// lumoBareReader: the ceiling the monitor is measured against. Same facade,
// QoS file, profile and interface options as lumoQuillmon, one reader per
// topic, but its listener only takes the samples on loan and counts the
// valid ones: no continuity check, no payload check, no statistics, no log.
// With --raw-type NAME [--keyed] it reads each topic as the monitor's
// --any-type does (DdsSub::CreateRawDataReader: samples as RawSample bytes,
// KEEP_ALL, any partition), so that raw and AgnosticTopic readers each have
// a ceiling of their own.
//
// At SIGINT/SIGTERM it prints, on standard output,
//   bare [<topic>][<index>] samples: <n>
// for every topic, then
//   bare total samples: <n>
// and exits 0. Exit status 1 on a set-up error (logged as "ERROR: ...").
#include <atomic>
#include <csignal>
#include <cstdint>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <pthread.h>

#include <boost/program_options.hpp>
#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>

#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/componentFramework/DdsSub.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/componentFramework/RawTopicType.h"
#include "lumo/toolsCommon/CommonOptions.h"
#include "lumo/toolsCommon/ExitStatus.h"
#include "lumo/toolsCommon/ToolMain.h"

namespace po = boost::program_options;
namespace fdds = eprosima::fastdds::dds;
using lumo::componentFramework::AgnosticTopic;
using lumo::componentFramework::DdsReaderParams;
using lumo::componentFramework::DdsSub;
using lumo::componentFramework::RawReaderParams;
using lumo::componentFramework::compat::RawSample;
namespace tools = lumo::toolsCommon;

namespace {

constexpr const char* TOOL_NAME = "lumoBareReader";

class Counter
{
public:
    virtual ~Counter() = default;
    uint64_t Samples() const { return samples_.load(std::memory_order_relaxed); }

protected:
    std::atomic<uint64_t> samples_{0};
};

// Sample is AgnosticTopic or RawSample: the same take, on loan, either way.
template <typename Sample>
class CountingListener : public fdds::DataReaderListener, public Counter
{
public:
    void on_data_available(fdds::DataReader* reader) override
    {
        // Local sequences: Fast DDS may call this on more than one thread at
        // once, and each take needs sequences of its own; no lock then.
        fdds::LoanableSequence<Sample> data;
        fdds::LoanableSequence<fdds::SampleInfo> infos;
        if (!lumo::componentFramework::compat::IsOk(reader->take(data, infos, fdds::LENGTH_UNLIMITED,
                                                                 fdds::ANY_SAMPLE_STATE, fdds::ANY_VIEW_STATE,
                                                                 fdds::ANY_INSTANCE_STATE))) {
            return;
        }
        uint64_t valid = 0;
        const auto count = infos.length();
        for (fdds::LoanableCollection::size_type i = 0; i < count; ++i) {
            valid += infos[i].valid_data ? 1 : 0;
        }
        reader->return_loan(data, infos);
        samples_.fetch_add(valid, std::memory_order_relaxed);
    }
};

po::options_description MakeOptions()
{
    po::options_description options("lumoBareReader Usage");
    tools::AddHelpOption(options);
    tools::AddTopicOption(options, "Topic names, one reader each");
    tools::AddDdsOptions(options);
    tools::AddAllowInterfacesOption(options);
    options.add_options()("raw-type", po::value<std::string>(),
                          "Read every topic as raw bytes of this type name, as lumoQuillmon --any-type does")(
        "keyed", "With --raw-type: the type has a key");
    tools::AddVersionOption(options);
    return options;
}

int RunBareReader(int argc, char** argv, const sigset_t& stopSignals)
{
    const po::options_description options = MakeOptions();
    po::variables_map vm;
    if (!tools::ParseCommandLine(argc, argv, options, vm, TOOL_NAME)) {
        return tools::STATUS_OK;
    }
    if (vm.count("topic") == 0) {
        throw std::invalid_argument("no topic given: name at least one with -t");
    }
    const auto& topics = vm["topic"].as<std::vector<std::string>>();

    DdsSub dds(vm["qos-file"].as<std::string>(), vm["qos-profile"].as<std::string>(),
               vm["domain-id"].as<tools::DomainId>().value, TOOL_NAME);
    if (vm.count("allow-interfaces") != 0) {
        dds.SetInterfaceWhiteList(vm["allow-interfaces"].as<std::vector<std::string>>());
    }
    dds.CreateParticipant();
    dds.CreateSubscriber();

    std::vector<std::shared_ptr<Counter>> listeners;
    if (vm.count("raw-type") != 0) {
        const auto& typeName = vm["raw-type"].as<std::string>();
        const bool keyed = vm.count("keyed") != 0;
        for (const auto& topic : topics) {
            auto listener = std::make_shared<CountingListener<RawSample>>();
            listeners.push_back(listener);
            dds.CreateRawDataReader(RawReaderParams{topic, typeName, keyed, listener, ""});
        }
    } else {
        if (vm.count("keyed") != 0) {
            throw std::invalid_argument("--keyed needs --raw-type");
        }
        std::vector<DdsReaderParams> readers;
        for (const auto& topic : topics) {
            auto listener = std::make_shared<CountingListener<AgnosticTopic>>();
            listeners.push_back(listener);
            readers.push_back(DdsReaderParams{topic, listener, ""});
        }
        dds.CreateManyDataReaders(readers);
    }
    dds.EnableAllDataReaders();
    std::cout << "==> Ctrl-C to exit <=.\n" << std::flush;

    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);

    uint64_t total = 0;
    for (size_t i = 0; i < listeners.size(); ++i) {
        const uint64_t samples = listeners[i]->Samples();
        total += samples;
        std::cout << "bare [" << topics[i] << "][" << i << "] samples: " << samples << "\n";
    }
    std::cout << "bare total samples: " << total << "\n" << std::flush;
    dds.DestroyAllDataReaders();
    return tools::STATUS_OK;
}

} // namespace

int main(int argc, char** argv)
{
    tools::ToolLogging logging(TOOL_NAME, log4cplus::ERROR_LOG_LEVEL);

    // Blocked here, before any DDS thread exists, so that every thread
    // inherits the mask and the signals reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    return tools::RunGuarded(logging.Logger(), [&] { return RunBareReader(argc, argv, stopSignals); });
}
