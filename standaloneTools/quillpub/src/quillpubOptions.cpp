#include "quillpubOptions.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <ostream>

#include "lumo/Format.h"
#include "lumo/ddsSecurity/SecurityOption.h"
#include "lumo/toolsCommon/CommonOptions.h"

namespace po = boost::program_options;
namespace tools = lumo::toolsCommon;

namespace {

// from_chars, unlike the library's own conversion, takes no leading space or
// '+' and no trailing text: "1.5x" is an error, not 1.5.
double ParseFiniteReal(const std::string& text)
{
    double number = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number, std::chars_format::general);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(number)) {
        throw po::invalid_option_value(text);
    }
    return number;
}

uint32_t U32(const po::variables_map& vm, const char* name)
{
    return vm[name].as<Unsigned32>().value;
}

// A sample number option that must name a sample the run will publish.
std::optional<uint64_t> SampleNumber(const po::variables_map& vm, const char* name, uint64_t count)
{
    if (vm.count(name) == 0) {
        return std::nullopt;
    }
    const uint64_t number = U32(vm, name);
    if (count != 0 && number >= count) {
        throw ArgumentError(
            lumo::format("--{} {} is not below --count {}: that sample is never published", name, number, count));
    }
    return number;
}

} // namespace

std::ostream& operator<<(std::ostream& out, const Real& number)
{
    return out << number.value;
}

std::ostream& operator<<(std::ostream& out, const NonNegativeReal& number)
{
    return out << number.value;
}

void validate(boost::any& target, const std::vector<std::string>& values, Real*, int)
{
    po::validators::check_first_occurrence(target);
    target = Real{ParseFiniteReal(po::validators::get_single_string(values))};
}

void validate(boost::any& target, const std::vector<std::string>& values, NonNegativeReal*, int)
{
    po::validators::check_first_occurrence(target);
    const std::string& text = po::validators::get_single_string(values);
    const double number = ParseFiniteReal(text);
    // "-0" too: a sign has no business here.
    if (std::signbit(number)) {
        throw po::invalid_option_value(text);
    }
    target = NonNegativeReal{number};
}

po::options_description MakeQuillpubOptions()
{
    po::options_description options("lumoQuillpub Usage");
    tools::AddHelpOption(options);
    tools::AddDebugOption(options, "debugging (logs every sample written)");
    tools::AddTopicOption(options,
                          "Topic names (separated by space), one writer each; the n-th (from 0) is reader index n");
    tools::AddDdsOptions(options);
    tools::AddAllowInterfacesOption(options);
    tools::AddMulticastOption(options,
                              "Multicast address; only logged: the readers request the group, writers need nothing");
    // clang-format off
    options.add_options()
        ("rate,r", po::value<NonNegativeReal>()->default_value(NonNegativeReal{100.0}, "100"),
            "Samples per second per topic; 0: as fast as possible")
        ("count,n", po::value<Unsigned32>()->default_value(Unsigned32{0}, "0"),
            "Samples per topic; 0: until --duration or Ctrl-C")
        ("duration", po::value<NonNegativeReal>()->default_value(NonNegativeReal{0.0}, "0"),
            "Seconds of publishing; 0: until --count or Ctrl-C")
        ("payload", po::value<PayloadKind>()->default_value(PayloadKind::Zeros, "zeros"),
            "Payload: zeros, ramp, alternating_float_ramp")
        ("payload-size", po::value<Unsigned32>()->default_value(Unsigned32{64}, "64"),
            "Payload bytes; float32 elements, bytes after the last whole one are zero")
        ("ramp-start", po::value<Real>()->default_value(Real{0.0}, "0"),
            "ramp: element k is ramp-start + k * 0.001")
        ("reader-index", po::value<Unsigned32>(),
            "alternating_float_ramp: reader index of the first topic (next topics count up from it); "
            "element k is r + k for even ids, -(r + k) for odd ids")
        ("start-id", po::value<Unsigned32>()->default_value(Unsigned32{0}, "0"), "First sample id")
        ("id-increment", po::value<Unsigned32>()->default_value(Unsigned32{1}, "1"),
            "Sample id increment (ids wrap at 2^32)")
        ("skip-every", po::value<Unsigned32>()->default_value(Unsigned32{0}, "0"),
            "Fault: samples K, 2K, ... (from 0) skip one id; 0: none")
        ("repeat-id", po::value<Unsigned32>(),
            "Fault: sample N (from 1) reuses the previous sample's id, once")
        ("corrupt-sample", po::value<Unsigned32>(),
            "Fault: sample N (from 0) has payload element 1 (0 if alone) changed by 1.0")
        ("wait-readers", po::value<Unsigned32>()->default_value(Unsigned32{1}, "1"),
            "Matched readers every writer waits for before publishing; 0: no wait")
        ("wait-timeout", po::value<NonNegativeReal>()->default_value(NonNegativeReal{30.0}, "30"),
            "Seconds to wait for the readers, then fail; 0: no limit")
        ("ack-timeout", po::value<NonNegativeReal>()->default_value(NonNegativeReal{5.0}, "5"),
            "Seconds to wait at the end for every sample to be acknowledged; 0: no wait")
        ("linger", po::value<NonNegativeReal>()->default_value(NonNegativeReal{0.0}, "0"),
            "Seconds to keep the writers after the summary, so readers see no unmatch yet; "
            "Ctrl-C ends it early");
    // clang-format on
    tools::AddVersionOption(options);
    lumo::ddsSecurity::AddSecurityOption(options);
    return options;
}

