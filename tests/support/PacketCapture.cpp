#include "PacketCapture.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>

#include <arpa/inet.h>
#include <unistd.h>

namespace lumo::test {

namespace {

using namespace std::chrono_literals;

constexpr uint32_t PCAP_MAGIC_MICROS = 0xa1b2c3d4;
constexpr uint32_t PCAP_MAGIC_NANOS = 0xa1b23c4d;
constexpr uint32_t LINKTYPE_ETHERNET = 1;
constexpr size_t ETHERNET_HEADER = 14;
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr uint8_t IPPROTO_UDP_NUMBER = 17;

constexpr uint8_t RTPS_ACKNACK = 0x06;
constexpr uint8_t RTPS_HEARTBEAT = 0x07;
constexpr uint8_t RTPS_GAP = 0x08;
constexpr uint8_t RTPS_NACK_FRAG = 0x12;
constexpr uint8_t RTPS_HEARTBEAT_FRAG = 0x13;
constexpr uint8_t RTPS_DATA_FRAG = 0x16;
constexpr uint8_t RTPS_DATA = 0x15;
constexpr uint8_t FLAG_LITTLE_ENDIAN = 0x01;
constexpr uint8_t FLAG_INLINE_QOS = 0x02;
constexpr uint8_t FLAG_DATA = 0x04;
constexpr uint16_t PID_SENTINEL = 0x0001;
constexpr size_t RTPS_HEADER = 20;
// Entity kinds of built-in (discovery) endpoints have these bits set.
constexpr uint8_t BUILTIN_ENTITY = 0xc0;

uint32_t Host32(const uint8_t* p)
{
    uint32_t value = 0;
    std::memcpy(&value, p, sizeof value);
    return value;
}

uint16_t Big16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint16_t Rtps16(const uint8_t* p, bool little)
{
    return little ? static_cast<uint16_t>(p[1] << 8 | p[0]) : Big16(p);
}

uint32_t Rtps32(const uint8_t* p, bool little)
{
    return little ? (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0])
                  : (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]);
}

std::string Address(const uint8_t* p)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, p, text, sizeof text);
    return text;
}

std::vector<UdpDatagram> ReadPcap(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 24) {
        throw std::runtime_error("capture file '" + path + "' is missing or truncated");
    }
    const uint32_t magic = Host32(bytes.data());
    if ((magic != PCAP_MAGIC_MICROS && magic != PCAP_MAGIC_NANOS) || Host32(bytes.data() + 20) != LINKTYPE_ETHERNET) {
        throw std::runtime_error("capture file '" + path + "' is not an Ethernet pcap file of this byte order");
    }
    std::vector<UdpDatagram> datagrams;
    for (size_t at = 24; at + 16 <= bytes.size();) {
        const size_t captured = Host32(bytes.data() + at + 8);
        at += 16;
        if (at + captured > bytes.size()) {
            break;
        }
        UdpDatagram datagram;
        if (ParseEthernetFrame(bytes.data() + at, captured, datagram)) {
            datagrams.push_back(std::move(datagram));
        }
        at += captured;
    }
    return datagrams;
}

} // namespace

bool ParseEthernetFrame(const uint8_t* frame, size_t size, UdpDatagram& out)
{
    if (size < ETHERNET_HEADER + 20 || Big16(frame + 12) != ETHERTYPE_IPV4) {
        return false;
    }
    const uint8_t* ip = frame + ETHERNET_HEADER;
    const size_t ipSize = size - ETHERNET_HEADER;
    const size_t headerSize = size_t{ip[0] & 0x0fu} * 4;
    if (ip[9] != IPPROTO_UDP_NUMBER || headerSize < 20 || ipSize < headerSize + 8) {
        return false;
    }
    const uint8_t* udp = ip + headerSize;
    const size_t udpSize = std::min<size_t>(Big16(udp + 4), ipSize - headerSize);
    out.source = Address(ip + 12);
    out.destination = Address(ip + 16);
    out.sourcePort = Big16(udp);
    out.destinationPort = Big16(udp + 2);
    out.payload.assign(udp + 8, udp + std::max<size_t>(udpSize, 8));
    return true;
}

PacketCapture::PacketCapture(NetworkNamespaces& network, const std::string& host, const std::string& ifname,
                             const std::string& filter)
    : file_("/tmp/" + network.Namespace(host) + "-" + ifname + ".pcap")
{
    std::remove(file_.c_str());
    // -Z root: the file is written where root put it. --immediate-mode and
    // -U: every packet is in the file when tcpdump ends (otherwise the last
    // buffered block is lost on SIGINT). -s: whole frames of these links
    // (MTU 1500), and no more, since the kernel's ring (-B, KiB) holds
    // frames of that size: a slow tcpdump on a busy machine keeps up.
    tcpdump_ = network.Start(host, "tcpdump",
                             {"-Z", "root", "--immediate-mode", "-U", "-n", "-s", "1600", "-B", "16384", "-i", ifname,
                              "-w", file_, filter});
    if (!tcpdump_->WaitForText("listening on", 10s)) {
        throw std::runtime_error("tcpdump did not start: " + tcpdump_->Output());
    }
}

