// CheckEnclave, the checks of --security's enclave before a participant
// joins, on enclaves made at test time: each fault is the one EnclaveError
// whose text the tool's ERROR line gives, and a sound enclave is accepted.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>

#include "TestEnclaves.h"
#include "TestNames.h"
#include "lumo/componentFramework/DdsPub.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/ddsSecurity/Enclave.h"

using namespace std::chrono_literals;
using lumo::ddsSecurity::Access;

namespace {

namespace fs = std::filesystem;

// Only a check that has regressed comes near it.
constexpr auto CHECK_BOUND = 20s;

// So that a check reading without a bound fails fast in the child instead
// of taking the host's memory. Not under the sanitizers, whose allocators
// it would starve; there the time bound alone ends such a check.
void LimitChildMemory()
{
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const auto limit = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE)) + (rlim_t{256} << 20);
    const rlimit bound{limit, limit};
    setrlimit(RLIMIT_AS, &bound);
#endif
}

// What CheckEnclave ends with for the enclave in `dir`: "accepted", the
// EnclaveError's text, or what else happened. In a child process, so that a
// check that hangs on a FIFO or reads a device without end fails its row.
std::string CheckedInChild(const std::string& dir, uint32_t domainId, const std::string& topic, Access access)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return "no pipe";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        LimitChildMemory();
        std::string outcome = "accepted";
        try {
            lumo::ddsSecurity::CheckEnclave(lumo::ddsSecurity::EnclaveIn(dir), domainId, {topic}, access);
        } catch (const lumo::ddsSecurity::EnclaveError& error) {
            outcome = error.what();
        } catch (const std::exception& error) {
            outcome = std::string("not an EnclaveError: ") + error.what();
        }
        for (size_t sent = 0; sent < outcome.size();) {
            const ssize_t n = write(fds[1], outcome.data() + sent, outcome.size() - sent);
            if (n < 0 && errno != EINTR) {
                break;
            }
            sent += n > 0 ? static_cast<size_t>(n) : 0;
        }
        _exit(0);
    }
    close(fds[1]);
    std::string outcome;
    const auto deadline = std::chrono::steady_clock::now() + CHECK_BOUND;
    bool ended = false;
    while (!ended && pid > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        pollfd ready{fds[0], POLLIN, 0};
        const int polled = left.count() > 0 ? poll(&ready, 1, static_cast<int>(left.count())) : 0;
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            outcome.append(buffer, static_cast<size_t>(n));
        }
        ended = n == 0 || (n < 0 && errno != EINTR);
    }
    close(fds[0]);
    if (pid < 0) {
        return "no child process";
    }
    if (!ended) {
        kill(pid, SIGKILL);
        outcome = "did not end within " + std::to_string(CHECK_BOUND.count()) + " s";
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status) && ended) {
        outcome = "ended by signal " + std::to_string(WTERMSIG(status));
    }
    return outcome;
}

