#include "LoopbackCapture.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lumo::test {

namespace {

// Fast DDS's port numbers: 7400 + 250 * domain, then up to 250 ports of the
// domain (discovery, then user traffic, per participant).
constexpr uint32_t PORT_BASE = 7400;
constexpr uint32_t DOMAIN_PORTS = 250;
// The datagrams the kernel may queue before Stop reads them: a few
// thousand of the tests' samples, with room to spare.
constexpr int RECEIVE_BUFFER = 64 << 20;
constexpr size_t LARGEST_FRAME = 1 << 17;

std::runtime_error Failure(const std::string& what)
{
    return std::runtime_error("loopback capture: " + what + ": " + std::strerror(errno));
}

} // namespace

std::string LoopbackCapture::Unavailable()
{
    const int fd = ::socket(AF_PACKET, SOCK_RAW, 0);
    if (fd < 0) {
        return std::string("cannot open a packet socket: ") + std::strerror(errno);
    }
    ::close(fd);
    return {};
}

LoopbackCapture::LoopbackCapture(uint32_t domainId)
{
    // Protocol 0 receives nothing until bind names one: no frame of another
    // interface or port gets in before the filter is attached.
    socket_ = ::socket(AF_PACKET, SOCK_RAW, 0);
    if (socket_ < 0) {
        throw Failure("socket");
    }
    const uint32_t low = PORT_BASE + DOMAIN_PORTS * domainId;
    const uint32_t high = low + DOMAIN_PORTS - 1;
    // Filtered in the kernel, so that the traffic of other tests on the same
    // interface neither fills the queue nor costs a copy. On loopback every
    // frame passes twice, going out and coming in: only the second is kept.
    // Then: IPv4, UDP, not a later fragment, destination port of the domain.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 11, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 9),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 23),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 0, 7),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 20),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1fff, 5, 0),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 14),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 16),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, low, 0, 2),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, high, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, LARGEST_FRAME),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    const sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    if (::setsockopt(socket_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
        ::close(socket_);
        throw Failure("attaching the filter");
    }
    // Beyond net.core.rmem_max when allowed (CAP_NET_ADMIN), within it
    // otherwise.
    if (::setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &RECEIVE_BUFFER, sizeof RECEIVE_BUFFER) != 0) {
        ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &RECEIVE_BUFFER, sizeof RECEIVE_BUFFER);
    }
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(::if_nametoindex("lo"));
    if (address.sll_ifindex == 0 || ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket_);
        throw Failure("binding to lo");
    }
}

LoopbackCapture::~LoopbackCapture()
{
    if (socket_ >= 0) {
        ::close(socket_);
    }
}

std::vector<UdpDatagram> LoopbackCapture::Stop()
{
    std::vector<UdpDatagram> datagrams;
    std::vector<uint8_t> frame(LARGEST_FRAME);
    for (;;) {
        const ssize_t size = ::recv(socket_, frame.data(), frame.size(), MSG_DONTWAIT);
        if (size < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            throw Failure("recv");
        }
        UdpDatagram datagram;
        if (ParseEthernetFrame(frame.data(), static_cast<size_t>(size), datagram)) {
            datagrams.push_back(std::move(datagram));
        }
    }
    tpacket_stats stats{};
    socklen_t length = sizeof stats;
    if (::getsockopt(socket_, SOL_PACKET, PACKET_STATISTICS, &stats, &length) != 0) {
        throw Failure("reading the statistics");
    }
    ::close(socket_);
    socket_ = -1;
    if (stats.tp_drops != 0) {
        throw std::runtime_error("loopback capture: the kernel dropped " + std::to_string(stats.tp_drops) + " of " +
                                 std::to_string(stats.tp_packets) + " frames");
    }
    return datagrams;
}

size_t CountOccurrences(const std::vector<UdpDatagram>& datagrams, const std::vector<uint8_t>& needle)
{
    size_t count = 0;
    for (const auto& datagram : datagrams) {
        const auto& p = datagram.payload;
        for (auto at = std::search(p.begin(), p.end(), needle.begin(), needle.end()); at != p.end();
             at = std::search(at + static_cast<std::ptrdiff_t>(needle.size()), p.end(), needle.begin(), needle.end())) {
            ++count;
        }
    }
    return count;
}

} // namespace lumo::test
