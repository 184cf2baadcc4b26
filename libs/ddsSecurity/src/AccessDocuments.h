// What the governance and permissions documents decide for one participant:
// which topics' access is controlled, and which grant allows what.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "lumo/componentFramework/DiscoveryRecords.h"
#include "lumo/ddsSecurity/Enclave.h"

namespace lumo::ddsSecurity {

struct DomainSet
{
    struct Range
    {
        uint32_t min = 0;
        uint32_t max = UINT32_MAX;
    };
    std::vector<Range> ranges;

    bool Contains(uint32_t domainId) const;
};

struct Governance
{
    struct TopicRule
    {
        std::string expression;
        bool readAccessControl = true;
        bool writeAccessControl = true;
        bool discoveryProtection = false;
        bool livelinessProtection = false;
        std::string metadataProtection = "NONE"; // a ProtectionKind's name
        std::string dataProtection = "NONE";
    };
    struct DomainRule
    {
        DomainSet domains;
        std::vector<TopicRule> topicRules;
    };
    std::vector<DomainRule> domainRules;

    // Whether `access` to the topic is subject to the permissions on this
    // domain: the first domain rule for the domain, its first topic rule for
    // the topic. Nothing when no domain rule covers the domain.
    std::optional<bool> AccessControlled(uint32_t domainId, const std::string& topic, Access access) const;
    // The attributes a local endpoint on the topic announces, computed as
    // Fast DDS's access control plugin does; none when no rule covers it.
    componentFramework::EndpointSecurity EndpointSecurityOf(uint32_t domainId, const std::string& topic) const;

private:
    const TopicRule* RuleFor(uint32_t domainId, const std::string& topic, bool& domainCovered) const;
};

struct Grant
{
    struct Criterion
    {
        std::vector<std::string> topics;
        std::vector<std::string> partitions; // empty: the default partition only
    };
    struct Rule
    {
        bool allow = true;
        DomainSet domains;
        std::vector<Criterion> publish;
        std::vector<Criterion> subscribe;
    };
    std::string name;
    std::string subject;
    // The validity dates as written, and as Fast DDS reads them: the
    // leading date and time, in this host's local time.
    std::string notBefore;
    std::string notAfter;
    std::time_t validFrom = 0;
    std::time_t validUntil = 0;
    std::vector<Rule> rules;

    bool ValidAt(std::time_t now) const { return validFrom <= now && now <= validUntil; }

    // Why `access` to the topic (in the default partition) is refused; empty
    // when it is allowed. As Fast DDS decides: the first rule for the domain
    // whose criteria name the topic decides, and without one the access is
    // refused, whatever the grant's default.
    std::string Refusal(uint32_t domainId, const std::string& topic, Access access) const;
};

// The signed XML of each document; `path` names the file in errors. A
// grant's validity date that Fast DDS cannot read makes it refuse the whole
// document, and so an EnclaveError here.
Governance ParseGovernance(const std::string& xml, const std::string& path);
std::vector<Grant> ParsePermissions(const std::string& xml, const std::string& path);

// Two distinguished names with the same attributes, spaces around
// separators ignored ("CN=a, O=b" is "CN=a,O=b"); `ordered`: in the same
// order too.
bool SameSubject(const std::string& a, const std::string& b, bool ordered);

} // namespace lumo::ddsSecurity
