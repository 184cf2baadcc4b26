#include "lumo/ddsSecurity/SecurityLog.h"

#include <algorithm>
#include <regex>
#include <utility>

namespace lumo::ddsSecurity {

namespace {

using componentFramework::FastDdsLogEntry;

// "Error validating remote permissions for <prefix>|<entity> (<cause>)." and
// its kin, as Fast DDS 2.9 and 3.6 word them.
const std::regex& AccessRefusal()
{
    static const std::regex pattern(
        R"(^(?:Error validating remote permissions for|Error checking remote participant|)"
        R"(Not receive remote permissions of participant) +((?:[0-9a-f]{2}\.){11}[0-9a-f]{2})\|\S* *)"
        R"((?:\((.*)\))?\.?$)");
    return pattern;
}

// Pairing refused by the security manager: Fast DDS names only the local
// reader, "<prefix>|<entity>".
const std::regex& PairingRefusal()
{
    static const std::regex pattern(R"(^Security manager returns an error for reader (\S+)$)");
    return pattern;
}

// The plugins' causes end in their source position: "... (./src/cpp/
// security/accesscontrol/Permissions.cpp:945)".
std::string WithoutSourcePosition(const std::string& text)
{
    static const std::regex position(R"( *\([^()]*\.cpp:[0-9]+\))");
    return std::regex_replace(text, position, "");
}

bool IsSecurityComplaint(const FastDdsLogEntry& entry)
{
    return entry.kind != FastDdsLogEntry::Kind::Info &&
           (entry.category == "SECURITY" || entry.category == "SECURITY_AUTHENTICATION");
}

// Fast DDS's texts sometimes carry doubled or trailing blanks.
std::string Tidied(const std::string& text)
{
    std::string tidy;
    for (const char c : text) {
        if (c != ' ' || (!tidy.empty() && tidy.back() != ' ')) {
            tidy += c;
        }
    }
    while (!tidy.empty() && tidy.back() == ' ') {
        tidy.pop_back();
    }
    return tidy;
}

} // namespace

void SecurityLog::Consume(const FastDdsLogEntry& entry)
{
    const std::string message = componentFramework::PrintableLogMessage(entry.message);
    std::smatch found;
    std::lock_guard lock(mutex_);
    if (IsSecurityComplaint(entry) && std::regex_match(message, found, AccessRefusal())) {
        KeepAccessRefusal(found[1].str(), message, found[2].str());
    } else if (entry.kind == FastDdsLogEntry::Kind::Error && std::regex_match(message, found, PairingRefusal())) {
        if (refusedPairings_.size() < KEPT_REFUSALS) {
            refusedPairings_.push_back(found[1].str());
        }
    } else if (IsSecurityComplaint(entry)) {
        auto complaint = Tidied(message);
        complaints_.erase(std::remove(complaints_.begin(), complaints_.end(), complaint), complaints_.end());
        complaints_.push_back(std::move(complaint));
        if (complaints_.size() > KEPT_COMPLAINTS) {
            complaints_.pop_front();
        }
    }
}

void SecurityLog::KeepAccessRefusal(const std::string& prefix, const std::string& message, const std::string& cause)
{
    complaints_.erase(std::remove_if(complaints_.begin(), complaints_.end(),
                                     [&message](const std::string& complaint) {
                                         return message.find(complaint) != std::string::npos;
                                     }),
                      complaints_.end());
    if (accessRefusals_.count(prefix) == 0) {
        accessRefusalOrder_.push_back(prefix);
        if (accessRefusalOrder_.size() > KEPT_REFUSALS) {
            accessRefusals_.erase(accessRefusalOrder_.front());
            accessRefusalOrder_.pop_front();
        }
    }
    accessRefusals_[prefix] = Tidied(WithoutSourcePosition(cause));
}

std::string SecurityLog::TakeComplaints()
{
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& complaint : complaints_) {
        text += (text.empty() ? "" : "; ") + complaint;
    }
    complaints_.clear();
    return text;
}

std::map<std::string, std::string> SecurityLog::TakeAccessRefusals()
{
    std::lock_guard lock(mutex_);
    accessRefusalOrder_.clear();
    return std::exchange(accessRefusals_, {});
}

std::vector<std::string> SecurityLog::TakeRefusedPairings()
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> readers(refusedPairings_.begin(), refusedPairings_.end());
    refusedPairings_.clear();
    return readers;
}

SecurityLog& ProcessSecurityLog()
{
    static auto* log = [] {
        auto* made = new SecurityLog();
        componentFramework::AddFastDdsLogHook([made](const auto& entry) { made->Consume(entry); });
        return made;
    }();
    return *log;
}

} // namespace lumo::ddsSecurity
