// --list: what discovery found on the domain, as a table for people and as
// report records, made from an inventory snapshot alone (no DDS here). Each
// writer is judged against the reader this monitor would make on its topic,
// in the words of the "does not match" lines, and against the one
// --any-type would make.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "lumo/componentFramework/DiscoveryRecords.h"
#include "lumo/ddsDiagnosis/TopicInventory.h"
#include "report/reportRecords.h"

namespace quillInventory {

using lumo::componentFramework::DiscoveredReader;
using lumo::componentFramework::DiscoveredWriter;
using lumo::componentFramework::EndpointQos;
using lumo::ddsDiagnosis::InventorySnapshot;

// The reader this monitor would make on a topic.
struct LocalReader
{
    EndpointQos qos;
    // False when its DDS Security permissions deny it the topic: the topic is
    // then left out of the listing, named nowhere.
    bool allowed = true;
};
using LocalReaderOf = std::function<LocalReader(const std::string& topic)>;

enum class Readability
{
    READABLE,      // read as the monitor runs now
    WITH_ANY_TYPE, // read with --any-type only
    NOT_READABLE
};

struct WriterVerdict
{
    Readability readability = Readability::NOT_READABLE;
    // What keeps the monitor's reader from the writer, one phrase each as
    // the "does not match" lines give them; empty when it is readable.
    std::vector<std::string> differences;
};

// A writer against the monitor's reader, and against the one --any-type
// would make on its topic (none: no writer).
WriterVerdict JudgeWriter(const EndpointQos& writer, const EndpointQos& reader,
                          const std::optional<EndpointQos>& anyTypeReader);

struct TopicListing
{
    std::string name;
    std::vector<std::string> typeNames; // distinct, writers' first
    bool keyed = false;                 // some endpoint is keyed
    bool keyless = false;               // some endpoint is not
    std::vector<DiscoveredWriter> writers;
    std::vector<WriterVerdict> verdicts; // one per writer
    std::vector<DiscoveredReader> readers;

    // For the topic as a whole: "readable", "readable with --any-type",
    // "readable from 1 of 2 writers", "not readable" or "no writer".
    std::string Verdict() const;
};

struct DomainListing
{
    std::vector<TopicListing> topics; // sorted by name
    size_t withheld = 0;              // topics left out: not allowed
};

// The topics of the snapshot's writers and readers.
DomainListing ListTopics(const InventorySnapshot& inventory, const LocalReaderOf& readerOf);

// The table, a line each.
std::vector<std::string> ListingLines(const InventorySnapshot& inventory, const DomainListing& listing,
                                      uint32_t domainId);

// The report's records: a "participant" record each, then a "topic" record
// each.
std::vector<std::string> ListingRecords(const InventorySnapshot& inventory, const DomainListing& listing,
                                        const quillReport::RecordTime& time);

} // namespace quillInventory
