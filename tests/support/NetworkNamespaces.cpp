#include "NetworkNamespaces.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lumo::test {

namespace {

constexpr auto COMMAND_TIMEOUT = std::chrono::seconds(20);
constexpr const char* LOSS_TABLE = "lqmloss";
constexpr const char* NO_MULTICAST_TABLE = "lqmnomcast";

// What the signal handler removes: plain storage, since a handler may not
// allocate or take locks. Written by the test's main thread only.
constexpr size_t MAX_NAMESPACES = 32;
constexpr size_t NAME_SIZE = 96;
constexpr const char* SHARED_MEMORY_ROOT = "/dev/shm/";
char gIpPath[NAME_SIZE] = {};
char gNamespaces[MAX_NAMESPACES][NAME_SIZE] = {};
char gSharedMemory[MAX_NAMESPACES][NAME_SIZE] = {};
volatile sig_atomic_t gInUse[MAX_NAMESPACES] = {};

// In each host's /dev/shm directory, so that it goes with it.
constexpr const char* MACHINE_ID_FILE = "lumo-test-machine-id";

// A machine id of its own for the host `name`: 32 hex digits and a newline,
// as /etc/machine-id holds.
void WriteMachineId(const std::string& path, const std::string& name)
{
    std::ostringstream id;
    id << std::hex << std::setfill('0') << std::setw(16) << std::hash<std::string>{}(name) << std::setw(16)
       << std::hash<std::string>{}(name + "/machine") << '\n';
    std::ofstream(path) << id.str();
}

void RunAndWait(const char* program, const char* const* argv)
{
    const pid_t child = fork();
    if (child == 0) {
        execv(program, const_cast<char* const*>(argv));
        _exit(127);
    }
    if (child > 0) {
        int status = 0;
        waitpid(child, &status, 0);
    }
}

void RemoveOnSignal(int signal)
{
    for (size_t i = 0; i < MAX_NAMESPACES; ++i) {
        if (gInUse[i] == 0) {
            continue;
        }
        const char* del[] = {"ip", "netns", "del", gNamespaces[i], nullptr};
        RunAndWait(gIpPath, del);
        const char* rm[] = {"rm", "-rf", gSharedMemory[i], nullptr};
        RunAndWait("/bin/rm", rm);
        gInUse[i] = 0;
    }
    // The children inside the namespaces die with this process
    // (ProcessRunner asks for their death signal).
    std::signal(signal, SIG_DFL);
    raise(signal);
}

void Remember(const std::string& name)
{
    for (size_t i = 0; i < MAX_NAMESPACES; ++i) {
        if (gInUse[i] == 0) {
            std::strncpy(gNamespaces[i], name.c_str(), NAME_SIZE - 1);
            std::strncpy(gSharedMemory[i], (SHARED_MEMORY_ROOT + name).c_str(), NAME_SIZE - 1);
            gInUse[i] = 1;
            return;
        }
    }
}

void Forget(const std::string& name)
{
    for (size_t i = 0; i < MAX_NAMESPACES; ++i) {
        if (gInUse[i] != 0 && name == gNamespaces[i]) {
            gInUse[i] = 0;
        }
    }
}

std::string Join(const std::vector<std::string>& words)
{
    std::string text;
    for (const auto& word : words) {
        text += text.empty() ? "" : " ";
        text += word;
    }
    return text;
}

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

// Kills whatever still runs inside the namespace, then deletes it.
void Remove(const std::string& name) noexcept
{
    try {
        for (const auto& pid : Words(RunIp({"netns", "pids", name}))) {
            kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
        }
        RunIp({"netns", "del", name});
        std::error_code ignored;
        std::filesystem::remove_all(SHARED_MEMORY_ROOT + name, ignored);
    } catch (const std::exception&) {
        // Best effort: a namespace that is already gone is fine.
    }
}

// Namespaces of test processes that no longer exist: they died before
// their clean-up could run (SIGKILL, a crash, a CTest timeout).
bool OwnerIsGone(const std::string& name)
{
    const std::string prefix = NetworkNamespaces::PREFIX;
    if (name.rfind(prefix, 0) != 0) {
        return false;
    }
    const pid_t owner = static_cast<pid_t>(std::atol(name.c_str() + prefix.size()));
    return owner > 0 && owner != getpid() && kill(owner, 0) != 0 && errno == ESRCH;
}

// What test processes left behind when they died before their clean-up
// could run (SIGKILL, a crash, a CTest timeout).
void RemoveLeftovers()
{
    std::istringstream list(RunIp({"netns", "list"}));
    for (std::string line; std::getline(list, line);) {
        const auto words = Words(line);
        if (!words.empty() && OwnerIsGone(words.front())) {
            Remove(words.front());
        }
    }
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(SHARED_MEMORY_ROOT, ignored)) {
        if (OwnerIsGone(entry.path().filename().string())) {
            std::filesystem::remove_all(entry.path(), ignored);
        }
    }
}

