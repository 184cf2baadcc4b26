// SecurityLog's reading of Fast DDS's security log texts, and what the
// authentication watch reports from it, fed with entries that Fast DDS 2.9.1
// and 3.6.2 logged in the secured e2e scenarios (tests/e2e/
// securedDomainTest.cpp, enclaves of tests/support/TestEnclaves): each kind
// of refusal the log tells of, and entries that tell of none. The watch is
// polled here, at the times the test sets, instead of by its own thread.
#include <chrono>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lumo/componentFramework/Logging.h"
#include "lumo/ddsSecurity/AuthenticationWatch.h"
#include "lumo/ddsSecurity/SecurityLog.h"

using namespace std::chrono_literals;
using ::testing::ElementsAreArray;

namespace {

using lumo::componentFramework::FastDdsLogEntry;
using lumo::componentFramework::ParticipantAnnouncement;
using lumo::ddsSecurity::AuthenticationWatch;
using lumo::ddsSecurity::ParticipantAuthentication;
using lumo::ddsSecurity::SecurityLog;
using Kind = FastDdsLogEntry::Kind;

// The peer whose handshake each row ends with a refusal.
const std::string HANDSHAKE_PEER = "aa.aa.aa.aa.aa.aa.aa.aa.aa.aa.aa.aa";

// What the watch told, one line per call of its hooks.
class Told
{
public:
    AuthenticationWatch::PairingRefusedHook Pairings()
    {
        return [this](const std::string& reader) { lines.push_back("pairing refused for reader " + reader); };
    }
    lumo::ddsSecurity::AuthenticationHook Participants()
    {
        return [this](const ParticipantAuthentication& record) {
            using Outcome = ParticipantAuthentication::Outcome;
            const char* outcome = record.outcome == Outcome::PermissionsRefused ? "permissions refused"
                                  : record.outcome == Outcome::Refused          ? "refused"
                                  : record.outcome == Outcome::Authorized       ? "authorized"
                                                                                : "unsecured";
            lines.push_back(std::string(outcome) + " " + record.guidPrefix + ": " + record.reason);
        };
    }