const char* QuillpubUsageNotes()
{
    return "At the end, one line per topic on standard output (also logged at INFO):\n"
           "  [<topic>][<reader index>] samples written: <n> ids skipped: <n> ids repeated: <n> "
           "samples corrupted: <n> write failures: <n>\n"
           "A failed write still uses its sample id, so the monitor sees a gap there.\n"
           "Exit status: 0 run complete (count, duration, SIGINT/SIGTERM) or usage printed;\n"
           "             1 error (\"ERROR: ...\" logged): command line, QoS, DDS set-up, readers not matched.\n";
}

PubSettings SettingsFrom(const po::variables_map& vm)
{
    PubSettings settings;
    if (vm.count("topic") != 0) {
        settings.topics = vm["topic"].as<std::vector<std::string>>();
    }
    if (settings.topics.empty()) {
        throw ArgumentError("no topic given: name at least one with -t/--topic");
    }
    settings.domainId = vm["domain-id"].as<lumo::toolsCommon::DomainId>().value;
    settings.qosProfile = vm["qos-profile"].as<std::string>();
    settings.qosFile = vm["qos-file"].as<std::string>();
    if (vm.count("allow-interfaces") != 0) {
        settings.allowInterfaces = vm["allow-interfaces"].as<std::vector<std::string>>();
    }
    if (vm.count("multicast") != 0) {
        settings.multicastAddress = vm["multicast"].as<std::string>();
    }
    if (vm.count("security") != 0) {
        settings.security.enclave = vm["security"].as<std::string>();
    }

    settings.rate = vm["rate"].as<NonNegativeReal>().value;
    settings.count = U32(vm, "count");
    settings.durationSec = vm["duration"].as<NonNegativeReal>().value;

    settings.payloadSize = U32(vm, "payload-size");
    settings.payloadKind = vm["payload"].as<PayloadKind>();
    settings.rampStart = vm["ramp-start"].as<Real>().value;
    if (vm.count("reader-index") != 0) {
        settings.readerIndexBase = U32(vm, "reader-index");
    }
    if (settings.topics.size() - 1 > UINT32_MAX - settings.readerIndexBase) {
        throw ArgumentError(lumo::format("--reader-index {} leaves no 32-bit reader index for {} topics",
                                         settings.readerIndexBase, settings.topics.size()));
    }

    settings.ids.startId = U32(vm, "start-id");
    settings.ids.increment = U32(vm, "id-increment");
    settings.ids.skipEvery = U32(vm, "skip-every");
    if (settings.ids.skipEvery != 0 && settings.ids.increment == 0) {
        throw ArgumentError("--skip-every needs a non-zero --id-increment: with 0 no id can be skipped");
    }
    settings.ids.repeatSample = SampleNumber(vm, "repeat-id", settings.count);
    if (settings.ids.repeatSample == 0u) {
        throw ArgumentError("--repeat-id 0: the first sample has no previous id to repeat");
    }
    settings.corruptSample = SampleNumber(vm, "corrupt-sample", settings.count);
    if (settings.corruptSample && settings.payloadSize == 0) {
        throw ArgumentError("--corrupt-sample needs a payload: --payload-size is 0");
    }

    const uint32_t waitReaders = U32(vm, "wait-readers");
    if (waitReaders > static_cast<uint32_t>(INT_MAX)) {
        throw ArgumentError(lumo::format("--wait-readers {} is too large", waitReaders));
    }
    settings.waitReaders = static_cast<int>(waitReaders);
    settings.waitTimeoutSec = vm["wait-timeout"].as<NonNegativeReal>().value;
    settings.ackTimeoutSec = vm["ack-timeout"].as<NonNegativeReal>().value;
    settings.lingerSec = vm["linger"].as<NonNegativeReal>().value;
    return settings;
}