// Removes, once this process has ended in any way (SIGKILL and a CTest
// timeout included), the namespaces it reports on its standard input
// ("add NAME" / "del NAME") and has not removed itself. It ignores SIGINT
// and SIGTERM, which a terminal or CTest send to the whole process group.
constexpr const char* WATCHDOG_SCRIPT = R"(
names=" "
while read -r op name; do
    case $op in
    add) names="$names$name " ;;
    del) names=$(printf '%s' "$names" | sed "s| $name | |") ;;
    esac
done
for name in $names; do
    for pid in $("$0" netns pids "$name" 2>/dev/null); do kill -9 "$pid"; done
    "$0" netns del "$name" 2>/dev/null
    rm -rf "/dev/shm/$name"
done
)";

// The write end of the watchdog's input, or -1.
int StartWatchdog(pid_t& watchdog)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    watchdog = fork();
    if (watchdog == 0) {
        std::signal(SIGINT, SIG_IGN);
        std::signal(SIGTERM, SIG_IGN);
        dup2(fds[0], STDIN_FILENO);
        execl("/bin/sh", "sh", "-c", WATCHDOG_SCRIPT, gIpPath, nullptr);
        _exit(127);
    }
    close(fds[0]);
    if (watchdog < 0) {
        close(fds[1]);
        return -1;
    }
    return fds[1];
}

void TellWatchdog(int fd, const std::string& line)
{
    if (fd >= 0) {
        const std::string text = line + "\n";
        [[maybe_unused]] const auto written = write(fd, text.data(), text.size());
    }
}

} // namespace

const std::string& IpProgram()
{
    static const std::string path = [] {
        for (const char* candidate : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
            if (access(candidate, X_OK) == 0) {
                return std::string(candidate);
            }
        }
        return std::string("/usr/sbin/ip");
    }();
    return path;
}

std::string RunIp(const std::vector<std::string>& args, std::chrono::milliseconds timeout)
{
    ProcessRunner ip(IpProgram(), args);
    const auto status = ip.Wait(timeout);
    if (status != 0) {
        throw std::runtime_error("ip " + Join(args) + " failed (" +
                                 (status ? "exit status " + std::to_string(*status) : std::string("timeout")) +
                                 "): " + ip.Output());
    }
    return ip.Output();
}

std::string NetworkNamespaces::Unavailable()
{
    const std::string probe = PREFIX + std::to_string(getpid()) + "-probe";
    try {
        RunIp({"netns", "add", probe});
    } catch (const std::exception& e) {
        return e.what();
    }
    Remove(probe);
    return {};
}

NetworkNamespaces::NetworkNamespaces()
{
    std::strncpy(gIpPath, IpProgram().c_str(), NAME_SIZE - 1);
    RemoveLeftovers();
    struct sigaction action
    {
    };
    action.sa_handler = RemoveOnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    watchdogInput_ = StartWatchdog(watchdog_);
}

