#include "quillmonOptions.h"

#include <stdexcept>

#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/toolsCommon/CommonOptions.h"
#include "report/reportOptions.h"

namespace po = boost::program_options;
namespace tools = lumo::toolsCommon;

std::string PayloadCheckSettings::Name() const
{
    return !expectedPattern.empty() ? expectedPattern : (checkRamp ? "ramp" : "none");
}

po::options_description MakeQuillmonOptions()
{
    po::options_description options("lumoQuillmon Usage");
    tools::AddHelpOption(options);
    // clang-format off
    options.add_options()
        ("sleep-period-in-msec,s", po::value<Unsigned32>()->default_value(Unsigned32{0}, "0"),
            "Sleep period in msec")
        ("check-ramp,c", po::bool_switch(),
            "Check contents of packet contains floating point ramp")
        ("expected-payload-pattern", po::value<std::string>(),
            "Expected payload pattern to validate. Supported: alternating_float_ramp");
    // clang-format on
    tools::AddDebugOption(options, "debugging");
    tools::AddTopicOption(options, "Topic names (separated by space)", "TestTopic");
    tools::AddDdsOptions(options);
    tools::AddMulticastOption(options, "Multicast address");
    tools::AddAllowInterfacesOption(options);
    options.add_options()("expected-sample-id-increment,i", po::value<Unsigned32>()->default_value(Unsigned32{1}, "1"),
                          "Expected sample id increment");
    // clang-format off
    options.add_options()
        ("any-type", po::bool_switch(),
            "Read each topic with the type its writers announce (other types as raw bytes)")
        ("all-topics", po::value<std::string>()->implicit_value("*"),
            "Also read every discovered topic whose name matches GLOB (default: all), as --any-type does")
        ("seq-field", po::value<std::string>(),
            "OFFSET:WIDTH[:le|be] of the sample id in a raw sample's bytes, from its encapsulation header");
    // clang-format on
    quillReport::AddReportOptions(options);
    quillMetrics::AddMetricsOptions(options);
    tools::AddVersionOption(options);
    lumo::ddsSecurity::AddSecurityOption(options);
    options.add_options()("list", po::bool_switch(),
                          "Join the domain, wait --duration seconds (default 3) for discovery, print its "
                          "participants and topics, whether each topic can be read and why not, then exit");
    options.add_options()("live", po::bool_switch(),
                          "Show every reader and writer on a full-screen view, redrawn every --report-period "
                          "(q quits, s sorts); log lines are held and printed when it ends. Needs a terminal");
    return options;
}

QuillmonSettings QuillmonSettingsFrom(const po::variables_map& vm)
{
    QuillmonSettings settings;

    GeneralSettings& general = settings.general;
    general.topics = vm["topic"].as<std::vector<std::string>>();
    general.domainId = vm["domain-id"].as<lumo::toolsCommon::DomainId>().value;
    general.qosFile = vm["qos-file"].as<std::string>();
    general.qosProfile = vm["qos-profile"].as<std::string>();
    if (vm.count("multicast") != 0) {
        general.multicastAddress = vm["multicast"].as<std::string>();
    }
    if (vm.count("allow-interfaces") != 0) {
        general.allowInterfaces = vm["allow-interfaces"].as<std::vector<std::string>>();
    }
    general.sleepPeriodMs = vm["sleep-period-in-msec"].as<Unsigned32>().value;

    settings.payloadChecks.checkRamp = vm["check-ramp"].as<bool>();
    if (vm.count("expected-payload-pattern") != 0) {
        settings.payloadChecks.expectedPattern = vm["expected-payload-pattern"].as<std::string>();
    }

    quillReport::ReportSettings& report = settings.report;
    if (vm.count("report") != 0) {
        report.path = vm["report"].as<std::string>();
    }
    if (vm.count("report-html") != 0) {
        report.htmlPath = vm["report-html"].as<std::string>();
    }
    report.periodSec = vm["report-period"].as<quillReport::PeriodSeconds>().value;

    if (vm.count("metrics") != 0) {
        settings.metrics.address = vm["metrics"].as<quillMetrics::MetricsAddress>();
    }
    if (vm.count("metrics-web-config") != 0) {
        settings.metrics.webConfig = vm["metrics-web-config"].as<std::string>();
    }

    if (vm.count("security") != 0) {
        settings.security.enclave = vm["security"].as<std::string>();
    }

    anyTopic::AnyTopicSettings& anyTopic = settings.anyTopic;
    anyTopic.anyType = vm["any-type"].as<bool>();
    if (vm.count("all-topics") != 0) {
        anyTopic.allTopicsGlob = vm["all-topics"].as<std::string>();
        // Without -t, only the topics discovery finds are read.
        if (vm["topic"].defaulted()) {
            general.topics.clear();
        }
    }
    if (vm.count("seq-field") != 0) {
        if (!anyTopic.Active()) {
            throw std::invalid_argument("--seq-field reads raw samples: give it with --any-type or --all-topics");
        }
        settings.seqFieldText = vm["seq-field"].as<std::string>();
        anyTopic.seqField = anyTopic::SeqField::Parse(*settings.seqFieldText);
    }

    settings.list = vm["list"].as<bool>();
    settings.live = vm["live"].as<bool>();
    if (settings.live && settings.list) {
        throw std::invalid_argument("--live shows a run: --list makes none");
    }

    quillModel::RunSettings& run = settings.run;
    run.expectedIncrement = vm["expected-sample-id-increment"].as<Unsigned32>().value;
    if (vm.count("duration") != 0) {
        run.durationSec = vm["duration"].as<quillReport::DurationSeconds>().value;
    }
    if (vm.count("fail-on") != 0) {
        run.failOn = vm["fail-on"].as<quillReport::ConditionList>().conditions;
    }
    run.viewed = report.path.has_value() || settings.metrics.address.has_value() || settings.live;
    // A raw reader without ids counts its lost samples from the tallies.
    run.rawReaders = anyTopic.Active();
    return settings;
}

quillReport::RunDescription DescribeRun(const QuillmonSettings& settings)
{
    quillReport::RunDescription run;
    run.topics = settings.general.topics;
    run.domainId = settings.general.domainId;
    run.qosProfile = settings.general.qosProfile;
    run.qosFile = settings.general.qosFile;
    run.payloadCheck = settings.payloadChecks.Name();
    run.fastDdsVersion = lumo::componentFramework::compat::FastDdsVersion();
    run.model = settings.run;
    run.report = settings.report;
    if (settings.anyTopic.Active()) {
        run.anyType = quillReport::RunDescription::AnyType{settings.anyTopic.allTopicsGlob, settings.seqFieldText};
    }
    return run;
}
