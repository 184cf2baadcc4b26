// Discovery at scale: many lumoQuillpub participants spread over test hosts
// (network namespaces, see tests/support/NetworkNamespaces.h) and one
// lumoQuillmon reading 15 topics, under simple discovery (multicast) and
// under a discovery server (multicast dropped on every host). For each mode:
// the time from the monitor's start to every expected match, the monitor
// host's traffic during a fixed window (captured on its interface), and the
// monitor's resident set. Run as root through bench/discovery-scale.sh.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "NetworkNamespaces.h"
#include "PacketCapture.h"
#include "ProcessRunner.h"

using namespace std::chrono_literals;
using lumo::test::NetworkNamespaces;
using lumo::test::PacketCapture;
using lumo::test::ProcessRunner;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* DOMAIN = "5";
constexpr const char* SERVER = "10.77.0.1";
constexpr const char* MONITOR = "10.77.0.2";
constexpr int READ_TOPICS = 15;
constexpr int DOUBLED_TOPICS = 5; // topics that get a second writer

struct Settings
{
    int participants = 50;
    int hosts = 5;
    int windowSeconds = 30;
    std::vector<std::string> modes{"simple", "server"};
};

struct Result
{
    std::string mode;
    double allMatchedSeconds = -1;
    int matches = 0;
    size_t discoveryPackets = 0;
    size_t discoveryBytes = 0;
    size_t allPackets = 0;
    size_t allBytes = 0;
    long rssKiB = 0;
    long peakRssKiB = 0;
};

std::string Topic(int i)
{
    return "Scale" + std::to_string(i);
}

