// Command line of lumoQuillmon: the option table, and the one settings value
// the run works from, made here from the parsed options. Each module takes
// only its own part; the parsed options go no further than main.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/program_options.hpp>

#include "anyTopic/anyTopicSettings.h"
#include "lumo/ddsSecurity/SecurityOption.h"
#include "lumo/toolsCommon/Unsigned32.h"
#include "metrics/metricsOptions.h"
#include "model/runSettings.h"
#include "report/reportRecords.h"
#include "report/reportSettings.h"

using lumo::toolsCommon::Unsigned32;

// What main itself needs: the domain, the readers, the listeners' pace.
struct GeneralSettings
{
    std::vector<std::string> topics;
    uint32_t domainId = 0;
    std::string qosFile;
    std::string qosProfile;
    std::optional<std::string> multicastAddress;
    std::optional<std::vector<std::string>> allowInterfaces;
    uint32_t sleepPeriodMs = 0;
};

// The listeners' payload checks.
struct PayloadCheckSettings
{
    bool checkRamp = false;
    std::string expectedPattern; // empty: none

    // As the report names it: the pattern's name, "ramp" or "none".
    std::string Name() const;
};

struct QuillmonSettings
{
    GeneralSettings general;
    PayloadCheckSettings payloadChecks;
    quillModel::RunSettings run;
    quillReport::ReportSettings report;
    quillMetrics::MetricsSettings metrics;
    lumo::ddsSecurity::SecuritySettings security;
    anyTopic::AnyTopicSettings anyTopic;
    std::optional<std::string> seqFieldText; // --seq-field as given, for the report
    // --list: join, wait for discovery (run.durationSec, else
    // DEFAULT_LIST_SECONDS), print what is on the domain and exit; no reader.
    bool list = false;
    static constexpr double DEFAULT_LIST_SECONDS = 3.0;
    // --live: the full-screen view, redrawn every report.periodSec.
    bool live = false;
};

// The option table, in usage order: the monitor's own, the report's, the
// metrics', --version, --security and --list.
boost::program_options::options_description MakeQuillmonOptions();

// The settings of a parsed command line; std::invalid_argument for options
// that contradict each other or a malformed --seq-field. Not checked: the report's part is
// checked by quillReport::CheckReportSettings where the run needs it.
QuillmonSettings QuillmonSettingsFrom(const boost::program_options::variables_map& vm);

// What the report's records say the run was asked to do.
quillReport::RunDescription DescribeRun(const QuillmonSettings& settings);
