// What crossed an interface of a test host, seen with tcpdump: the UDP
// datagrams and, inside them, the sample ids of the RTPS DATA that user
// writers sent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "NetworkNamespaces.h"
#include "ProcessRunner.h"

namespace lumo::test {

struct UdpDatagram
{
    std::string source;      // IPv4 address
    std::string destination; // IPv4 address
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    std::vector<uint8_t> payload;
};

// One Ethernet frame as a datagram; false when it is no IPv4 UDP datagram.
bool ParseEthernetFrame(const uint8_t* frame, size_t size, UdpDatagram& out);

class PacketCapture
{
public:
    // Starts tcpdump on the host's interface with the pcap `filter` and
    // returns once it listens.
    PacketCapture(NetworkNamespaces& network, const std::string& host, const std::string& ifname,
                  const std::string& filter);
    ~PacketCapture();

    PacketCapture(const PacketCapture&) = delete;
    PacketCapture& operator=(const PacketCapture&) = delete;

    // Ends the capture and returns every IPv4 UDP datagram it holds, in
    // order of arrival. Throws when tcpdump reports packets it dropped.
    std::vector<UdpDatagram> Stop();

private:
    std::string file_;
    std::unique_ptr<ProcessRunner> tcpdump_;
};

// The sample ids (the first member of AgnosticTopic) of the DATA
// submessages of user writers in one RTPS message; none for anything else.
std::vector<uint32_t> UserSampleIds(const UdpDatagram& datagram);

// Whether the RTPS message carries discovery: a submessage of a built-in
// writer (participant, endpoint and liveliness announcements, their
// heartbeats and the acknowledgements they get).
bool CarriesDiscovery(const UdpDatagram& datagram);

// Datagrams from or to `address`.
size_t CountInvolving(const std::vector<UdpDatagram>& datagrams, const std::string& address);

} // namespace lumo::test