long StatusKiB(pid_t pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// The monitor host's datagrams: what it sent, and what reached it (its own
// address or a multicast group).
bool Involves(const lumo::test::UdpDatagram& d)
{
    const bool multicast = std::stoi(d.destination.substr(0, d.destination.find('.'))) >= 224;
    return d.source == MONITOR || d.destination == MONITOR || multicast;
}

Result RunMode(const Settings& settings, const std::string& mode)
{
    const bool server = mode == "server";
    NetworkNamespaces net;
    net.AddSwitch("sw");
    std::vector<std::string> hosts{"ds", "mon"};
    for (int h = 0; h < settings.hosts; ++h) {
        hosts.push_back("pub" + std::to_string(h));
    }
    int n = 1;
    for (const auto& host : hosts) {
        net.AddHost(host);
        net.Attach(host, "eth0", "10.77.0." + std::to_string(n++) + "/24", "sw");
        net.RouteMulticast(host, "eth0");
        if (server) {
            net.DropMulticast(host);
        }
    }
    std::vector<std::string> env;
    std::unique_ptr<ProcessRunner> discoveryServer;
    if (server) {
        env.push_back(std::string("ROS_DISCOVERY_SERVER=") + SERVER + ":11811");
        discoveryServer = net.Start("ds", LUMO_DISCOVERY_SERVER_PROGRAM, {"-i", "0", "-l", SERVER, "-p", "11811"});
        if (!discoveryServer->WaitForText("Server is running", 20s)) {
            throw std::runtime_error("the discovery server did not start: " + discoveryServer->Output());
        }
    }

    // Participants 0-14 write the monitor's topics, 15-19 add a second
    // writer to the first five, the rest write topics nobody here reads.
    std::vector<std::unique_ptr<ProcessRunner>> publishers;
    int expectedMatches = 0;
    for (int i = 0; i < settings.participants; ++i) {
        const bool read = i < READ_TOPICS + DOUBLED_TOPICS;
        const std::string topic = read ? Topic(i % READ_TOPICS) : "Other" + std::to_string(i);
        expectedMatches += read ? 1 : 0;
        publishers.push_back(
            net.Start(hosts[2 + i % settings.hosts], LUMO_QUILLPUB_PATH,
                      {"--domain-id", DOMAIN, "-t", topic, "-r", "1", "--duration", "3600", "--wait-readers", "0"},
                      env));
    }
    // Let the publishers find each other before the monitor comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(5000 + 100 * settings.participants));

    PacketCapture capture(net, "mon", "eth0", "udp");
    std::vector<std::string> args{"-d", "--domain-id", DOMAIN, "-t"};
    for (int t = 0; t < READ_TOPICS; ++t) {
        args.push_back(Topic(t));
    }
    const auto started = Clock::now();
    auto monitor = net.Start("mon", LUMO_QUILLMON_PATH, args, env);
    Result result;
    result.mode = mode;
    // Each match is one "INFO  [topic][i]" line (an unmatch would be too,
    // and none is expected here).
    int matches = 0;
    const bool allMatched = monitor->WaitForLine(
        [&](const std::string& line) {
            const auto message = lumo::test::WithoutTimestamp(line);
            if (message.rfind("INFO  [Scale", 0) == 0 && message.back() == ']') {
                ++matches;
            }
            return matches == expectedMatches;
        },
        std::chrono::seconds(settings.windowSeconds));
    if (allMatched) {
        result.allMatchedSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    }
    std::this_thread::sleep_until(started + std::chrono::seconds(settings.windowSeconds));
    result.matches = matches;
    result.rssKiB = StatusKiB(monitor->Pid(), "VmRSS");
    result.peakRssKiB = StatusKiB(monitor->Pid(), "VmHWM");
    monitor->Signal(SIGINT);
    monitor->Wait(20s);
    for (const auto& d : capture.Stop()) {
        if (!Involves(d)) {
            continue;
        }
        ++result.allPackets;
        result.allBytes += d.payload.size();
        if (lumo::test::CarriesDiscovery(d)) {
            ++result.discoveryPackets;
            result.discoveryBytes += d.payload.size();
        }
    }
    std::cerr << "discovery-scale: " << mode << ": " << matches << " of " << expectedMatches << " matches\n";
    return result;
}

void PrintTable(const Settings& settings, const std::vector<Result>& results)
{
    std::printf("%d participants (%d writing the monitor's %d topics, %d of them twice; the rest on other topics) on "
                "%d hosts, 1 monitor; window %d s from the monitor's start\n",
                settings.participants, READ_TOPICS + DOUBLED_TOPICS, READ_TOPICS, DOUBLED_TOPICS, settings.hosts,
                settings.windowSeconds);
    std::printf("%-8s %16s %9s %12s %14s %12s %14s %9s %10s\n", "mode", "all matched (s)", "matches", "disc. pkts",
                "disc. bytes", "all pkts", "all bytes", "RSS MiB", "peak MiB");
    for (const auto& r : results) {
        std::printf("%-8s %16.2f %9d %12zu %14zu %12zu %14zu %9.1f %10.1f\n", r.mode.c_str(), r.allMatchedSeconds,
                    r.matches, r.discoveryPackets, r.discoveryBytes, r.allPackets, r.allBytes, r.rssKiB / 1024.0,
                    r.peakRssKiB / 1024.0);
    }
    std::printf("(packets and UDP payload bytes the monitor's host sent or received; 'disc.': RTPS messages of "
                "built-in discovery endpoints; all matched -1: not within the window)\n");
}

} // namespace

int main(int argc, char** argv)
{
    Settings settings;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--participants") {
            settings.participants = std::stoi(value);
        } else if (option == "--hosts") {
            settings.hosts = std::stoi(value);
        } else if (option == "--window") {
            settings.windowSeconds = std::stoi(value);
        } else if (option == "--mode") {
            settings.modes = value == "both" ? std::vector<std::string>{"simple", "server"}
                                             : std::vector<std::string>{value};
        } else {
            std::cerr << "discovery-scale: unknown option " << option << "\n";
            return 2;
        }
    }
    if (!NetworkNamespaces::Unavailable().empty() || settings.participants < READ_TOPICS + DOUBLED_TOPICS) {
        std::cerr << "discovery-scale: needs root (network namespaces) and at least " << READ_TOPICS + DOUBLED_TOPICS
                  << " participants\n";
        return 2;
    }
    std::vector<Result> results;
    for (const auto& mode : settings.modes) {
        results.push_back(RunMode(settings, mode));
    }
    PrintTable(settings, results);
    return 0;
}
