// --metrics-web-config's file, read strictly, and the basic-auth check.
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <crypt.h>

#include <gtest/gtest.h>

#include "metrics/webConfig.h"

using quillMetrics::ParseWebConfig;
using quillMetrics::TlsFiles;
using quillMetrics::WebConfig;

namespace {

// A 60-character bcrypt hash, of no password in particular.
const std::string HASH = "$2y$10$" + std::string(53, 'a');

struct ParseRow
{
    std::string text;
    std::optional<WebConfig> config; // nullopt: refused with `error`
    std::string error{};
};

} // namespace

TEST(WebConfig, OnlyTlsFilesAndBcryptUsersAreReadAndAnythingElseIsRefusedByLine)
{
    const std::vector<ParseRow> rows{
        {"", WebConfig{}},
        {"# nothing but a comment\n\n", WebConfig{}},
        {"tls_server_config:\n  cert_file: c.pem   # the chain\n  key_file: /etc/k.pem\n",
         WebConfig{TlsFiles{"/dir/c.pem", "/etc/k.pem"}, {}}},
        {"basic_auth_users:\n    alice: '" + HASH + "'\n    bob: \"" + HASH + "\"\n",
         WebConfig{std::nullopt, {{"alice", HASH}, {"bob", HASH}}}},
        {"http_server_config:\n  http2: false\n", std::nullopt,
         "line 1: 'http_server_config' is not read (only tls_server_config and basic_auth_users)"},
        {"tls_server_config:\n  cert_file: c\n  key_file: k\n  min_version: TLS13\n", std::nullopt,
         "line 4: 'min_version' is not read (only cert_file and key_file)"},
        {"tls_server_config:\n  cert_file: c\n", std::nullopt, "tls_server_config needs both cert_file and key_file"},
        {"tls_server_config:\n  cert_file: c\n   key_file: k\n", std::nullopt, "line 3: unexpected indentation"},
        {"  cert_file: c\n", std::nullopt, "line 1: unexpected indentation"},
        {"tls_server_config: {cert_file: c, key_file: k}\n", std::nullopt,
         "line 1: only plain block mappings are read"},
        {"basic_auth_users:\n\talice: x\n", std::nullopt, "line 2: a tab (indent with spaces)"},
        {"basic_auth_users:\n  alice: plain\n", std::nullopt, "line 2: the hash of 'alice' is not a bcrypt hash"},
        {"basic_auth_users:\n  a: " + HASH + "\n  a: " + HASH + "\n", std::nullopt, "line 3: user 'a' given twice"},
        {"basic_auth_users:\nbasic_auth_users:\n", std::nullopt,
         "line 2: 'basic_auth_users' given twice or not as a mapping"},
        {"basic_auth_users:\n  alice: 'unterminated\n", std::nullopt, "line 2: an unterminated quote"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        if (row.config) {
            EXPECT_EQ(ParseWebConfig(row.text, "/dir"), *row.config);
            continue;
        }
        try {
            ParseWebConfig(row.text, "/dir");
            ADD_FAILURE() << "taken";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), row.error);
        }
    }
}

TEST(WebConfig, OnlyAListedUserWithItsPasswordIsAuthorized)
{
    crypt_data data{};
    const std::string hash = crypt_r("s3cret", crypt_gensalt("$2b$", 4, nullptr, 0), &data);
    const std::map<std::string, std::string> users{{"prometheus", hash}};
    // base64 of "prometheus:s3cret", "prometheus:wrong", "other:s3cret", "prometheus", "prometheus:s3cretX"
    const std::vector<std::pair<std::string, bool>> rows{
        {"Basic cHJvbWV0aGV1czpzM2NyZXQ=", true},   {"basic cHJvbWV0aGV1czpzM2NyZXQ=", true},
        {"Basic cHJvbWV0aGV1czp3cm9uZw==", false},  {"Basic b3RoZXI6czNjcmV0", false},
        {"Basic cHJvbWV0aGV1cw==", false},          {"Basic cHJvbWV0aGV1czpzM2NyZXRY", false},
        {"Bearer cHJvbWV0aGV1czpzM2NyZXQ=", false}, {"", false},
    };
    for (const auto& [authorization, authorized] : rows) {
        EXPECT_EQ(quillMetrics::Authorized(users, authorization), authorized) << authorization;
    }
}
