#include "domainListing.h"

#include <algorithm>
#include <map>

#include <nlohmann/json.hpp>

#include "anyTopic/readerChoice.h"
#include "lumo/Format.h"
#include "lumo/ddsDiagnosis/WriterMatch.h"

namespace quillInventory {

namespace diagnosis = lumo::ddsDiagnosis;
using lumo::componentFramework::DiscoveredParticipant;
using lumo::ddsDiagnosis::Printable;

namespace {

using Json = nlohmann::ordered_json;

// Vendor ids of the RTPS vendor table likeliest to be met.
std::string VendorName(const std::string& vendorId)
{
    static const std::map<std::string, std::string> NAMES{{"01.01", "RTI Connext DDS"},
                                                          {"01.03", "OpenDDS"},
                                                          {"01.0f", "eProsima Fast DDS"},
                                                          {"01.10", "Eclipse Cyclone DDS"}};
    const auto found = NAMES.find(vendorId);
    return found == NAMES.end() ? std::string() : found->second;
}

std::string Quoted(const std::string& text)
{
    return "\"" + Printable(text) + "\"";
}

std::string OrUnknown(const std::string& text)
{
    return text.empty() ? std::string("unknown") : Printable(text);
}

std::string ParticipantText(const std::string& name)
{
    return name.empty() ? std::string("(unnamed)") : Quoted(name);
}

std::string Joined(const std::vector<std::string>& parts, const std::string& separator)
{
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) {
        text += (i == 0 ? "" : separator) + parts[i];
    }
    return text;
}

// What the table says of an endpoint's QoS; `offered` for a writer.
std::string QosText(const EndpointQos& qos, bool offered)
{
    return diagnosis::ReliabilityName(qos.reliability) + ", " + diagnosis::DurabilityName(qos.durability) + ", " +
           diagnosis::OwnershipName(qos.ownership) + ", " + diagnosis::PartitionList(qos.partitions) + ", " +
           (offered ? diagnosis::OfferedRepresentation(qos.representations)
                    : diagnosis::RequestedRepresentations(qos.representations));
}

template <typename Endpoint>
std::string EndpointText(const char* kind, const Endpoint& endpoint)
{
    return lumo::format("  {} {} of participant {} (host {}): ", kind, Printable(endpoint.guid),
                        ParticipantText(endpoint.participantName), OrUnknown(endpoint.hostAddress));
}

std::string VerdictText(const WriterVerdict& verdict)
{
    if (verdict.readability == Readability::READABLE) {
        return "readable";
    }
    return "does not match: " + Joined(verdict.differences, "; ") +
           (verdict.readability == Readability::WITH_ANY_TYPE ? " (readable with --any-type)" : "");
}

const char* ReadabilityName(Readability readability)
{
    switch (readability) {
    case Readability::READABLE:
        return "readable";
    case Readability::WITH_ANY_TYPE:
        return "readable_with_any_type";
    default:
        return "not_readable";
    }
}

Json TextOrNull(const std::string& text)
{
    return text.empty() ? Json(nullptr) : Json(text);
}

Json Names(const std::vector<std::string>& names)
{
    Json array = Json::array();
    for (const auto& name : names) {
        array.push_back(name);
    }
    return array;
}

template <typename Endpoint>
Json EndpointRecord(const Endpoint& endpoint, bool offered)
{
    const auto& qos = endpoint.qos;
    Json representations = Json::array();
    if (offered) {
        representations.push_back(diagnosis::OfferedRepresentation(qos.representations));
    } else if (qos.representations.empty()) {
        representations.push_back(diagnosis::RepresentationName(lumo::componentFramework::XCDR1_REPRESENTATION));
    } else {
        for (const auto id : qos.representations) {
            representations.push_back(diagnosis::RepresentationName(id));
        }
    }
    return Json{{"guid", endpoint.guid},
                {"participant", endpoint.participantPrefix},
                {"participant_name", TextOrNull(endpoint.participantName)},
                {"host", TextOrNull(endpoint.hostAddress)},
                {"type_name", qos.typeName},
                {"keyed", qos.keyed},
                {"reliability", diagnosis::ReliabilityName(qos.reliability)},
                {"durability", diagnosis::DurabilityName(qos.durability)},
                {"ownership", diagnosis::OwnershipName(qos.ownership)},
                {"partitions", Names(qos.partitions)},
                {"representations", representations}};
}

std::string Line(const Json& record)
{
    return record.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json Head(const char* kind, const quillReport::RecordTime& time)
{
    return Json{{"schema", quillReport::SCHEMA_VERSION},
                {"record", kind},
                {"time", quillReport::IsoTime(time.wall)},
                {"t", time.sinceStart}};
}

void AddTypeName(TopicListing& topic, const EndpointQos& qos)
{
    if (std::find(topic.typeNames.begin(), topic.typeNames.end(), qos.typeName) == topic.typeNames.end()) {
        topic.typeNames.push_back(qos.typeName);
    }
    (qos.keyed ? topic.keyed : topic.keyless) = true;
}

} // namespace

WriterVerdict JudgeWriter(const EndpointQos& writer, const EndpointQos& reader,
                          const std::optional<EndpointQos>& anyTypeReader)
{
    WriterVerdict verdict;
    bool qosIncompatible = false;
    verdict.differences = diagnosis::MatchDifferences(writer, reader, qosIncompatible);
    if (verdict.differences.empty()) {
        verdict.readability = Readability::READABLE;
    } else if (anyTypeReader && diagnosis::MatchDifferences(writer, *anyTypeReader, qosIncompatible).empty()) {
        verdict.readability = Readability::WITH_ANY_TYPE;
    }
    return verdict;
}

std::string TopicListing::Verdict() const
{
    if (writers.empty()) {
        return "no writer";
    }
    const auto count = [this](Readability readability) {
        return static_cast<size_t>(std::count_if(verdicts.begin(), verdicts.end(), [readability](const auto& v) {
            return v.readability == readability;
        }));
    };
    const size_t readable = count(Readability::READABLE);
    const size_t anyType = count(Readability::WITH_ANY_TYPE);
    if (readable == writers.size()) {
        return "readable";
    }
    if (readable > 0) {
        return lumo::format("readable from {} of {} writers", readable, writers.size());
    }
    if (anyType == writers.size()) {
        return "readable with --any-type";
    }
    if (anyType > 0) {
        return lumo::format("readable with --any-type from {} of {} writers", anyType, writers.size());
    }
    return "not readable";
}

DomainListing ListTopics(const InventorySnapshot& inventory, const LocalReaderOf& readerOf)
{
    std::map<std::string, TopicListing> topics;
    for (const auto& writer : inventory.writers) {
        auto& topic = topics[writer.topicName];
        topic.name = writer.topicName;
        AddTypeName(topic, writer.qos);
        topic.writers.push_back(writer);
    }
    for (const auto& reader : inventory.readers) {
        auto& topic = topics[reader.topicName];
        topic.name = reader.topicName;
        topic.readers.push_back(reader);
    }
    DomainListing listing;
    for (auto& [name, topic] : topics) {
        const LocalReader local = readerOf(name);
        if (!local.allowed) {
            ++listing.withheld;
            continue;
        }
        // Readers' types after the writers': the writers' are what is read.
        for (const auto& reader : topic.readers) {
            AddTypeName(topic, reader.qos);
        }
        // The one reader --any-type would make, as its adoption chooses it.
        const auto anyType = anyTopic::AnyTypeReader(local.qos, topic.writers);
        for (const auto& writer : topic.writers) {
            topic.verdicts.push_back(JudgeWriter(writer.qos, local.qos, anyType));
        }
        listing.topics.push_back(std::move(topic));
    }
    return listing;
}

std::vector<std::string> ListingLines(const InventorySnapshot& inventory, const DomainListing& listing,
                                      uint32_t domainId)
{
    const auto& topics = listing.topics;
    std::vector<std::string> lines;
    lines.push_back(lumo::format("Domain {}: {} participant(s), {} topic(s)", domainId, inventory.participants.size(),
                                 topics.size()));
    if (listing.withheld > 0) {
        lines.push_back(lumo::format("{} more topic(s) left out: the DDS Security permissions do not allow "
                                     "subscribing to them",
                                     listing.withheld));
    }
    for (const DiscoveredParticipant& participant : inventory.participants) {
        const std::string vendor = VendorName(participant.vendorId);
        lines.push_back(lumo::format("Participant {} (GUID prefix {}, vendor {}{}, host {})",
                                     ParticipantText(participant.name), Printable(participant.guidPrefix),
                                     OrUnknown(participant.vendorId), vendor.empty() ? "" : " " + vendor,
                                     OrUnknown(participant.host)));
    }
    for (const auto& topic : topics) {
        std::vector<std::string> types;
        for (const auto& name : topic.typeNames) {
            types.push_back(Quoted(name));
        }
        const char* kind = topic.keyed ? (topic.keyless ? "keyed and keyless" : "keyed") : "keyless";
        lines.push_back(lumo::format("Topic {} (type {}, {}): {}", Quoted(topic.name), Joined(types, " or "), kind,
                                     topic.Verdict()));
        for (size_t i = 0; i < topic.writers.size(); ++i) {
            lines.push_back(EndpointText("writer", topic.writers[i]) + QosText(topic.writers[i].qos, true) + ": " +
                            VerdictText(topic.verdicts.at(i)));
        }
        for (const auto& reader : topic.readers) {
            lines.push_back(EndpointText("reader", reader) + QosText(reader.qos, false));
        }
    }
    return lines;
}

std::vector<std::string> ListingRecords(const InventorySnapshot& inventory, const DomainListing& listing,
                                        const quillReport::RecordTime& time)
{
    std::vector<std::string> records;
    for (const DiscoveredParticipant& participant : inventory.participants) {
        Json record = Head("participant", time);
        record["participant"] = participant.guidPrefix;
        record["name"] = TextOrNull(participant.name);
        record["vendor"] = TextOrNull(participant.vendorId);
        record["host"] = TextOrNull(participant.host);
        record["addresses"] = Names(participant.addresses);
        records.push_back(Line(record));
    }
    for (const auto& topic : listing.topics) {
        Json record = Head("topic", time);
        record["topic"] = topic.name;
        record["type_names"] = Names(topic.typeNames);
        Json kinds = Json::array();
        if (topic.keyed) {
            kinds.push_back("keyed");
        }
        if (topic.keyless) {
            kinds.push_back("keyless");
        }
        record["kinds"] = kinds;
        record["verdict"] = topic.Verdict();
        Json writers = Json::array();
        for (size_t i = 0; i < topic.writers.size(); ++i) {
            Json writer = EndpointRecord(topic.writers[i], true);
            writer["readability"] = ReadabilityName(topic.verdicts.at(i).readability);
            writer["differences"] = Names(topic.verdicts.at(i).differences);
            writers.push_back(std::move(writer));
        }
        record["writers"] = std::move(writers);
        Json readers = Json::array();
        for (const auto& reader : topic.readers) {
            readers.push_back(EndpointRecord(reader, false));
        }
        record["readers"] = std::move(readers);
        records.push_back(Line(record));
    }
    return records;
}

} // namespace quillInventory