TEST(Enclave, EachFaultIsOneErrorNamingItsFileAndASoundEnclaveIsAccepted)
{
    const lumo::test::TestEnclaves enclaves;
    const auto spoiled = [&enclaves](const std::string& identity, const std::string& copy, auto spoil) {
        const std::string dir = enclaves.CopyOf(identity, copy);
        spoil(dir);
        return dir;
    };
    const std::string tampered = spoiled("monitor", "tampered", [](const std::string& dir) {
        std::ifstream in(dir + "/permissions.p7s");
        std::string text((std::istreambuf_iterator<char>(in)), {});
        text.replace(text.find("<default>DENY"), 13, "<default>ALLOW");
        std::ofstream(dir + "/permissions.p7s") << text;
    });
    const std::string keyless = spoiled("monitor", "keyless",
                                        [](const std::string& dir) { fs::remove(dir + "/key.pem"); });
    const std::string foreignCa = spoiled("outsider", "foreign_ca", [](const std::string& dir) {
        fs::copy_file(dir + "/permissions_ca.cert.pem", dir + "/identity_ca.cert.pem",
                      fs::copy_options::overwrite_existing);
    });
    const std::string zeroCert = spoiled("monitor", "zero_cert", [](const std::string& dir) {
        fs::remove(dir + "/cert.pem");
        fs::create_symlink("/dev/zero", dir + "/cert.pem");
    });
    const std::string fifoKey = spoiled("monitor", "fifo_key", [](const std::string& dir) {
        fs::remove(dir + "/key.pem");
        ASSERT_EQ(mkfifo((dir + "/key.pem").c_str(), 0600), 0);
    });
    const std::string governanceDir = spoiled("monitor", "governance_dir", [](const std::string& dir) {
        fs::remove(dir + "/governance.p7s");
        fs::create_directory(dir + "/governance.p7s");
    });
    // Text after the certificate's PEM block, which OpenSSL passes over.
    const auto paddedTo = [](uintmax_t size) {
        return [size](const std::string& dir) {
            const std::string cert = dir + "/cert.pem";
            std::ofstream(cert, std::ios::app) << std::string(size - fs::file_size(cert), '#');
        };
    };
    const std::string fullCert = spoiled("monitor", "full_cert", paddedTo(1024 * 1024));
    const std::string overfullCert = spoiled("monitor", "overfull_cert", paddedTo(1024 * 1024 + 1));
    const auto dir = [&enclaves](const std::string& identity) { return enclaves.Dir(identity); };

    const auto noGrant = [](const std::string& dir, const std::string& subject) {
        return dir + "/permissions.p7s: no grant for \"" + subject + "\", the subject of " + dir + "/cert.pem";
    };
    const auto outOfDates = [](const std::string& dir, const std::string& grant, const std::string& from,
                               const std::string& to) {
        return dir + "/permissions.p7s: grant \"" + grant + "\" is valid from not_before " + from + " to not_after " +
               to + " (local time, as Fast DDS reads them); the current time is outside them";
    };
    const std::string reorderedRefusal =
        noGrant(dir("reordered"), "CN=reordered,O=Lumo") +
        " (one names the same attributes in another order, which this Fast DDS refuses)";

    struct Row
    {
        std::string dir;
        uint32_t domain;
        std::string topic;
        Access access;
        std::string outcome; // the EnclaveError's text, or "accepted"
    };
    const Access sub = Access::Subscribe;
    const Access pub = Access::Publish;
    const std::vector<Row> rows{
        // The last domain of the ranges in governance and grant.
        {dir("monitor"), 230, "Chatter", sub, "accepted"},
        {dir("monitor"), 231, "Chatter", sub, dir("monitor") + "/governance.p7s: no domain rule for domain 231"},
        {dir("monitor"), 7, "SecretPlans", sub,
         dir("monitor") + "/permissions.p7s: grant \"monitor\" does not allow subscribing to topic \"SecretPlans\" "
                          "on domain 7: a deny rule refuses it"},
        {dir("monitor"), 7, "Chatter", pub,
         dir("monitor") + "/permissions.p7s: grant \"monitor\" does not allow publishing to topic \"Chatter\" on "
                          "domain 7: no rule names it"},
        {dir("expired"), 7, "Chatter", sub,
         dir("expired") + "/cert.pem: certificate has expired: valid from 2020-01-01 00:00:00 UTC to 2021-01-01 "
                          "00:00:00 UTC"},
        {dir("not_yet_valid"), 7, "Chatter", sub,
         dir("not_yet_valid") + "/cert.pem: certificate is not yet valid: valid from 2090-01-01 00:00:00 UTC to "
                                "2099-01-01 00:00:00 UTC"},
        {tampered, 7, "Chatter", sub,
         tampered + "/permissions.p7s: S/MIME signature does not verify against the permissions CA " + tampered +
             "/permissions_ca.cert.pem (digest failure)"},
        {keyless, 7, "Chatter", sub, keyless + "/key.pem: cannot be read: No such file or directory"},
        {foreignCa, 7, "Chatter", sub,
         foreignCa + "/cert.pem: not signed by the identity CA " + foreignCa +
             "/identity_ca.cert.pem (unable to get local issuer certificate)"},
        {dir("stranger"), 7, "Chatter", sub, noGrant(dir("stranger"), "CN=stranger")},
        // The escaped comma is part of the name: "CN=comma\,c" is another.
        {dir("comma"), 7, "Chatter", sub, noGrant(dir("comma"), R"(CN=comma\,b)")},
        {dir("reordered"), 7, "Chatter", sub,
         lumo::componentFramework::compat::SUBJECT_ATTRIBUTE_ORDER_MATTERS ? reorderedRefusal : "accepted"},
        // Reading is not controlled there, writing is.
        {dir("open_reads"), 7, "Chatter", sub, "accepted"},
        {dir("open_reads"), 7, "Chatter", pub,
         dir("open_reads") + "/permissions.p7s: grant \"open_reads\" does not allow publishing to topic \"Chatter\" "
                             "on domain 7: no rule names it"},
        {dir("grant_lapsed"), 7, "Chatter", sub,
         outOfDates(dir("grant_lapsed"), "grant_lapsed", "2000-01-01T00:00:00", "2010-01-01T00:00:00")},
        {dir("grant_not_yet"), 7, "Chatter", sub,
         outOfDates(dir("grant_not_yet"), "grant_not_yet", "2090-01-01T00:00:00", "2099-01-01T00:00:00")},
        // Its lapsed grant comes first and is passed over.
        {dir("renewed"), 7, "Chatter", sub, "accepted"},
        {dir("misdated"), 7, "Chatter", sub,
         dir("misdated") +
             "/permissions.p7s: grant \"misdated\": validity not_after \"2040-01-01 00:00:00\" is not a date and "
             "time of the form 2030-12-31T23:59:59"},
        {zeroCert, 7, "Chatter", sub,
         zeroCert + "/cert.pem: cannot be read: a symbolic link to /dev/zero, a character device, not a regular file"},
        {fifoKey, 7, "Chatter", sub, fifoKey + "/key.pem: cannot be read: a FIFO, not a regular file"},
        {governanceDir, 7, "Chatter", sub,
         governanceDir + "/governance.p7s: cannot be read: a directory, not a regular file"},
        {fullCert, 7, "Chatter", sub, "accepted"},
        {overfullCert, 7, "Chatter", sub,
         overfullCert + "/cert.pem: cannot be read: larger than 1 MiB, the most an enclave file may hold"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dir + (row.access == sub ? " subscribing to " : " publishing to ") + row.topic +
                     " on domain " + std::to_string(row.domain));
        EXPECT_EQ(CheckedInChild(row.dir, row.domain, row.topic, row.access), row.outcome);
    }
}

