// A DDS Security enclave laid out as ROS 2 lays one out: the identity (CA,
// certificate, private key) and the access control documents (permissions
// CA, signed governance and permissions), and the participant properties
// that hand them to Fast DDS's built-in plugins.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lumo/componentFramework/DiscoveryRecords.h"

namespace lumo::ddsSecurity {

// A fault of the enclave, found before joining; the text names the file and
// the cause.
class EnclaveError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct Enclave
{
    std::string identityCa;
    std::string certificate;
    std::string privateKey;
    std::string permissionsCa;
    std::string governance;
    std::string permissions;
};

// The six files' paths in `directory` (made absolute: Fast DDS takes them as
// file: URIs).
Enclave EnclaveIn(const std::string& directory);

// The authentication (PKI-DH), access control (Access-Permissions) and
// cryptographic (AES-GCM-GMAC) plugins with the enclave's files.
std::vector<std::pair<std::string, std::string>> PluginProperties(const Enclave& enclave);

enum class Access
{
    Subscribe,
    Publish,
};

// Checks what Fast DDS would refuse later, or silently, or hang on: every
// file a readable regular file of at most 1 MiB, the certificate signed by
// the identity CA and valid now, the key its own, both documents signed by
// the permissions CA, a grant for the certificate's subject valid now that
// allows `access` to every topic on the domain. The first fault
// is an EnclaveError. Returns what the governance makes this participant's
// endpoint on each topic announce, in the topics' order: what a remote
// endpoint's must equal for DDS Security to pair them.
std::vector<componentFramework::EndpointSecurity> CheckEnclave(const Enclave& enclave, uint32_t domainId,
                                                               const std::vector<std::string>& topics, Access access);

} // namespace lumo::ddsSecurity
