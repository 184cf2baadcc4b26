#include "AccessDocuments.h"

#include <algorithm>
#include <cctype>
#include <iomanip>
#include <sstream>

#include <fnmatch.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

namespace lumo::ddsSecurity {

namespace {

namespace pt = boost::property_tree;

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The child at `path`, or an empty tree.
const pt::ptree& Child(const pt::ptree& node, const std::string& path)
{
    static const pt::ptree empty;
    const auto child = node.get_child_optional(path);
    return child ? *child : empty;
}

bool Matches(const std::string& pattern, const std::string& name)
{
    return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

bool Flag(const pt::ptree& node, const char* name)
{
    const std::string value = Trimmed(node.get<std::string>(name, "false"));
    return value == "true" || value == "1";
}

uint32_t Number(const pt::ptree& node, const std::string& path)
{
    const std::string text = Trimmed(node.data());
    try {
        size_t used = 0;
        const unsigned long value = std::stoul(text, &used);
        if (used == text.size() && value <= UINT32_MAX) {
            return static_cast<uint32_t>(value);
        }
    } catch (const std::exception&) {
    }
    throw EnclaveError(path + ": \"" + text + "\" is not a domain id");
}

DomainSet Domains(const pt::ptree& rule, const std::string& path)
{
    DomainSet set;
    for (const auto& [name, child] : Child(rule, "domains")) {
        if (name == "id") {
            const uint32_t id = Number(child, path);
            set.ranges.push_back({id, id});
        } else if (name == "id_range") {
            DomainSet::Range range;
            if (const auto min = child.get_child_optional("min")) {
                range.min = Number(*min, path);
            }
            if (const auto max = child.get_child_optional("max")) {
                range.max = Number(*max, path);
            }
            set.ranges.push_back(range);
        }
    }
    return set;
}

std::vector<std::string> Texts(const pt::ptree& parent, const char* list, const char* item)
{
    std::vector<std::string> texts;
    for (const auto& [name, child] : Child(parent, list)) {
        if (name == item) {
            texts.push_back(Trimmed(child.data()));
        }
    }
    return texts;
}

pt::ptree ReadXml(const std::string& xml, const std::string& path)
{
    std::istringstream in(xml);
    pt::ptree tree;
    try {
        pt::read_xml(in, tree, pt::xml_parser::no_comments);
    } catch (const pt::xml_parser_error& error) {
        throw EnclaveError(path + ": the signed document is not readable XML (" + error.message() + ")");
    }
    return tree;
}

// A grant's validity date, read as Fast DDS reads it.
std::time_t ValidityDate(const pt::ptree& grant, const std::string& grantName, const char* which,
                         const std::string& path, std::string& text)
{
    text = Trimmed(grant.get<std::string>(std::string("validity.") + which, ""));
    std::tm date{};
    std::istringstream in(text);
    in >> std::get_time(&date, "%Y-%m-%dT%T");
    if (text.empty() || in.fail()) {
        throw EnclaveError(path + ": grant \"" + grantName + "\": validity " + which + " \"" + text +
                           "\" is not a date and time of the form 2030-12-31T23:59:59");
    }
    return std::mktime(&date);
}

bool NamesTopic(const std::vector<Grant::Criterion>& criteria, const std::string& topic)
{
    return std::any_of(criteria.begin(), criteria.end(), [&topic](const Grant::Criterion& criterion) {
        return std::any_of(criterion.topics.begin(), criterion.topics.end(),
                           [&topic](const std::string& pattern) { return Matches(pattern, topic); });
    });
}

bool NamesDefaultPartition(const std::vector<Grant::Criterion>& criteria)
{
    return std::any_of(criteria.begin(), criteria.end(), [](const Grant::Criterion& criterion) {
        return criterion.partitions.empty() ||
               std::any_of(criterion.partitions.begin(), criterion.partitions.end(),
                           [](const std::string& pattern) { return Matches(pattern, ""); });
    });
}

// "CN=a, O=b" as "TYPE=value" pairs; a backslash escapes a comma.
std::vector<std::string> Attributes(const std::string& name)
{
    std::vector<std::string> attributes;
    std::string current;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || (name[i] == ',' && (i == 0 || name[i - 1] != '\\'))) {
            std::string attribute = Trimmed(current);
            const auto equals = attribute.find('=');
            if (equals != std::string::npos) {
                std::string type = Trimmed(attribute.substr(0, equals));
                std::transform(type.begin(), type.end(), type.begin(),
                               [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
                attributes.push_back(type + "=" + Trimmed(attribute.substr(equals + 1)));
            }
            current.clear();
        } else {
            current += name[i];
        }
    }
    return attributes;
}

} // namespace

bool DomainSet::Contains(uint32_t domainId) const
{
    return std::any_of(ranges.begin(), ranges.end(),
                       [domainId](const Range& range) { return range.min <= domainId && domainId <= range.max; });
}

const Governance::TopicRule* Governance::RuleFor(uint32_t domainId, const std::string& topic, bool& domainCovered) const
{
    domainCovered = false;
    for (const auto& domainRule : domainRules) {
        if (!domainRule.domains.Contains(domainId)) {
            continue;
        }
        domainCovered = true;
        const auto rule = std::find_if(domainRule.topicRules.begin(), domainRule.topicRules.end(),
                                       [&topic](const TopicRule& r) { return Matches(r.expression, topic); });
        return rule == domainRule.topicRules.end() ? nullptr : &*rule;
    }
    return nullptr;
}

std::optional<bool> Governance::AccessControlled(uint32_t domainId, const std::string& topic, Access access) const
{
    bool domainCovered = false;
    const auto* rule = RuleFor(domainId, topic, domainCovered);
    if (!domainCovered) {
        return std::nullopt;
    }
    // No topic rule: the topic is not protected.
    return rule != nullptr && (access == Access::Subscribe ? rule->readAccessControl : rule->writeAccessControl);
}

componentFramework::EndpointSecurity Governance::EndpointSecurityOf(uint32_t domainId, const std::string& topic) const
{
    using Security = componentFramework::EndpointSecurity;
    bool domainCovered = false;
    const auto* rule = RuleFor(domainId, topic, domainCovered);
    if (rule == nullptr) {
        return {};
    }
    const auto flag = [](bool on, uint32_t bit) { return on ? bit : 0U; };
    const std::string& metadata = rule->metadataProtection;
    const bool metadataEncrypted = metadata == "ENCRYPT" || metadata == "ENCRYPT_WITH_ORIGIN_AUTHENTICATION";
    const bool originAuthenticated = metadata == "SIGN_WITH_ORIGIN_AUTHENTICATION" ||
                                     metadata == "ENCRYPT_WITH_ORIGIN_AUTHENTICATION";
    const bool dataEncrypted = rule->dataProtection == "ENCRYPT";
    Security security;
    security.endpoint = Security::VALID | flag(rule->readAccessControl, Security::READ_PROTECTED) |
                        flag(rule->writeAccessControl, Security::WRITE_PROTECTED) |
                        flag(rule->discoveryProtection, Security::DISCOVERY_PROTECTED) |
                        flag(rule->livelinessProtection, Security::LIVELINESS_PROTECTED) |
                        flag(metadata != "NONE", Security::SUBMESSAGE_PROTECTED) |
                        flag(rule->dataProtection != "NONE", Security::PAYLOAD_PROTECTED) |
                        flag(dataEncrypted, Security::KEY_PROTECTED);
    security.plugin = Security::VALID | flag(metadataEncrypted, Security::SUBMESSAGE_ENCRYPTED) |
                      flag(originAuthenticated, Security::SUBMESSAGE_ORIGIN_AUTHENTICATED) |
                      flag(dataEncrypted, Security::PAYLOAD_ENCRYPTED);
    return security;
}

std::string Grant::Refusal(uint32_t domainId, const std::string& topic, Access access) const
{
    for (const auto& rule : rules) {
        const auto& criteria = access == Access::Subscribe ? rule.subscribe : rule.publish;
        if (!rule.domains.Contains(domainId) || !NamesTopic(criteria, topic)) {
            continue;
        }
        if (!rule.allow) {
            return "a deny rule refuses it";
        }
        return NamesDefaultPartition(criteria) ? std::string() : "its allow rule leaves out the default partition";
    }
    return "no rule names it";
}

Governance ParseGovernance(const std::string& xml, const std::string& path)
{
    const auto tree = ReadXml(xml, path);
    Governance governance;
    for (const auto& [name, node] : Child(tree, "dds.domain_access_rules")) {
        if (name != "domain_rule") {
            continue;
        }
        Governance::DomainRule domainRule{Domains(node, path), {}};
        for (const auto& [ruleName, rule] : Child(node, "topic_access_rules")) {
            if (ruleName == "topic_rule") {
                domainRule.topicRules.push_back(
                    {Trimmed(rule.get<std::string>("topic_expression", "")), Flag(rule, "enable_read_access_control"),
                     Flag(rule, "enable_write_access_control"), Flag(rule, "enable_discovery_protection"),
                     Flag(rule, "enable_liveliness_protection"),
                     Trimmed(rule.get<std::string>("metadata_protection_kind", "NONE")),
                     Trimmed(rule.get<std::string>("data_protection_kind", "NONE"))});
            }
        }
        governance.domainRules.push_back(std::move(domainRule));
    }
    return governance;
}

std::vector<Grant> ParsePermissions(const std::string& xml, const std::string& path)
{
    const auto tree = ReadXml(xml, path);
    std::vector<Grant> grants;
    for (const auto& [name, node] : Child(tree, "dds.permissions")) {
        if (name != "grant") {
            continue;
        }
        Grant grant;
        grant.name = node.get<std::string>("<xmlattr>.name", "");
        grant.subject = Trimmed(node.get<std::string>("subject_name", ""));
        grant.validFrom = ValidityDate(node, grant.name, "not_before", path, grant.notBefore);
        grant.validUntil = ValidityDate(node, grant.name, "not_after", path, grant.notAfter);
        for (const auto& [ruleName, rule] : node) {
            if (ruleName != "allow_rule" && ruleName != "deny_rule") {
                continue;
            }
            Grant::Rule parsed{ruleName == "allow_rule", Domains(rule, path), {}, {}};
            for (const auto& [kind, criterion] : rule) {
                if (kind == "publish" || kind == "subscribe") {
                    Grant::Criterion read{Texts(criterion, "topics", "topic"),
                                          Texts(criterion, "partitions", "partition")};
                    (kind == "publish" ? parsed.publish : parsed.subscribe).push_back(std::move(read));
                }
            }
            grant.rules.push_back(std::move(parsed));
        }
        grants.push_back(std::move(grant));
    }
    return grants;
}

bool SameSubject(const std::string& a, const std::string& b, bool ordered)
{
    auto first = Attributes(a);
    auto second = Attributes(b);
    if (!ordered) {
        std::sort(first.begin(), first.end());
        std::sort(second.begin(), second.end());
    }
    return first == second;
}

} // namespace lumo::ddsSecurity
