// What discovery reports about remote participants and writers, what a local
// reader requests, and how a participant looks for its peers, in records that
// read the same whatever the Fast DDS version (its own code fills them in, in
// the facade). Policy values are the raw numbers seen on the wire, with DDS's
// numbering, so that a value no rule knows can be shown rather than trusted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumo::componentFramework {

// A duration in seconds; INFINITE_SECONDS (or more) is DDS's infinite one.
inline constexpr double INFINITE_SECONDS = 2147483647.0;

// The DDS enumerations with DDS's numbering.
enum class ReliabilityKind : uint32_t
{
    BEST_EFFORT = 1,
    RELIABLE = 2
};
enum class DurabilityKind : uint32_t
{
    VOLATILE = 0,
    TRANSIENT_LOCAL = 1,
    TRANSIENT = 2,
    PERSISTENT = 3
};
enum class LivelinessKind : uint32_t
{
    AUTOMATIC = 0,
    MANUAL_BY_PARTICIPANT = 1,
    MANUAL_BY_TOPIC = 2
};
enum class OwnershipKind : uint32_t
{
    SHARED = 0,
    EXCLUSIVE = 1
};
// Data representation identifiers.
inline constexpr int16_t XCDR1_REPRESENTATION = 0;
inline constexpr int16_t XML_REPRESENTATION = 1;
inline constexpr int16_t XCDR2_REPRESENTATION = 2;

// DDS Security's attributes of an endpoint as discovery announces them
// (OMG DDS Security's EndpointSecurityInfo): the endpoint's mask and its
// cryptographic plugin's, each valid only with its top bit set. Zero: none
// announced, or not known here (Fast DDS 3 keeps a remote writer's out of its
// public discovery data). Pairing compares two masks only when both are valid.
struct EndpointSecurity
{
    static constexpr uint32_t VALID = 1U << 31;
    // In `endpoint`.
    static constexpr uint32_t READ_PROTECTED = 1U << 0;
    static constexpr uint32_t WRITE_PROTECTED = 1U << 1;
    static constexpr uint32_t DISCOVERY_PROTECTED = 1U << 2;
    static constexpr uint32_t SUBMESSAGE_PROTECTED = 1U << 3;
    static constexpr uint32_t PAYLOAD_PROTECTED = 1U << 4;
    static constexpr uint32_t KEY_PROTECTED = 1U << 5;
    static constexpr uint32_t LIVELINESS_PROTECTED = 1U << 6;
    // In `plugin`.
    static constexpr uint32_t SUBMESSAGE_ENCRYPTED = 1U << 0;
    static constexpr uint32_t PAYLOAD_ENCRYPTED = 1U << 1;
    static constexpr uint32_t SUBMESSAGE_ORIGIN_AUTHENTICATED = 1U << 2;

    uint32_t endpoint = 0;
    uint32_t plugin = 0;
};

// What pairing looks at on either end of a writer and a reader.
struct EndpointQos
{
    uint32_t reliability = static_cast<uint32_t>(ReliabilityKind::RELIABLE);
    uint32_t durability = static_cast<uint32_t>(DurabilityKind::VOLATILE);
    uint32_t livelinessKind = static_cast<uint32_t>(LivelinessKind::AUTOMATIC);
    double livelinessLeaseSec = INFINITE_SECONDS;
    double deadlineSec = INFINITE_SECONDS;
    uint32_t ownership = static_cast<uint32_t>(OwnershipKind::SHARED);
    bool disablePositiveAcks = false;
    bool keyed = false;
    // A writer offers the first entry (XCDR1 when empty); a reader accepts
    // every entry (XCDR1 only when empty).
    std::vector<int16_t> representations;
    // Whether this end's own pairing reports a representation mismatch as an
    // incompatible QoS. Fast DDS 2.x readers do not (they pair such a writer,
    // which then refuses them: the mismatch leaves no status event here).
    bool representationChecked = true;
    // Empty: the default partition.
    std::vector<std::string> partitions;
    std::string typeName;
    EndpointSecurity security;
};