// The session length --security sets reaches the writers of a secured
// participant (Fast DDS reads it from each writer's own properties), as do
// the other crypto key settings; a writer profile's own value wins.
TEST(Enclave, ItsSessionLengthReachesTheWritersUnlessTheirProfileSetsItsOwn)
{
    const lumo::test::TestEnclaves enclaves;
    using Properties = std::vector<std::pair<std::string, std::string>>;
    const Properties secured = lumo::ddsSecurity::PluginProperties(
        lumo::ddsSecurity::EnclaveIn(enclaves.Dir("publisher")));
    const auto participantValue = [&secured](const std::string& name) {
        const auto found = std::find_if(secured.begin(), secured.end(), [&](const auto& p) { return p.first == name; });
        return found == secured.end() ? std::string("(none)") : found->second;
    };
    const std::string sessionLength = "dds.sec.crypto.maxblockspersession";
    const std::string keySize = "dds.sec.crypto.keysize";
    Properties secured128 = secured;
    secured128.emplace_back(keySize, "128");
    struct Row
    {
        std::string profile;
        Properties participant;
        std::string name;
        std::string writerValue; // "(none)": the writer has no such property
    };
    const std::vector<Row> rows{
        {"Test_Reliable", secured, sessionLength, participantValue(sessionLength)},
        {"Test_Reliable", secured128, keySize, "128"},
        {"Test_OwnSessionLength", secured, sessionLength, "32"},
        {"Test_Reliable", {}, sessionLength, "(none)"},
        // Only the crypto key settings: the plugins' files stay the
        // participant's.
        {"Test_Reliable", secured, "dds.sec.auth.plugin", "(none)"},
    };
    // --security must set a length of its own, or the first row proves
    // nothing.
    ASSERT_NE(participantValue(sessionLength), "(none)");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.profile + " " + row.name + " with " + std::to_string(row.participant.size()) +
                     " participant properties");
        lumo::componentFramework::DdsPub pub(LUMO_TEST_QOS_FILE, row.profile, lumo::test::TestDomain(), "enclaveTest");
        pub.SetParticipantProperties(row.participant);
        pub.CreateParticipant();
        pub.CreatePublisher();
        pub.CreateManyDataWriters({lumo::test::UniqueTopic("Sessions")});
        std::string value = "(none)";
        for (const auto& property : pub.Writer(0)->get_qos().properties().properties()) {
            if (property.name() == row.name) {
                value = property.value();
            }
        }
        EXPECT_EQ(value, row.writerValue);
    }
}

} // namespace