PacketCapture::~PacketCapture()
{
    tcpdump_.reset();
    std::remove(file_.c_str());
}

std::vector<UdpDatagram> PacketCapture::Stop()
{
    tcpdump_->Signal(SIGINT);
    if (tcpdump_->Wait(10s) != 0) {
        throw std::runtime_error("tcpdump failed: " + tcpdump_->Output());
    }
    static const std::regex droppedByKernel(R"((\d+) packets? dropped by kernel)");
    std::smatch m;
    const std::string output = tcpdump_->Output();
    if (std::regex_search(output, m, droppedByKernel) && m[1] != "0") {
        throw std::runtime_error("tcpdump missed packets: " + output);
    }
    return ReadPcap(file_);
}

std::vector<uint32_t> UserSampleIds(const UdpDatagram& datagram)
{
    const auto& p = datagram.payload;
    std::vector<uint32_t> ids;
    if (p.size() < RTPS_HEADER || std::memcmp(p.data(), "RTPS", 4) != 0) {
        return ids;
    }
    for (size_t at = RTPS_HEADER; at + 4 <= p.size();) {
        const uint8_t kind = p[at];
        const uint8_t flags = p[at + 1];
        const bool little = (flags & FLAG_LITTLE_ENDIAN) != 0;
        const size_t length = Rtps16(&p[at + 2], little);
        const size_t body = at + 4;
        // A length of 0 on the last submessage means "to the end".
        const size_t end = length == 0 ? p.size() : body + length;
        if (end > p.size()) {
            break;
        }
        // DATA: extraFlags(2) octetsToInlineQos(2) readerId(4) writerId(4) writerSN(8)
        if (kind == RTPS_DATA && end >= body + 20 && (p[body + 11] & BUILTIN_ENTITY) == 0 && (flags & FLAG_DATA)) {
            size_t payload = body + 4 + Rtps16(&p[body + 2], little);
            if (flags & FLAG_INLINE_QOS) {
                while (payload + 4 <= end) {
                    const uint16_t pid = Rtps16(&p[payload], little);
                    payload += 4 + Rtps16(&p[payload + 2], little);
                    if (pid == PID_SENTINEL) {
                        break;
                    }
                }
            }
            // Encapsulation (2 bytes kind, 2 options), then the sample id;
            // odd kinds are little-endian.
            if (payload + 8 <= end) {
                ids.push_back(Rtps32(&p[payload + 4], (p[payload + 1] & 1) != 0));
            }
        }
        at = end;
    }
    return ids;
}

bool CarriesDiscovery(const UdpDatagram& datagram)
{
    const auto& p = datagram.payload;
    if (p.size() < RTPS_HEADER || std::memcmp(p.data(), "RTPS", 4) != 0) {
        return false;
    }
    for (size_t at = RTPS_HEADER; at + 4 <= p.size();) {
        const uint8_t kind = p[at];
        const bool little = (p[at + 1] & FLAG_LITTLE_ENDIAN) != 0;
        const size_t length = Rtps16(&p[at + 2], little);
        const size_t body = at + 4;
        const size_t end = length == 0 ? p.size() : body + length;
        if (end > p.size()) {
            break;
        }
        // Where the writer's entity id lies; its last octet is the kind.
        size_t writerId = 0;
        if (kind == RTPS_DATA || kind == RTPS_DATA_FRAG) {
            writerId = body + 8; // extraFlags(2) octetsToInlineQos(2) readerId(4)
        } else if (kind == RTPS_ACKNACK || kind == RTPS_HEARTBEAT || kind == RTPS_GAP || kind == RTPS_NACK_FRAG ||
                   kind == RTPS_HEARTBEAT_FRAG) {
            writerId = body + 4; // readerId(4)
        }
        if (writerId != 0 && writerId + 4 <= end && (p[writerId + 3] & BUILTIN_ENTITY) == BUILTIN_ENTITY) {
            return true;
        }
        at = end;
    }
    return false;
}

size_t CountInvolving(const std::vector<UdpDatagram>& datagrams, const std::string& address)
{
    return static_cast<size_t>(std::count_if(datagrams.begin(), datagrams.end(), [&](const UdpDatagram& d) {
        return d.source == address || d.destination == address;
    }));
}

} // namespace lumo::test
