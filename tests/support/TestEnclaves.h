// DDS Security enclaves made at test time with the openssl program (no key
// is kept in the tree): one CA for identities and permissions, a governance
// that encrypts data and protects discovery on every test domain, and an
// enclave directory per identity, laid out as --security expects.
#pragma once

#include <string>

namespace lumo::test {

class TestEnclaves
{
public:
    // monitor: subscribes to every topic but those starting "Secret";
    // publisher: publishes and subscribes to every topic; outsider: the
    // publisher's rights, with an identity from another CA;
    // stranger: no grant at all; foreign_permissions: the publisher's
    // rights, with governance and permissions signed by another CA;
    // signed_data: publishes every topic, with a governance that signs the
    // topics' data where the others' encrypt it;
    // cyclone_caller, cyclone_callee: publish every topic (for Cyclone DDS,
    // whose handshake with the monitor's identity only one of them begins).
    // For the checks before joining, each allowed to subscribe to every
    // topic unless said otherwise: expired (its certificate valid in 2020 only) and
    // not_yet_valid (from 2090); comma: the subject "CN=comma\,b", its grant
    // is for "CN=comma\,c"; reordered: the subject "CN=reordered,O=Lumo",
    // its grant names "O=Lumo,CN=reordered"; open_reads: a governance that
    // controls writing every topic and not reading, a grant without rules;
    // payload_only_monitor, payload_only_publisher: the monitor's and the
    // publisher's subjects and grants with a governance that encrypts the
    // topics' data and leaves their submessages in clear; rtps_only_monitor,
    // rtps_only_publisher: the same with whole RTPS messages encrypted and
    // neither data nor submessages on their own;
    // grant_lapsed, grant_not_yet: the grant valid 2000-2010 or from 2090
    // (local time); renewed: a lapsed grant for its subject, then a valid
    // one; misdated: permissions of its own whose not_after has a space
    // where the "T" belongs.
    TestEnclaves();
    ~TestEnclaves();

    TestEnclaves(const TestEnclaves&) = delete;
    TestEnclaves& operator=(const TestEnclaves&) = delete;

    // The enclave directory of an identity named above.
    std::string Dir(const std::string& identity) const;

    // A copy of an identity's enclave, for a test to spoil.
    std::string CopyOf(const std::string& identity, const std::string& copy) const;

private:
    void Run(const std::string& command) const;
    struct Identity
    {
        std::string subject{}; // "/CN=<name>" when empty
        std::string ca = "ca";
        // Both or neither, as openssl ca takes them (YYYYMMDDhhmmssZ);
        // neither: valid for a year from now.
        std::string notBefore{};
        std::string notAfter{};
        std::string permissionsCa = "ca";
        std::string governance = "governance";
        std::string permissions = "permissions";
    };
    void MakeIdentity(const std::string& name, const Identity& identity) const;

    std::string root_;
};

} // namespace lumo::test
