#include "metricsServer.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <prometheus/exposer.h>

#include "lumo/Format.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "processMetrics.h"
#include "quillLog.h"
#include "tallyMetrics.h"

namespace quillMetrics {

namespace {

// Binds and listens on `address` once, to say why it cannot be served:
// the HTTP server itself only says that it did not start.
void CheckListen(const MetricsAddress& address)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.ipv6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(address.port);
        inet_pton(AF_INET6, address.host.c_str(), &in6.sin6_addr);
        length = sizeof in6;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(storage);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(address.port);
        inet_pton(AF_INET, address.host.c_str(), &in4.sin_addr);
        length = sizeof in4;
    }
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw MetricsError(lumo::format("cannot serve metrics on {}: {}", address.Text(), std::strerror(errno)));
    }
    const int reuse = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse); // as the HTTP server binds
    const bool listening = bind(fd, reinterpret_cast<const sockaddr*>(&storage), length) == 0 && listen(fd, 1) == 0;
    const int error = errno;
    close(fd);
    if (!listening) {
        throw MetricsError(lumo::format("cannot serve metrics on {}: {}{}", address.Text(), std::strerror(error),
                                        error == EADDRNOTAVAIL ? " (not an address of this host)" : ""));
    }
}

// civetweb ignores SIGPIPE for the whole process when it starts (it sends
// with MSG_NOSIGNAL itself); the monitor keeps the disposition it had.
class SigpipeKept
{
public:
    SigpipeKept() { sigaction(SIGPIPE, nullptr, &previous_); }
    ~SigpipeKept() { sigaction(SIGPIPE, &previous_, nullptr); }

    SigpipeKept(const SigpipeKept&) = delete;
    SigpipeKept& operator=(const SigpipeKept&) = delete;

private:
    struct sigaction previous_ = {};
};

} // namespace

MetricsServer::MetricsServer(const MetricsAddress& address, log4cplus::Logger& logger)
    : process_(std::make_shared<ProcessMetrics>(LUMO_VERSION, lumo::componentFramework::compat::FastDdsVersion()))
{
    CheckListen(address);
    try {
        SigpipeKept sigpipe;
        // Two threads: a slow client does not hold up Prometheus.
        exposer_ = std::make_unique<prometheus::Exposer>(address.Text(), 2);
    } catch (const std::exception& e) {
        throw MetricsError(lumo::format("cannot serve metrics on {}: {}", address.Text(), e.what()));
    }
    exposer_->RegisterCollectable(process_);
    const auto ports = exposer_->GetListeningPorts();
    const int port = ports.empty() ? address.port : ports.front();
    MetricsAddress serving = address;
    serving.port = static_cast<uint16_t>(port);
    QUILL_LOG_TO(logger, log4cplus::INFO_LOG_LEVEL, "metrics at http://{}/metrics", serving.Text());
}

MetricsServer::~MetricsServer() = default;

void MetricsServer::Serve(const std::vector<std::shared_ptr<quillReport::ReaderTally>>& tallies)
{
    tallies_ = std::make_shared<TallyMetrics>(tallies);
    exposer_->RegisterCollectable(tallies_);
}

} // namespace quillMetrics
