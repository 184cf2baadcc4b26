// --metrics HOST:PORT, added after the report's options: where the
// Prometheus endpoint listens. There is no default: the endpoint has no
// authentication, so the address is the operator's explicit choice.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include <boost/any.hpp>
#include <boost/program_options.hpp>

namespace quillMetrics {

// A numeric address of this host and a port (0: any free one).
struct MetricsAddress
{
    std::string host; // "127.0.0.1" or "::1", without brackets
    bool ipv6 = false;
    uint16_t port = 0;

    // As given: "127.0.0.1:9464", "[::1]:9464".
    std::string Text() const;
};

std::ostream& operator<<(std::ostream& out, const MetricsAddress& address);

// Found by the option library through argument-dependent lookup.
void validate(boost::any& target, const std::vector<std::string>& values, MetricsAddress*, int);

void AddMetricsOptions(boost::program_options::options_description& options);

// The metrics' part of the settings.
struct MetricsSettings
{
    std::optional<MetricsAddress> address; // --metrics; nothing serves without it
    std::optional<std::string> webConfig;  // --metrics-web-config: TLS and users
};

} // namespace quillMetrics