NetworkNamespaces::~NetworkNamespaces()
{
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
        Remove(*it);
        Forget(*it);
        TellWatchdog(watchdogInput_, "del " + *it);
    }
    if (watchdogInput_ >= 0) {
        close(watchdogInput_);
        waitpid(watchdog_, nullptr, 0);
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

std::string NetworkNamespaces::Namespace(const std::string& host) const
{
    return PREFIX + std::to_string(getpid()) + "-" + host;
}

void NetworkNamespaces::AddHost(const std::string& host)
{
    const auto ns = Namespace(host);
    // Remembered first: a signal between the two steps still removes it.
    Remember(ns);
    TellWatchdog(watchdogInput_, "add " + ns);
    RunIp({"netns", "add", ns});
    created_.push_back(ns);
    std::filesystem::create_directories(SharedMemory(host));
    WriteMachineId(SharedMemory(host) + "/" + MACHINE_ID_FILE, ns);
    RunIp({"-n", ns, "link", "set", "lo", "up"});
}

void NetworkNamespaces::AddSwitch(const std::string& sw)
{
    AddHost(sw);
    const auto ns = Namespace(sw);
    RunIp({"-n", ns, "link", "add", "br0", "type", "bridge", "mcast_snooping", "0"});
    RunIp({"-n", ns, "link", "set", "br0", "up"});
}

void NetworkNamespaces::Link(const std::string& a, const std::string& ifA, const std::string& cidrA,
                             const std::string& b, const std::string& ifB, const std::string& cidrB)
{
    const auto nsA = Namespace(a);
    const auto nsB = Namespace(b);
    // Both ends are created inside their namespaces: no interface of the
    // test network ever appears in the machine's own namespace.
    RunIp({"link", "add", ifA, "netns", nsA, "type", "veth", "peer", "name", ifB, "netns", nsB});
    for (const auto& [ns, ifname, cidr] : {std::array<std::string, 3>{nsA, ifA, cidrA}, {nsB, ifB, cidrB}}) {
        if (!cidr.empty()) {
            RunIp({"-n", ns, "addr", "add", cidr, "dev", ifname});
        }
        RunIp({"-n", ns, "link", "set", ifname, "up"});
    }
}

void NetworkNamespaces::Attach(const std::string& host, const std::string& ifHost, const std::string& cidr,
                               const std::string& sw)
{
    const std::string port = "to-" + host;
    Link(host, ifHost, cidr, sw, port, "");
    RunIp({"-n", Namespace(sw), "link", "set", port, "master", "br0"});
}

void NetworkNamespaces::RouteMulticast(const std::string& host, const std::string& ifname)
{
    RunIp({"-n", Namespace(host), "route", "add", "224.0.0.0/4", "dev", ifname});
}

void NetworkNamespaces::SetLinkUp(const std::string& host, const std::string& ifname, bool up)
{
    RunIp({"-n", Namespace(host), "link", "set", ifname, up ? "up" : "down"});
}

void NetworkNamespaces::LoopbackMulticast(const std::string& host)
{
    RunIp({"-n", Namespace(host), "link", "set", "lo", "multicast", "on"});
    RouteMulticast(host, "lo");
}

void NetworkNamespaces::DropOutgoing(const std::string& host, const std::string& ifname, int percent)
{
    const std::string table = std::string("inet ") + LOSS_TABLE;
    Run(host, {"nft", "add table " + table + "; add chain " + table +
                          " out { type filter hook output priority 0; policy accept; }; add rule " + table +
                          " out oifname \"" + ifname + "\" meta l4proto udp numgen random mod 100 < " +
                          std::to_string(percent) + " counter drop"});
}

uint64_t NetworkNamespaces::DroppedOutgoing(const std::string& host)
{
    return CounterTotal(host, LOSS_TABLE);
}

void NetworkNamespaces::DropMulticast(const std::string& host)
{
    const std::string table = std::string("inet ") + NO_MULTICAST_TABLE;
    std::string rules = "add table " + table;
    for (const auto& [chain, hook] : {std::pair<std::string, std::string>{"out", "output"}, {"in", "input"}}) {
        rules += "; add chain " + table + " " + chain + " { type filter hook " + hook +
                 " priority 0; policy accept; }; add rule " + table + " " + chain +
                 " ip daddr 224.0.0.0/4 counter drop";
    }
    Run(host, {"nft", rules});
}

uint64_t NetworkNamespaces::DroppedMulticast(const std::string& host)
{
    return CounterTotal(host, NO_MULTICAST_TABLE);
}

uint64_t NetworkNamespaces::CounterTotal(const std::string& host, const std::string& table)
{
    const auto words = Words(Run(host, {"nft", "list", "table", "inet", table}));
    uint64_t dropped = 0;
    for (size_t i = 0; i + 2 < words.size(); ++i) {
        if (words[i] == "counter" && words[i + 1] == "packets") {
            dropped += std::stoull(words[i + 2]);
        }
    }
    return dropped;
}

std::unique_ptr<ProcessRunner> NetworkNamespaces::Start(const std::string& host, const std::string& program,
                                                        const std::vector<std::string>& args,
                                                        const std::vector<std::string>& env)
{
    // Each host sees its own /dev/shm, as a separate machine does: whatever
    // Fast DDS leaves there (its port segments, the segments of a killed
    // process) goes with the host, and the hosts' equal port numbers never
    // share a segment. Each also has its own /etc/machine-id: Fast DDS 3
    // takes peers with its own machine id for processes of its host, and of
    // such a peer keeps only the unicast addresses that its own interface
    // allow-list admits, which none of another host's are. (The id is
    // mounted first: once /dev/shm is the host's, its path is gone.) unshare
    // and sh exec in turn, so the runner's pid stays the program's.
    std::vector<std::string> command{"netns",
                                     "exec",
                                     Namespace(host),
                                     "unshare",
                                     "--mount",
                                     "--propagation",
                                     "private",
                                     "sh",
                                     "-c",
                                     "mount --bind \"$0/" + std::string(MACHINE_ID_FILE) +
                                         "\" /etc/machine-id && mount --bind \"$0\" /dev/shm && exec \"$@\"",
                                     SharedMemory(host),
                                     program};
    command.insert(command.end(), args.begin(), args.end());
    return std::make_unique<ProcessRunner>(IpProgram(), command, env);
}

std::string NetworkNamespaces::SharedMemory(const std::string& host) const
{
    return SHARED_MEMORY_ROOT + Namespace(host);
}

std::string NetworkNamespaces::Run(const std::string& host, const std::vector<std::string>& command)
{
    std::vector<std::string> args{"netns", "exec", Namespace(host)};
    args.insert(args.end(), command.begin(), command.end());
    return RunIp(args, COMMAND_TIMEOUT);
}

} // namespace lumo::test
