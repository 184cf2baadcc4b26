#include "lumo/ddsSecurity/RefusalReport.h"

#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/toolsCommon/Log.h"

namespace lumo::ddsSecurity {

namespace {

// Vendor ids of the RTPS vendor table that a DDS Security peer is likely to
// have.
std::string VendorName(const std::string& vendorId)
{
    if (vendorId == "01.01") {
        return " RTI Connext DDS";
    }
    if (vendorId == "01.03") {
        return " OpenDDS";
    }
    if (vendorId == "01.0f") {
        return " eProsima Fast DDS";
    }
    if (vendorId == "01.10") {
        return " Eclipse Cyclone DDS";
    }
    return {};
}

std::string Participant(const ParticipantAuthentication& record)
{
    // Unknown without an announcement: a secured participant's GUID prefix
    // is a hash of its identity, not led by its vendor id.
    const std::string vendor = record.vendorId.empty() ? std::string("unknown") : record.vendorId;
    std::string text = "participant ";
    if (!record.name.empty()) {
        text += "\"" + record.name + "\" ";
    }
    return text + "(GUID prefix " + record.guidPrefix + ", host " +
           (record.host.empty() ? std::string("unknown") : record.host) + ", vendor " + vendor + VendorName(vendor) +
           ")";
}

std::string AuthenticationReason(const ParticipantAuthentication& record)
{
    if (!record.reason.empty()) {
        return record.reason;
    }
    // Heard, and it asked for no authentication.
    if (componentFramework::compat::ANNOUNCEMENT_BEFORE_AUTHENTICATION && !record.vendorId.empty() &&
        record.identityClass.empty()) {
        return "it joined without DDS Security";
    }
    return "the handshake went unanswered";
}

// What keeps it away, as the line ends.
std::string Refusal(const ParticipantAuthentication& record)
{
    if (record.outcome == ParticipantAuthentication::Outcome::PermissionsRefused) {
        return "its permissions are refused: " +
               (record.reason.empty() ? std::string("access control gave no cause") : record.reason);
    }
    return "authentication failed: " + AuthenticationReason(record);
}

} // namespace

std::string RefusalText(const ParticipantAuthentication& record)
{
    switch (record.outcome) {
    case ParticipantAuthentication::Outcome::Refused:
    case ParticipantAuthentication::Outcome::PermissionsRefused:
        return Participant(record) + " is refused by DDS Security: " + Refusal(record);
    case ParticipantAuthentication::Outcome::Unsecured:
        return Participant(record) + " requires DDS Security (" + record.identityClass +
               "): nothing of it can be read without --security";
    case ParticipantAuthentication::Outcome::Authorized:
        break;
    }
    return {};
}

RefusalReport::RefusalReport(log4cplus::Logger& logger, KeptAwayHook keptAway)
    : logger_(logger)
    , keptAway_(std::move(keptAway))
    , state_(std::make_shared<State>())
{
}

void RefusalReport::operator()(const ParticipantAuthentication& record) const
{
    const std::string text = RefusalText(record);
    if (text.empty()) {
        return;
    }
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->reported.insert(record.guidPrefix).second) {
            return;
        }
    }
    QUILL_LOG_TO(logger_, log4cplus::ERROR_LOG_LEVEL, "{}", text);
    if (keptAway_) {
        auto told = record;
        if (told.outcome != ParticipantAuthentication::Outcome::Unsecured) {
            told.reason = Refusal(record);
        }
        keptAway_(told);
    }
}

} // namespace lumo::ddsSecurity
