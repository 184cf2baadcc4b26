#include "webConfig.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <crypt.h>

#include "httpServer.h"
#include "lumo/Format.h"

namespace quillMetrics {

namespace {

constexpr size_t BCRYPT_LENGTH = 60;

struct Line
{
    size_t indent = 0;
    std::string key;
    std::string value; // unquoted
};

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, text.find_last_not_of(' ') + 1 - first);
}

// One "key: value" line of block-style YAML, its comment dropped; nullopt
// for a blank or comment line.
std::optional<Line> Parsed(const std::string& text, int number)
{
    const auto fail = [number](const std::string& what) {
        return std::invalid_argument(lumo::format("line {}: {}", number, what));
    };
    if (text.find('\t') != std::string::npos) {
        throw fail("a tab (indent with spaces)");
    }
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos || text[start] == '#') {
        return std::nullopt;
    }
    Line line;
    line.indent = start;
    const size_t colon = text.find(':', start);
    if (colon == std::string::npos || (colon + 1 < text.size() && text[colon + 1] != ' ')) {
        throw fail("expected 'key: value'");
    }
    line.key = Trimmed(text.substr(start, colon - start));
    std::string rest = Trimmed(text.substr(colon + 1));
    if (!rest.empty() && (rest.front() == '\'' || rest.front() == '"')) {
        const size_t close = rest.find(rest.front(), 1);
        const std::string after = close == std::string::npos ? "" : Trimmed(rest.substr(close + 1));
        if (close == std::string::npos || !(after.empty() || after.front() == '#')) {
            throw fail("an unterminated quote");
        }
        line.value = rest.substr(1, close - 1);
    } else {
        const size_t comment = rest.find(" #");
        line.value = Trimmed(rest.substr(0, comment));
        if (line.value.rfind('#', 0) == 0) {
            line.value.clear();
        }
        if (!line.value.empty() && std::string("{[&*!|>").find(line.value.front()) != std::string::npos) {
            throw fail("only plain block mappings are read");
        }
    }
    if (line.key.empty()) {
        throw fail("an empty key");
    }
    return line;
}

std::string Resolved(const std::string& file, const std::string& directory)
{
    return file.empty() || file.front() == '/' || directory.empty() ? file : directory + "/" + file;
}

std::string Base64Decoded(const std::string& text)
{
    static const std::string ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned int bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') {
            break;
        }
        const size_t value = ALPHABET.find(c);
        if (value == std::string::npos) {
            return "";
        }
        bits = (bits << 6) | static_cast<unsigned int>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xff));
        }
    }
    return out;
}

} // namespace

WebConfig ParseWebConfig(const std::string& text, const std::string& directory)
{
    WebConfig config;
    std::istringstream lines(text);
    std::string section;
    size_t indent = 0; // of the section's lines; 0 before its first
    std::optional<std::string> cert;
    std::optional<std::string> key;
    bool seenTls = false;
    bool seenUsers = false;
    int number = 0;
    for (std::string text; std::getline(lines, text);) {
        ++number;
        const auto line = Parsed(text, number);
        if (!line) {
            continue;
        }
        const auto fail = [number](const std::string& what) {
            return std::invalid_argument(lumo::format("line {}: {}", number, what));
        };
        if (line->indent == 0) {
            bool& seen = line->key == "tls_server_config" ? seenTls : seenUsers;
            if (line->key != "tls_server_config" && line->key != "basic_auth_users") {
                throw fail(lumo::format("'{}' is not read (only tls_server_config and basic_auth_users)", line->key));
            }
            if (seen || !line->value.empty()) {
                throw fail(lumo::format("'{}' given twice or not as a mapping", line->key));
            }
            seen = true;
            section = line->key;
            indent = 0;
            continue;
        }
        if (section.empty() || (indent != 0 && indent != line->indent)) {
            throw fail("unexpected indentation");
        }
        indent = line->indent;
        if (line->value.empty()) {
            throw fail(lumo::format("'{}' has no value", line->key));
        }
        if (section == "basic_auth_users") {
            if (line->value.size() != BCRYPT_LENGTH || line->value.rfind("$2", 0) != 0) {
                throw fail(lumo::format("the hash of '{}' is not a bcrypt hash", line->key));
            }
            if (!config.users.emplace(line->key, line->value).second) {
                throw fail(lumo::format("user '{}' given twice", line->key));
            }
            continue;
        }
        auto& file = line->key == "cert_file" ? cert : key;
        if (line->key != "cert_file" && line->key != "key_file") {
            throw fail(lumo::format("'{}' is not read (only cert_file and key_file)", line->key));
        }
        if (file) {
            throw fail(lumo::format("'{}' given twice", line->key));
        }
        file = Resolved(line->value, directory);
    }
    if (seenTls) {
        if (!cert || !key) {
            throw std::invalid_argument("tls_server_config needs both cert_file and key_file");
        }
        config.tls = TlsFiles{*cert, *key};
    }
    return config;
}

WebConfig ReadWebConfig(const std::string& path)
{
    const auto fail = [&path](const std::string& why) {
        return MetricsError(lumo::format("cannot use the metrics web config {}: {}", path, why));
    };
    std::ifstream file(path);
    if (!file.is_open()) {
        throw fail(std::strerror(errno));
    }
    std::stringstream text;
    text << file.rdbuf();
    try {
        const size_t slash = path.rfind('/');
        return ParseWebConfig(text.str(), slash == std::string::npos ? "." : path.substr(0, slash));
    } catch (const std::invalid_argument& error) {
        throw fail(error.what());
    }
}

bool Authorized(const std::map<std::string, std::string>& users, const std::string& authorization)
{
    const std::string scheme = "basic ";
    if (authorization.size() <= scheme.size() ||
        strncasecmp(authorization.c_str(), scheme.c_str(), scheme.size()) != 0) {
        return false;
    }
    const std::string credentials = Base64Decoded(Trimmed(authorization.substr(scheme.size())));
    const size_t colon = credentials.find(':');
    const auto user = users.find(credentials.substr(0, colon));
    if (colon == std::string::npos || user == users.end()) {
        return false;
    }
    auto data = std::make_unique<crypt_data>();
    const char* hashed = crypt_r(credentials.c_str() + colon + 1, user->second.c_str(), data.get());
    if (hashed == nullptr || std::strlen(hashed) != user->second.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (size_t i = 0; i < user->second.size(); ++i) {
        difference |= static_cast<unsigned char>(hashed[i] ^ user->second[i]);
    }
    return difference == 0;
}

} // namespace quillMetrics
