#include "TestEnclaves.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <unistd.h>

#include <gtest/gtest.h>

namespace lumo::test {

namespace fs = std::filesystem;

namespace {

// Every test domain (TestNames.h) lies in 0-230.
const char* GOVERNANCE = R"(<?xml version="1.0" encoding="UTF-8"?>
<dds><domain_access_rules><domain_rule>
  <domains><id_range><min>0</min><max>230</max></id_range></domains>
  <allow_unauthenticated_participants>false</allow_unauthenticated_participants>
  <enable_join_access_control>true</enable_join_access_control>
  <discovery_protection_kind>ENCRYPT</discovery_protection_kind>
  <liveliness_protection_kind>ENCRYPT</liveliness_protection_kind>
  <rtps_protection_kind>NONE</rtps_protection_kind>
  <topic_access_rules><topic_rule>
    <topic_expression>*</topic_expression>
    <enable_discovery_protection>true</enable_discovery_protection>
    <enable_liveliness_protection>true</enable_liveliness_protection>
    <enable_read_access_control>true</enable_read_access_control>
    <enable_write_access_control>true</enable_write_access_control>
    <metadata_protection_kind>ENCRYPT</metadata_protection_kind>
    <data_protection_kind>ENCRYPT</data_protection_kind>
  </topic_rule></topic_access_rules>
</domain_rule></domain_access_rules></dds>
)";

// A grant for "CN=<name>" unless another subject is given.
std::string Grant(const std::string& name, const std::string& rules, const std::string& subject = "",
                  const std::string& notBefore = "2020-01-01T00:00:00",
                  const std::string& notAfter = "2040-01-01T00:00:00")
{
    return "<grant name=\"" + name + "\"><subject_name>" + (subject.empty() ? "CN=" + name : subject) +
           "</subject_name><validity><not_before>" + notBefore + "</not_before><not_after>" + notAfter +
           "</not_after></validity>" + rules + "<default>DENY</default></grant>";
}

std::string Permissions(const std::string& grants)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><dds><permissions>" + grants + "</permissions></dds>\n";
}

const std::string DOMAINS = "<domains><id_range><min>0</min><max>230</max></id_range></domains>";
const std::string READ_ALL = "<allow_rule>" + DOMAINS +
                             "<subscribe><topics><topic>*</topic></topics></subscribe></allow_rule>";
const std::string WRITE_ALL = "<allow_rule>" + DOMAINS +
                              "<publish><topics><topic>*</topic></topics></publish></allow_rule>";
const std::string NO_SECRETS = "<deny_rule>" + DOMAINS +
                               "<subscribe><topics><topic>Secret*</topic></topics></subscribe></deny_rule>";

void Write(const fs::path& path, const std::string& text)
{
    std::ofstream(path) << text;
}

} // namespace

