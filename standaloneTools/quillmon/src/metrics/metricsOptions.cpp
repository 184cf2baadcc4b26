#include "metricsOptions.h"

#include <cstdlib>
#include <ostream>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace po = boost::program_options;

namespace quillMetrics {

namespace {

class InvalidAddress : public po::invalid_option_value
{
public:
    explicit InvalidAddress(const std::string& value)
        : po::invalid_option_value(value)
    {
        m_error_template +=
            "; expected HOST:PORT, HOST an IPv4 address or an IPv6 address in brackets, PORT 0 to 65535";
    }
};

std::optional<MetricsAddress> Parse(const std::string& text)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size() || colon + 6 < text.size()) {
        return std::nullopt;
    }
    const std::string portText = text.substr(colon + 1);
    if (portText.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const unsigned long port = std::strtoul(portText.c_str(), nullptr, 10);
    if (port > 65535) {
        return std::nullopt;
    }
    MetricsAddress address;
    address.port = static_cast<uint16_t>(port);
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        address.ipv6 = true;
    }
    in6_addr scratch{};
    if (inet_pton(address.ipv6 ? AF_INET6 : AF_INET, host.c_str(), &scratch) != 1) {
        return std::nullopt;
    }
    address.host = host;
    return address;
}

} // namespace

std::string MetricsAddress::Text() const
{
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::ostream& operator<<(std::ostream& out, const MetricsAddress& address)
{
    return out << address.Text();
}

void validate(boost::any& target, const std::vector<std::string>& values, MetricsAddress*, int)
{
    po::validators::check_first_occurrence(target);
    const std::string& text = po::validators::get_single_string(values);
    const auto address = Parse(text);
    if (!address) {
        throw InvalidAddress(text);
    }
    target = *address;
}

void AddMetricsOptions(po::options_description& options)
{
    // clang-format off
    options.add_options()
        ("metrics", po::value<MetricsAddress>(),
            "Serve Prometheus metrics at http://HOST:PORT/metrics (HOST:PORT, e.g. 127.0.0.1:9464; no "
            "authentication: keep it on a trusted interface)")
        ("metrics-web-config", po::value<std::string>(),
            "With --metrics: TLS and basic-auth users for the endpoint, in the Prometheus exporters' web "
            "configuration format (tls_server_config: cert_file, key_file; basic_auth_users: name: bcrypt hash)");
    // clang-format on
}

} // namespace quillMetrics
