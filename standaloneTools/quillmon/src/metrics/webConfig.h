// --metrics-web-config FILE: who may scrape, in the Prometheus exporters'
// web configuration format (exporter-toolkit), only the part of it that says
// so: TLS with a certificate and key, and basic-auth users with bcrypt
// hashes. Anything else in the file is refused rather than ignored, so that
// an operator never believes a setting applies that does not.
//
//   tls_server_config:
//     cert_file: server.crt     # relative to the file's own directory
//     key_file: server.key
//   basic_auth_users:
//     prometheus: $2y$10$...    # htpasswd -nBC 10 "" | tr -d ':\n'
#pragma once

#include <map>
#include <optional>
#include <string>

namespace quillMetrics {

struct TlsFiles
{
    std::string certFile;
    std::string keyFile;
    bool operator==(const TlsFiles&) const = default;
};

struct WebConfig
{
    std::optional<TlsFiles> tls;
    std::map<std::string, std::string> users; // name: bcrypt hash; none: no authentication
    bool operator==(const WebConfig&) const = default;
};

// The configuration in `text`; throws std::invalid_argument saying what is
// wrong, and on which line. Relative file names are taken from `directory`.
WebConfig ParseWebConfig(const std::string& text, const std::string& directory);

// The file's configuration; throws MetricsError naming the file.
WebConfig ReadWebConfig(const std::string& path);

// Whether an Authorization header's value names a user of `users` with the
// password of its hash.
bool Authorized(const std::map<std::string, std::string>& users, const std::string& authorization);

} // namespace quillMetrics