struct DiscoveredParticipant
{
    std::string guidPrefix; // "01.0f.2a..."
    std::string name;       // empty when it sent none
    // The unicast IPv4 addresses it announced (UDP or TCP, for discovery or
    // for data), without repeats; empty when it offered none (shared memory
    // alone, or IPv6 only). Its initialiser lets a record be written as
    // {prefix, name}.
    std::vector<std::string> addresses{};
    std::string vendorId{}; // "01.0f"
    // As ParticipantAnnouncement's host: an IPv4 address it announced, or
    // "this host (shared memory)"; empty when neither.
    std::string host{};
};

struct DiscoveredWriter
{
    std::string guid;              // "01.0f...|0.0.1.3"
    std::string participantPrefix; // its participant's GUID prefix
    std::string participantName;   // empty when not known
    std::string hostAddress;       // from its locators; empty when none
    std::string topicName;
    EndpointQos qos;
};

// A remote reader, in the writer's terms: its QoS is what it requests.
struct DiscoveredReader
{
    std::string guid;
    std::string participantPrefix;
    std::string participantName; // empty when not known
    std::string hostAddress;     // from its locators; empty when none
    std::string topicName;
    EndpointQos qos;
};

// Told of discovery on Fast DDS's threads, from the participant's creation
// until its deletion; it must not block.
class DiscoveryObserver
{
public:
    virtual ~DiscoveryObserver() = default;
    // A participant Fast DDS did not know; Changed: a known one's new QoS.
    virtual void ParticipantDiscovered(const DiscoveredParticipant& participant) = 0;
    virtual void ParticipantChanged(const DiscoveredParticipant& participant) = 0;
    // Gone, by its own word or by its lease.
    virtual void ParticipantRemoved(const std::string& guidPrefix) = 0;
    // A new writer, or a known one's new QoS.
    virtual void WriterDiscovered(const DiscoveredWriter& writer) = 0;
    virtual void WriterRemoved(const std::string& guid) = 0;
    // A new reader, or a known one's new QoS; most observers need none.
    virtual void ReaderDiscovered(const DiscoveredReader& /*reader*/) {}
    virtual void ReaderRemoved(const std::string& /*guid*/) {}
};

// A remote participant's announcement, as its discovery data gives it.
struct ParticipantAnnouncement
{
    std::string guidPrefix; // dotted hex, as in DiscoveredParticipant
    // An IPv4 address it announced, or "this host (shared memory)" when it
    // offers shared memory alone; empty when neither.
    std::string host;
    std::string vendorId; // "01.0f"
    std::string name;     // empty when it sent none
    // The authentication it asks of its peers ("DDS:Auth:PKI-DH:1.0"); empty
    // when it asks none, or when this Fast DDS does not tell (3.x).
    std::string identityClass;
};

// Told of remote participants on Fast DDS's threads, from the participant's
// creation until its deletion; it must not block.
class ParticipantObserver
{
public:
    virtual ~ParticipantObserver() = default;
    // Once, right before the participant is created: whether it
    // authenticates its peers (its QoS names an authentication plugin).
    virtual void Joining(bool authenticatesPeers) = 0;
    // Its announcement, first heard or changed; with Fast DDS 2.x before its
    // authentication too, with 3.x only once it is authorized.
    virtual void Announced(const ParticipantAnnouncement& participant) = 0;
    // Fast DDS's on_participant_authentication: its handshake ended, on the
    // thread that ran it. Only on a participant that authenticates its peers.
    virtual void Authenticated(const std::string& guidPrefix, bool authorized) = 0;
    // Gone, by its own word or by its lease.
    virtual void Removed(const std::string& guidPrefix) = 0;
};

// How a participant finds its peers, as Fast DDS will: the QoS's discovery
// settings. Addresses read "a.b.c.d" or "a.b.c.d:port" (no port: the
// domain's well-known one).
struct DiscoverySettings
{
    enum class Mode
    {
        SIMPLE, // multicast announcements, or the initial peers
        CLIENT, // client (or super client) of discovery servers
        SERVER, // a discovery server (or its backup)
        NONE    // no built-in discovery
    };
    Mode mode = Mode::SIMPLE;
    std::vector<std::string> initialPeers;
    std::vector<std::string> multicast; // the QoS's own announcement groups
    uint32_t domainMulticastPort = 0;   // the domain's default group's port
    std::vector<std::string> servers;   // CLIENT: the servers it asks
    std::vector<std::string> listening; // SERVER: where it serves
};

} // namespace lumo::componentFramework
