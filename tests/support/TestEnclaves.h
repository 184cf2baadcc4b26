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
    // publisher's rights, with an identity from another CA; expired: the
    // monitor's rights, with a certificate that expired at its issue;
    // stranger: no grant at all; foreign_permissions: the publisher's
    // rights, with governance and permissions signed by another CA;
    // signed_data: publishes every topic, with a governance that signs the
    // topics' data where the others' encrypt it;
    // cyclone_caller, cyclone_callee: publish every topic (for Cyclone DDS,
    // whose handshake with the monitor's identity only one of them begins).
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
    void MakeIdentity(const std::string& name, const std::string& ca, const std::string& days,
                      const std::string& permissionsCa = "ca", const std::string& governance = "governance") const;

    std::string root_;
};

} // namespace lumo::test