    std::vector<std::string> lines;
};

struct Row
{
    // The Fast DDS version and the scenario that logged `entries`.
    const char* recorded;
    std::vector<FastDdsLogEntry> entries;
    // What the watch tells on its next poll, then of HANDSHAKE_PEER's refusal.
    std::vector<std::string> told;
};

TEST(SecurityLog, RecordedEntriesMakeTheWatchReportEachRefusalWithItsCause)
{
    const std::vector<Row> rows = {
        // Handshake refused by a peer whose certificate this one cannot
        // verify: Fast DDS gives the cause as two warnings (the first with a
        // doubled blank), then reports the refusal without it.
        {"2.9.1 and 3.6.2 alike, SecuredPublisherIsRead...: the outsider (an identity of another CA) refusing "
         "the monitor",
         {{"SECURITY_AUTHENTICATION", Kind::Warning,
           "Invalidation error of certificate  (unable to get local issuer certificate)"},
          {"SECURITY", Kind::Warning, "Error verifying certificate"}},
         {"refused " + HANDSHAKE_PEER +
          ": Invalidation error of certificate (unable to get local issuer certificate); Error verifying "
          "certificate"}},
        // Authenticated, then refused by access control: the cause, logged
        // first on its own, belongs to that refusal, not to the next
        // handshake's; its source position is left out.
        {"2.9.1, APeerWhosePermissionsAreRefused...: the monitor refusing foreign_permissions",
         {{"SECURITY", Kind::Error,
           "Remote participant PermissionsCA differs from local "
           "(./src/cpp/security/accesscontrol/Permissions.cpp:945)"},
          {"SECURITY", Kind::Error,
           "Error validating remote permissions for 88.e9.b6.ab.bf.8b.66.93.3d.fe.15.3f|0.0.1.c1 (Remote "
           "participant PermissionsCA differs from local (./src/cpp/security/accesscontrol/Permissions.cpp:945))."}},
         {"permissions refused 88.e9.b6.ab.bf.8b.66.93.3d.fe.15.3f: Remote participant PermissionsCA differs from "
          "local",
          "refused " + HANDSHAKE_PEER + ": "}},
        {"3.6.2, APeerWhosePermissionsAreRefused...: the monitor refusing foreign_permissions",
         {{"SECURITY", Kind::Error,
           "Remote participant PermissionsCA differs from local "
           "(/tmp/lumo-fastdds3.ukoVDR/fastdds/Fast-DDS-3.6.2/src/cpp/security/accesscontrol/Permissions.cpp:1007)"},
          {"SECURITY", Kind::Error,
           "Error validating remote permissions for 88.e9.b6.ab.bf.8b.d2.37.99.1e.08.7b|0.0.1.c1 (Remote "
           "participant PermissionsCA differs from local "
           "(/tmp/lumo-fastdds3.ukoVDR/fastdds/Fast-DDS-3.6.2/src/cpp/security/accesscontrol/"
           "Permissions.cpp:1007))."}},
         {"permissions refused 88.e9.b6.ab.bf.8b.d2.37.99.1e.08.7b: Remote participant PermissionsCA differs from "
          "local",
          "refused " + HANDSHAKE_PEER + ": "}},
        // A local reader that the security manager would not pair.
        {"2.9.1, AWriterWhoseGovernanceDiffers...: the monitor's reader and the signed_data writer",
         {{"RTPS_EDP", Kind::Error,
           "Security manager returns an error for reader e0.c5.68.51.cc.20.57.d0.5e.fc.05.31|0.0.1.4"}},
         {"pairing refused for reader e0.c5.68.51.cc.20.57.d0.5e.fc.05.31|0.0.1.4",
          "refused " + HANDSHAKE_PEER + ": "}},
        {"3.6.2, AWriterWhoseGovernanceDiffers...: the monitor's reader and the signed_data writer",
         {{"RTPS_EDP", Kind::Error,
           "Security manager returns an error for reader e0.c5.68.51.cc.20.f4.51.d5.6e.43.ed|0.0.1.4"}},
         {"pairing refused for reader e0.c5.68.51.cc.20.f4.51.d5.6e.43.ed|0.0.1.4",
          "refused " + HANDSHAKE_PEER + ": "}},
        // No refusal of a remote participant, nor of a local reader, and no
        // complaint: the publisher's side of that refused pairing, the crypto
        // plugin's wait for keys, the transports' and writers' warnings.
        {"2.9.1, AWriterWhoseGovernanceDiffers... and SecuredPublisherIsRead...: the publishers' other entries",
         {{"RTPS_EDP", Kind::Error,
           "Security manager returns an error for writer 94.d4.fd.b1.02.84.60.4d.09.fc.36.3b|0.0.1.3"},
          {"SECURITY_CRYPTO", Kind::Warning, "No key material yet"},
          {"RTPS_TRANSPORT_SHM", Kind::Warning, "Buffer is being invalidated, segment_size may be insufficient"}},
         {"refused " + HANDSHAKE_PEER + ": "}},
        {"3.6.2, AWriterWhoseGovernanceDiffers... and SecuredPublisherIsRead...: the publishers' other entries",
         {{"RTPS_EDP", Kind::Error,
           "Security manager returns an error for writer 94.d4.fd.b1.02.84.49.42.f3.e7.52.8d|0.0.1.3"},
          {"SECURITY_CRYPTO", Kind::Warning, "No key material yet"},
          {"RTPS_WRITER", Kind::Warning, "Attempting to add existing reader, updating information."},
          {"RTPS_TRANSPORT_SHM", Kind::Warning, "Buffer is being invalidated, segment_size may be insufficient"}},
         {"refused " + HANDSHAKE_PEER + ": "}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.recorded);
        SecurityLog log;
        Told told;
        AuthenticationWatch watch(told.Participants(), log, [] { return AuthenticationWatch::Clock::now(); });
        watch.SetPairingRefusedHook(told.Pairings());
        watch.Joining(true);
        for (const auto& entry : row.entries) {
            log.Consume(entry);
        }
        watch.Poll();
        watch.Authenticated(HANDSHAKE_PEER, false);
        EXPECT_THAT(told.lines, ElementsAreArray(row.told));
    }
}

// A secured peer heard announcing itself is refused, without a cause, once
// its handshake has not ended within the patience; one that authenticated or
// left meanwhile is not.
TEST(SecurityLog, AnUnansweredHandshakeIsRefusedOnceItsPatienceHasRunOut)
{
    struct Case
    {
        const char* what;
        AuthenticationWatch::Clock::duration elapsed;
        bool authenticated;
        bool removed;
        // At `elapsed`, then at once more the patience later.
        std::vector<std::string> told;
        std::vector<std::string> toldLater;
    };
    const std::string peer = "bb.bb.bb.bb.bb.bb.bb.bb.bb.bb.bb.bb";
    const std::string refused = "refused " + peer + ": ";
    const auto patience = AuthenticationWatch::HANDSHAKE_PATIENCE;
    const std::vector<Case> cases = {
        {"just within its patience", patience - 1ns, false, false, {}, {refused}},
        {"its patience run out, said once", patience, false, false, {refused}, {refused}},
        {"authorized in time", patience, true, false, {"authorized " + peer + ": "}, {"authorized " + peer + ": "}},
        {"gone in time", patience, false, true, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SecurityLog log;
        Told told;
        auto now = AuthenticationWatch::Clock::time_point{} + 1h;
        AuthenticationWatch watch(told.Participants(), log, [&now] { return now; });
        watch.Joining(true);
        watch.Announced(ParticipantAnnouncement{peer, "127.0.0.1", "01.0f", "lumoQuillpub", "DDS:Auth:PKI-DH:1.0"});
        if (c.authenticated) {
            watch.Authenticated(peer, true);
        }
        if (c.removed) {
            watch.Removed(peer);
        }
        now += c.elapsed;
        watch.Poll();
        EXPECT_THAT(told.lines, ElementsAreArray(c.told));
        now += patience;
        watch.Poll();
        EXPECT_THAT(told.lines, ElementsAreArray(c.toldLater));
    }
}

} // namespace
