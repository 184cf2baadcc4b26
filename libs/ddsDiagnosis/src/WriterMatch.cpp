#include "lumo/ddsDiagnosis/WriterMatch.h"

#include <algorithm>
#include <array>

#include <fnmatch.h>

#include "lumo/Format.h"

namespace lumo::ddsDiagnosis {

using componentFramework::INFINITE_SECONDS;
using componentFramework::ReliabilityKind;
using componentFramework::XCDR1_REPRESENTATION;
using componentFramework::XCDR2_REPRESENTATION;
using componentFramework::XML_REPRESENTATION;

namespace {

// Enough to say what a writer offers without letting a hostile list flood a
// line.
constexpr size_t MAX_LISTED_PARTITIONS = 8;

std::string KindName(uint32_t value, const std::array<const char*, 4>& names, uint32_t first)
{
    if (value >= first && value - first < names.size() && names[value - first] != nullptr) {
        return names[value - first];
    }
    return "unknown (" + std::to_string(value) + ")";
}

std::string Seconds(double seconds)
{
    if (seconds >= INFINITE_SECONDS) {
        return "infinite";
    }
    return lumo::format("{} s", seconds);
}

bool Accepts(const std::vector<int16_t>& accepted, int16_t id)
{
    return std::find(accepted.begin(), accepted.end(), id) != accepted.end();
}

bool RepresentationsMatch(const std::vector<int16_t>& offered, const std::vector<int16_t>& accepted)
{
    const int16_t used = offered.empty() ? XCDR1_REPRESENTATION : offered.front();
    if (used == XCDR1_REPRESENTATION) {
        return accepted.empty() || Accepts(accepted, XCDR1_REPRESENTATION);
    }
    return used == XCDR2_REPRESENTATION && Accepts(accepted, XCDR2_REPRESENTATION);
}

// DDS partition names may hold wildcards on either side.
bool PartitionNamesMatch(const std::string& a, const std::string& b)
{
    return fnmatch(a.c_str(), b.c_str(), FNM_NOESCAPE) == 0 || fnmatch(b.c_str(), a.c_str(), FNM_NOESCAPE) == 0;
}

bool PartitionsMatch(const std::vector<std::string>& offered, const std::vector<std::string>& requested)
{
    // An empty list is the default partition, the one named "".
    static const std::vector<std::string> defaultPartition{""};
    const auto& w = offered.empty() ? defaultPartition : offered;
    const auto& r = requested.empty() ? defaultPartition : requested;
    return std::any_of(w.begin(), w.end(), [&r](const std::string& wn) {
        return std::any_of(r.begin(), r.end(), [&wn](const std::string& rn) { return PartitionNamesMatch(wn, rn); });
    });
}

std::string Offered(const std::string& policy, const std::string& offered, const std::string& requested)
{
    return policy + " offered " + offered + ", requested " + requested;
}

bool MaskMatches(uint32_t a, uint32_t b)
{
    return (a & EndpointSecurity::VALID) == 0 || (b & EndpointSecurity::VALID) == 0 || a == b;
}

// The governance topic rule's settings that give these attributes.
std::vector<std::pair<const char*, std::string>> GovernanceSettings(const EndpointSecurity& security)
{
    using S = EndpointSecurity;
    const auto on = [&security](uint32_t bit) { return (security.endpoint & bit) != 0; };
    const auto plugin = [&security](uint32_t bit) { return (security.plugin & bit) != 0; };
    const auto flag = [](bool value) { return std::string(value ? "true" : "false"); };
    std::string metadata = "NONE";
    if (on(S::SUBMESSAGE_PROTECTED)) {
        metadata = plugin(S::SUBMESSAGE_ENCRYPTED) ? "ENCRYPT" : "SIGN";
        if (plugin(S::SUBMESSAGE_ORIGIN_AUTHENTICATED)) {
            metadata += "_WITH_ORIGIN_AUTHENTICATION";
        }
    }
    const std::string data = on(S::PAYLOAD_PROTECTED) ? (plugin(S::PAYLOAD_ENCRYPTED) ? "ENCRYPT" : "SIGN")
                                                      : std::string("NONE");
    return {{"enable_discovery_protection", flag(on(S::DISCOVERY_PROTECTED))},
            {"enable_liveliness_protection", flag(on(S::LIVELINESS_PROTECTED))},
            {"enable_read_access_control", flag(on(S::READ_PROTECTED))},
            {"enable_write_access_control", flag(on(S::WRITE_PROTECTED))},
            {"metadata_protection_kind", metadata},
            {"data_protection_kind", data}};
}

std::string MaskText(const EndpointSecurity& security)
{
    return lumo::format("0x{:08x}/0x{:08x}", security.endpoint, security.plugin);
}

} // namespace

std::string ReliabilityName(uint32_t v)
{
    return KindName(v, {"BEST_EFFORT", "RELIABLE", nullptr, nullptr}, 1);
}
std::string DurabilityName(uint32_t v)
{
    return KindName(v, {"VOLATILE", "TRANSIENT_LOCAL", "TRANSIENT", "PERSISTENT"}, 0);
}
std::string LivelinessName(uint32_t v)
{
    return KindName(v, {"AUTOMATIC", "MANUAL_BY_PARTICIPANT", "MANUAL_BY_TOPIC", nullptr}, 0);
}
std::string OwnershipName(uint32_t v)
{
    return KindName(v, {"SHARED", "EXCLUSIVE", nullptr, nullptr}, 0);
}

std::string RepresentationName(int16_t id)
{
    switch (id) {
    case XCDR1_REPRESENTATION:
        return "XCDR1";
    case XML_REPRESENTATION:
        return "XML";
    case XCDR2_REPRESENTATION:
        return "XCDR2";
    default:
        return "unknown (" + std::to_string(id) + ")";
    }
}

std::string RequestedRepresentations(const std::vector<int16_t>& accepted)
{
    if (accepted.empty()) {
        return "XCDR1";
    }
    std::string text;
    for (const auto id : accepted) {
        text += (text.empty() ? "" : " or ") + RepresentationName(id);
    }
    return text;
}

std::string PartitionList(const std::vector<std::string>& names)
{
    if (names.empty()) {
        return "the default partition";
    }
    std::string text;
    const size_t shown = std::min(names.size(), MAX_LISTED_PARTITIONS);
    for (size_t i = 0; i < shown; ++i) {
        text += (i == 0 ? "\"" : ", \"") + Printable(names[i], 64) + "\"";
    }
    if (names.size() > shown) {
        text += " and " + std::to_string(names.size() - shown) + " more";
    }
    return text;
}

std::string OfferedRepresentation(const std::vector<int16_t>& offered)
{
    return RepresentationName(offered.empty() ? XCDR1_REPRESENTATION : offered.front());
}

std::vector<std::string> MatchDifferences(const EndpointQos& writer, const EndpointQos& reader, bool& qosIncompatible)
{
    // Differences that end pairing before any QoS is compared.
    std::vector<std::string> differences;
    if (writer.typeName != reader.typeName) {
        differences.push_back(
            Offered("type name", "\"" + Printable(writer.typeName) + "\"", "\"" + Printable(reader.typeName) + "\""));
    }
    if (writer.keyed != reader.keyed) {
        differences.push_back(
            Offered("topic kind", writer.keyed ? "keyed" : "keyless", reader.keyed ? "keyed" : "keyless"));
    }

    std::vector<std::string> qos;
    // Differences that leave no status event here.
    std::vector<std::string> silent;
    if (writer.reliability == static_cast<uint32_t>(ReliabilityKind::BEST_EFFORT) &&
        reader.reliability == static_cast<uint32_t>(ReliabilityKind::RELIABLE)) {
        qos.push_back(Offered("reliability", ReliabilityName(writer.reliability), ReliabilityName(reader.reliability)));
    }
    if (writer.durability < reader.durability) {
        qos.push_back(Offered("durability", DurabilityName(writer.durability), DurabilityName(reader.durability)));
    }
    if (writer.livelinessKind < reader.livelinessKind || writer.livelinessLeaseSec > reader.livelinessLeaseSec) {
        qos.push_back(
            Offered("liveliness",
                    LivelinessName(writer.livelinessKind) + " with lease " + Seconds(writer.livelinessLeaseSec),
                    LivelinessName(reader.livelinessKind) + " with lease " + Seconds(reader.livelinessLeaseSec) +
                        " or less"));
    }
    if (writer.deadlineSec > reader.deadlineSec) {
        qos.push_back(Offered("deadline", Seconds(writer.deadlineSec), Seconds(reader.deadlineSec) + " or less"));
    }
    if (writer.ownership != reader.ownership) {
        qos.push_back(Offered("ownership", OwnershipName(writer.ownership), OwnershipName(reader.ownership)));
    }
    if (!writer.disablePositiveAcks && reader.disablePositiveAcks) {
        qos.push_back(Offered("positive acknowledgements", "expected", "disabled"));
    }
    if (!RepresentationsMatch(writer.representations, reader.representations)) {
        const int16_t used = writer.representations.empty() ? XCDR1_REPRESENTATION : writer.representations.front();
        (reader.representationChecked ? qos : silent)
            .push_back(Offered("data representation", RepresentationName(used),
                               RequestedRepresentations(reader.representations)));
    }
    qosIncompatible = differences.empty() && !qos.empty();
    // Pairing stops at the first failing stage, but all of them are worth
    // knowing: the partitions are compared only where nothing else differs.
    if (differences.empty() && qos.empty() && silent.empty() &&
        !PartitionsMatch(writer.partitions, reader.partitions)) {
        silent.push_back(Offered("partition", PartitionList(writer.partitions), PartitionList(reader.partitions)));
    }
    // DDS Security compares its attributes once everything else matches.
    const auto security = SecurityDifferences(writer.security, reader.security);
    silent.insert(silent.end(), security.begin(), security.end());
    differences.insert(differences.end(), qos.begin(), qos.end());
    differences.insert(differences.end(), silent.begin(), silent.end());
    return differences;
}

bool SecurityMatches(const EndpointSecurity& writer, const EndpointSecurity& reader)
{
    return MaskMatches(writer.endpoint, reader.endpoint) && MaskMatches(writer.plugin, reader.plugin);
}

std::vector<std::string> SecurityDifferences(const EndpointSecurity& writer, const EndpointSecurity& reader)
{
    std::vector<std::string> differences;
    if (SecurityMatches(writer, reader)) {
        return differences;
    }
    const auto offered = GovernanceSettings(writer);
    const auto requested = GovernanceSettings(reader);
    for (size_t i = 0; i < offered.size(); ++i) {
        if (offered[i].second != requested[i].second) {
            differences.push_back(
                Offered(std::string("DDS Security ") + offered[i].first, offered[i].second, requested[i].second));
        }
    }
    if (differences.empty()) { // bits no governance setting gives
        differences.push_back(Offered("DDS Security endpoint attributes", MaskText(writer), MaskText(reader)));
    }
    return differences;
}

std::string RefusedPairing(const EndpointSecurity& writer, const EndpointSecurity& reader)
{
    std::string text = "DDS Security refused the pairing";
    if ((writer.endpoint & EndpointSecurity::VALID) != 0) {
        // Both ends' are known and alike: the plugins' own ERROR lines name
        // the cause (a permission, a key).
        return text + " (both ends protect the topic alike; Fast DDS's security lines above say why)";
    }
    if ((reader.endpoint & EndpointSecurity::VALID) == 0) {
        return text;
    }
    text += " (this Fast DDS does not show the writer's protection; this reader's: ";
    const auto settings = GovernanceSettings(reader);
    for (size_t i = 0; i < settings.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::string(settings[i].first) + " " + settings[i].second;
    }
    return text + ")";
}

std::string Printable(std::string_view text, size_t maxLength)
{
    static constexpr char HEX[] = "0123456789abcdef";
    std::string out;
    size_t shown = 0;
    for (const char c : text) {
        if (shown == maxLength) {
            return out + "...";
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
            out += "\\x";
            out += HEX[byte >> 4];
            out += HEX[byte & 0xf];
        } else {
            out += c;
        }
        ++shown;
    }
    return out;
}

std::string MismatchExplanation(const DiscoveredWriter& writer, const std::vector<std::string>& differences,
                                const std::string& readingProfile)
{
    std::string text = "writer " + Printable(writer.guid) + " of participant ";
    text += writer.participantName.empty() ? std::string("(unnamed)") : "\"" + Printable(writer.participantName) + "\"";
    text += " (GUID prefix " + Printable(writer.participantPrefix) + ", host " +
            (writer.hostAddress.empty() ? std::string("unknown") : Printable(writer.hostAddress)) +
            ") does not match: ";
    for (size_t i = 0; i < differences.size(); ++i) {
        text += (i == 0 ? "" : "; ") + differences[i];
    }
    text += readingProfile.empty() ? ". No shipped profile reads it." : ". " + readingProfile + " would read it.";
    return text;
}

} // namespace lumo::ddsDiagnosis
