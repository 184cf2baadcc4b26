// What crosses this host's loopback interface for one DDS domain, seen from
// the test process itself through a packet socket: the UDP datagrams sent to
// the domain's ports while the capture lives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PacketCapture.h"

namespace lumo::test {

class LoopbackCapture
{
public:
    // Empty when this process may open a packet socket (root, or
    // CAP_NET_RAW), otherwise why not.
    static std::string Unavailable();

    // Starts capturing the datagrams sent to the ports of `domainId`.
    explicit LoopbackCapture(uint32_t domainId);
    ~LoopbackCapture();

    LoopbackCapture(const LoopbackCapture&) = delete;
    LoopbackCapture& operator=(const LoopbackCapture&) = delete;

    // Ends the capture and returns its datagrams, each once, in order of
    // arrival. Throws when the kernel dropped any.
    std::vector<UdpDatagram> Stop();

private:
    int socket_ = -1;
};

// How many times `needle` occurs in the payloads of `datagrams`.
size_t CountOccurrences(const std::vector<UdpDatagram>& datagrams, const std::vector<uint8_t>& needle);

} // namespace lumo::test