TestEnclaves::TestEnclaves()
{
    root_ = ::testing::TempDir() + "enclaves-" + std::to_string(getpid());
    fs::remove_all(root_);
    fs::create_directories(root_);
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    for (const std::string ca : {"ca", "other_ca"}) {
        Run("openssl req -x509" + ec + " -keyout " + ca + ".key.pem -out " + ca +
            ".cert.pem -days 3650 -subj '/CN=" + ca + "/O=Lumo Test'");
    }
    Write(fs::path(root_) / "governance.xml", GOVERNANCE);
    // The same participants' rules; its topics' data signed, not encrypted.
    std::string signedData = GOVERNANCE;
    signedData.replace(signedData.rfind("ENCRYPT</data"), 7, "SIGN");
    Write(fs::path(root_) / "signed_data.xml", signedData);
    // Reading every topic is open to all, writing one is not.
    std::string openReads = GOVERNANCE;
    openReads.replace(openReads.find("true</enable_read_access_control>"), 4, "false");
    Write(fs::path(root_) / "open_reads.xml", openReads);
    // The cheaper kinds a domain may choose: its data encrypted and the
    // submessages around it in clear, or whole messages encrypted and
    // neither on its own.
    std::string payloadOnly = GOVERNANCE;
    payloadOnly.replace(payloadOnly.find("ENCRYPT</metadata"), 7, "NONE");
    Write(fs::path(root_) / "payload_only.xml", payloadOnly);
    std::string rtpsOnly = payloadOnly;
    rtpsOnly.replace(rtpsOnly.find("NONE</rtps"), 4, "ENCRYPT");
    rtpsOnly.replace(rtpsOnly.find("ENCRYPT</data"), 7, "NONE");
    Write(fs::path(root_) / "rtps_only.xml", rtpsOnly);
    const std::string lapsed = "2000-01-01T00:00:00";
    const std::string ended = "2010-01-01T00:00:00";
    Write(fs::path(root_) / "permissions.xml",
          Permissions(Grant("monitor", NO_SECRETS + READ_ALL) + Grant("publisher", WRITE_ALL + READ_ALL) +
                      Grant("outsider", WRITE_ALL + READ_ALL) + Grant("expired", READ_ALL) +
                      Grant("foreign_permissions", WRITE_ALL + READ_ALL) + Grant("signed_data", WRITE_ALL) +
                      Grant("cyclone_caller", WRITE_ALL) + Grant("cyclone_callee", WRITE_ALL) +
                      Grant("comma", READ_ALL, R"(CN=comma\,c)") + Grant("reordered", READ_ALL, "O=Lumo,CN=reordered") +
                      Grant("open_reads", "") + Grant("grant_lapsed", READ_ALL, "", lapsed, ended) +
                      Grant("grant_not_yet", READ_ALL, "", "2090-01-01T00:00:00", "2099-01-01T00:00:00") +
                      Grant("renewed_2000", READ_ALL, "CN=renewed", lapsed, ended) + Grant("renewed", READ_ALL)));
    Write(fs::path(root_) / "misdated_permissions.xml",
          Permissions(Grant("misdated", READ_ALL, "", "2020-01-01T00:00:00", "2040-01-01 00:00:00")));
    for (const std::string ca : {"ca", "other_ca"}) {
        for (const std::string document : {"governance", "permissions", "signed_data", "open_reads", "payload_only",
                                           "rtps_only", "misdated_permissions"}) {
            Run("openssl smime -sign -text -in " + document + ".xml -out " + document + "." + ca + ".p7s -signer " +
                ca + ".cert.pem -inkey " + ca + ".key.pem");
        }
    }
    // openssl ca, for certificates with dates of their own.
    Write(fs::path(root_) / "dated.cnf", "[ca]\ndefault_ca = dated\n[dated]\ndatabase = dated.index\n"
                                         "new_certs_dir = .\nserial = dated.srl\ndefault_md = sha256\n"
                                         "policy = any\nunique_subject = no\n[any]\ncommonName = supplied\n");
    Write(fs::path(root_) / "dated.index", "");
    Write(fs::path(root_) / "dated.srl", "01\n");
    MakeIdentity("monitor", {});
    MakeIdentity("publisher", {});
    MakeIdentity("outsider", {.ca = "other_ca"});
    MakeIdentity("expired", {.notBefore = "20200101000000Z", .notAfter = "20210101000000Z"});
    MakeIdentity("not_yet_valid", {.notBefore = "20900101000000Z", .notAfter = "20990101000000Z"});
    MakeIdentity("stranger", {});
    MakeIdentity("foreign_permissions", {.permissionsCa = "other_ca"});
    MakeIdentity("signed_data", {.governance = "signed_data"});
    MakeIdentity("cyclone_caller", {});
    MakeIdentity("cyclone_callee", {});
    MakeIdentity("comma", {.subject = "/CN=comma,b"});
    MakeIdentity("reordered", {.subject = "/O=Lumo/CN=reordered"});
    MakeIdentity("open_reads", {.governance = "open_reads"});
    for (const std::string governance : {"payload_only", "rtps_only"}) {
        MakeIdentity(governance + "_monitor", {.subject = "/CN=monitor", .governance = governance});
        MakeIdentity(governance + "_publisher", {.subject = "/CN=publisher", .governance = governance});
    }
    MakeIdentity("grant_lapsed", {});
    MakeIdentity("grant_not_yet", {});
    MakeIdentity("renewed", {});
    MakeIdentity("misdated", {.permissions = "misdated_permissions"});
}

TestEnclaves::~TestEnclaves()
{
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

std::string TestEnclaves::Dir(const std::string& identity) const
{
    return root_ + "/" + identity;
}

std::string TestEnclaves::CopyOf(const std::string& identity, const std::string& copy) const
{
    fs::copy(Dir(identity), Dir(copy), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    return Dir(copy);
}

void TestEnclaves::Run(const std::string& command) const
{
    const std::string line = "cd '" + root_ + "' && " + command + " > openssl.log 2>&1";
    if (std::system(line.c_str()) != 0) {
        std::ifstream log(root_ + "/openssl.log");
        throw std::runtime_error("failed: " + command + "\n" + std::string(std::istreambuf_iterator<char>(log), {}));
    }
}

void TestEnclaves::MakeIdentity(const std::string& name, const Identity& identity) const
{
    fs::create_directories(Dir(name));
    const std::string subject = identity.subject.empty() ? "/CN=" + name : identity.subject;
    Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + name + "/key.pem -out " +
        name + ".csr -subj '" + subject + "'");
    if (identity.notBefore.empty()) {
        Run("openssl x509 -req -in " + name + ".csr -CA " + identity.ca + ".cert.pem -CAkey " + identity.ca +
            ".key.pem -CAcreateserial -days 365 -out " + name + "/cert.pem");
    } else {
        Run("openssl ca -batch -notext -preserveDN -config dated.cnf -in " + name + ".csr -cert " + identity.ca +
            ".cert.pem -keyfile " + identity.ca + ".key.pem -startdate " + identity.notBefore + " -enddate " +
            identity.notAfter + " -out " + name + "/cert.pem");
    }
    Run("cp " + identity.ca + ".cert.pem " + name + "/identity_ca.cert.pem && cp " + identity.permissionsCa +
        ".cert.pem " + name + "/permissions_ca.cert.pem && cp " + identity.governance + "." + identity.permissionsCa +
        ".p7s " + name + "/governance.p7s && cp " + identity.permissions + "." + identity.permissionsCa + ".p7s " +
        name + "/permissions.p7s");
}

} // namespace lumo::test
