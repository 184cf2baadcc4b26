#include "lumo/ddsSecurity/Enclave.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "AccessDocuments.h"
#include "Certificates.h"
#include "SignedDocument.h"
#include "lumo/Format.h"
#include "lumo/componentFramework/FastDdsCompat.h"

namespace lumo::ddsSecurity {

namespace {

std::string FileUri(const std::string& path)
{
    return "file://" + path;
}

// Messages per session key: 64 MiB of 64 KiB samples, far inside what
// AES-GCM allows one key, whose derivation needs the master key anyway.
constexpr const char* SESSION_MESSAGES = "1024";

const char* ActionText(Access access)
{
    return access == Access::Subscribe ? "subscribing to" : "publishing to";
}

} // namespace

Enclave EnclaveIn(const std::string& directory)
{
    const auto dir = std::filesystem::absolute(directory);
    return Enclave{(dir / "identity_ca.cert.pem").string(),
                   (dir / "cert.pem").string(),
                   (dir / "key.pem").string(),
                   (dir / "permissions_ca.cert.pem").string(),
                   (dir / "governance.p7s").string(),
                   (dir / "permissions.p7s").string()};
}

std::vector<std::pair<std::string, std::string>> PluginProperties(const Enclave& enclave)
{
    return {
        {"dds.sec.auth.plugin", "builtin.PKI-DH"},
        {"dds.sec.auth.builtin.PKI-DH.identity_ca", FileUri(enclave.identityCa)},
        {"dds.sec.auth.builtin.PKI-DH.identity_certificate", FileUri(enclave.certificate)},
        {"dds.sec.auth.builtin.PKI-DH.private_key", FileUri(enclave.privateKey)},
        {"dds.sec.access.plugin", "builtin.Access-Permissions"},
        {"dds.sec.access.builtin.Access-Permissions.permissions_ca", FileUri(enclave.permissionsCa)},
        {"dds.sec.access.builtin.Access-Permissions.governance", FileUri(enclave.governance)},
        {"dds.sec.access.builtin.Access-Permissions.permissions", FileUri(enclave.permissions)},
        {"dds.sec.crypto.plugin", "builtin.AES-GCM-GMAC"},
        // A sender derives a new session key (an HMAC-SHA256 that OpenSSL 3
        // sets up from scratch, ten times a message's cipher set-up) every
        // this many messages, not every 32 (Fast DDS's default). The tools'
        // writers take it from here (DdsPub); a writer profile's own wins.
        {"dds.sec.crypto.maxblockspersession", SESSION_MESSAGES},
    };
}

std::vector<componentFramework::EndpointSecurity> CheckEnclave(const Enclave& enclave, uint32_t domainId,
                                                               const std::vector<std::string>& topics, Access access)
{
    // Every file first: a missing one is the likeliest fault, and the
    // cheapest to name.
    for (const auto* path : {&enclave.identityCa, &enclave.certificate, &enclave.privateKey, &enclave.permissionsCa,
                             &enclave.governance, &enclave.permissions}) {
        ReadEnclaveFile(*path);
    }

    const auto identityCa = LoadCertificate(enclave.identityCa);
    const auto certificate = LoadCertificate(enclave.certificate);
    CheckSignedBy(certificate.get(), enclave.certificate, identityCa.get(), enclave.identityCa, "identity CA");
    CheckValidNow(certificate.get(), enclave.certificate);
    CheckPrivateKey(enclave.privateKey, certificate.get(), enclave.certificate);

    const auto permissionsCa = LoadCertificate(enclave.permissionsCa);
    const auto governance = ParseGovernance(VerifiedContent(enclave.governance, permissionsCa.get(),
                                                            enclave.permissionsCa),
                                            enclave.governance);
    const auto grants = ParsePermissions(VerifiedContent(enclave.permissions, permissionsCa.get(),
                                                         enclave.permissionsCa),
                                         enclave.permissions);

    const std::string subject = SubjectName(certificate.get());
    const auto forSubject = [&subject](bool ordered) {
        return [&subject, ordered](const Grant& g) { return SameSubject(g.subject, subject, ordered); };
    };
    const bool ordered = componentFramework::compat::SUBJECT_ATTRIBUTE_ORDER_MATTERS;
    // As Fast DDS picks it: the first grant for the subject that is valid
    // now; the others for it are passed over.
    const std::time_t now = std::time(nullptr);
    const auto grant = std::find_if(grants.begin(), grants.end(),
                                    [&](const Grant& g) { return forSubject(ordered)(g) && g.ValidAt(now); });
    if (grant == grants.end()) {
        if (const auto dated = std::find_if(grants.begin(), grants.end(), forSubject(ordered)); dated != grants.end()) {
            throw EnclaveError(lumo::format("{}: grant \"{}\" is valid from not_before {} to not_after {} (local "
                                            "time, as Fast DDS reads them); the current time is outside them",
                                            enclave.permissions, dated->name, dated->notBefore, dated->notAfter));
        }
        throw EnclaveError(enclave.permissions + ": no grant for \"" + subject + "\", the subject of " +
                           enclave.certificate +
                           (std::any_of(grants.begin(), grants.end(), forSubject(false))
                                ? " (one names the same attributes in another order, which this Fast DDS refuses)"
                                : ""));
    }
    std::vector<componentFramework::EndpointSecurity> security;
    security.reserve(topics.size());
    for (const auto& topic : topics) {
        security.push_back(governance.EndpointSecurityOf(domainId, topic));
        const auto controlled = governance.AccessControlled(domainId, topic, access);
        if (!controlled) {
            throw EnclaveError(enclave.governance + ": no domain rule for domain " + std::to_string(domainId));
        }
        if (!*controlled) {
            continue;
        }
        if (const auto refusal = grant->Refusal(domainId, topic, access); !refusal.empty()) {
            throw EnclaveError(lumo::format("{}: grant \"{}\" does not allow {} topic \"{}\" on domain {}: {}",
                                            enclave.permissions, grant->name, ActionText(access), topic, domainId,
                                            refusal));
        }
    }
    return security;
}

} // namespace lumo::ddsSecurity
