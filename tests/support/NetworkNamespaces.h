// Test hosts on this machine: network namespaces joined by veth links or by
// a bridge that lives in a namespace of its own. Nothing is created in the
// machine's own namespace, and no host gets a route out of the test network,
// so DDS traffic of the tools started in them stays among them.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "ProcessRunner.h"

namespace lumo::test {

class NetworkNamespaces
{
public:
    // Empty when this process can create network namespaces, otherwise why
    // not (the output of the failed attempt).
    static std::string Unavailable();

    // Removes what runs of dead test processes left behind, and arranges for
    // what this object creates to be removed on SIGINT/SIGTERM of this
    // process, and by a watchdog process once this process has ended in any
    // other way (SIGKILL, a CTest timeout).
    NetworkNamespaces();
    // Kills the processes left inside the namespaces, then deletes the
    // namespaces, which takes their interfaces and nft tables with them.
    ~NetworkNamespaces();

    NetworkNamespaces(const NetworkNamespaces&) = delete;
    NetworkNamespaces& operator=(const NetworkNamespaces&) = delete;

    // A host: a namespace with its loopback up.
    void AddHost(const std::string& host);
    // A switch: a namespace holding the bridge br0, which floods multicast
    // (no snooping), so that discovery reaches every attached host.
    void AddSwitch(const std::string& sw);

    // A veth link between two hosts: interface ifA with address cidrA on
    // host a, ifB with cidrB on host b, both up.
    void Link(const std::string& a, const std::string& ifA, const std::string& cidrA, const std::string& b,
              const std::string& ifB, const std::string& cidrB);
    // A host's interface ifHost with address cidr, plugged into the switch.
    void Attach(const std::string& host, const std::string& ifHost, const std::string& cidr, const std::string& sw);

    // Multicast of the host leaves through this interface (DDS discovery and
    // multicast data need a route to 224.0.0.0/4).
    void RouteMulticast(const std::string& host, const std::string& ifname);
    void SetLinkUp(const std::string& host, const std::string& ifname, bool up);
    // Multicast on the host's loopback, routed there: DDS discovery among
    // the host's own processes then goes by multicast, as on a real network
    // (some implementations find each other only that way).
    void LoopbackMulticast(const std::string& host);
    // Drops about `percent` % of the UDP datagrams the host sends through the
    // interface (nft numgen). Dropped on the way out, so that a capture on
    // the receiving side sees exactly what crossed the link.
    void DropOutgoing(const std::string& host, const std::string& ifname, int percent);
    // Datagrams dropped so far by the rule of DropOutgoing.
    uint64_t DroppedOutgoing(const std::string& host);
    // Drops every IPv4 multicast datagram the host sends or receives, on
    // every interface: a network that carries no multicast (cloud, routed,
    // Wi-Fi). The multicast route stays, so that senders meet the drop and
    // not a missing route.
    void DropMulticast(const std::string& host);
    // Multicast datagrams dropped so far by the rules of DropMulticast.
    uint64_t DroppedMulticast(const std::string& host);

    // Runs a program inside the host, with the host's own /dev/shm; its
    // output is captured.
    std::unique_ptr<ProcessRunner> Start(const std::string& host, const std::string& program,
                                         const std::vector<std::string>& args,
                                         const std::vector<std::string>& env = {});
    // Runs a command inside the host to its end; throws with its output when
    // it fails. Returns the output.
    std::string Run(const std::string& host, const std::vector<std::string>& command);

    std::string Namespace(const std::string& host) const;
    // The directory that is the host's /dev/shm.
    std::string SharedMemory(const std::string& host) const;
    // Namespaces created and not yet removed, by full name.
    const std::vector<std::string>& Created() const { return created_; }

    // The prefix of every namespace name of these tests; the process id
    // follows it, so concurrent runs never meet.
    static constexpr const char* PREFIX = "lqmtest-";

private:
    // The packets counted by every counter of one nft table of the host.
    uint64_t CounterTotal(const std::string& host, const std::string& table);

    std::vector<std::string> created_;
    pid_t watchdog_ = -1;
    int watchdogInput_ = -1;
};

// The path of the `ip` program.
const std::string& IpProgram();
// Runs `ip` with these arguments to the end; throws with its output when it
// fails. Returns the output.
std::string RunIp(const std::vector<std::string>& args, std::chrono::milliseconds timeout = std::chrono::seconds(20));

} // namespace lumo::test
