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

std::string Grant(const std::string& name, const std::string& rules)
{
    return "<grant name=\"" + name + "\"><subject_name>CN=" + name +
           "</subject_name>"
           "<validity><not_before>2020-01-01T00:00:00</not_before><not_after>2040-01-01T00:00:00</not_after>"
           "</validity>" +
           rules + "<default>DENY</default></grant>";
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
    Write(fs::path(root_) / "permissions.xml",
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?><dds><permissions>" + Grant("monitor", NO_SECRETS + READ_ALL) +
              Grant("publisher", WRITE_ALL + READ_ALL) + Grant("outsider", WRITE_ALL + READ_ALL) +
              Grant("expired", READ_ALL) + Grant("foreign_permissions", WRITE_ALL + READ_ALL) +
              Grant("signed_data", WRITE_ALL) + Grant("cyclone_caller", WRITE_ALL) +
              Grant("cyclone_callee", WRITE_ALL) + "</permissions></dds>\n");
    for (const std::string ca : {"ca", "other_ca"}) {
        for (const std::string document : {"governance", "permissions", "signed_data"}) {
            Run("openssl smime -sign -text -in " + document + ".xml -out " + document + "." + ca + ".p7s -signer " +
                ca + ".cert.pem -inkey " + ca + ".key.pem");
        }
    }
    MakeIdentity("monitor", "ca", "365");
    MakeIdentity("publisher", "ca", "365");
    MakeIdentity("outsider", "other_ca", "365");
    // -1: it expires a day before it starts, as good as expired at issue.
    MakeIdentity("expired", "ca", "-1");
    MakeIdentity("stranger", "ca", "365");
    MakeIdentity("foreign_permissions", "ca", "365", "other_ca");
    MakeIdentity("signed_data", "ca", "365", "ca", "signed_data");
    MakeIdentity("cyclone_caller", "ca", "365");
    MakeIdentity("cyclone_callee", "ca", "365");
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

void TestEnclaves::MakeIdentity(const std::string& name, const std::string& ca, const std::string& days,
                                const std::string& permissionsCa, const std::string& governance) const
{
    fs::create_directories(Dir(name));
    Run("openssl req" + std::string(" -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes") + " -keyout " + name +
        "/key.pem -out " + name + ".csr -subj '/CN=" + name + "'");
    Run("openssl x509 -req -in " + name + ".csr -CA " + ca + ".cert.pem -CAkey " + ca + ".key.pem -CAcreateserial" +
        " -days " + days + " -out " + name + "/cert.pem");
    Run("cp " + ca + ".cert.pem " + name + "/identity_ca.cert.pem && cp " + permissionsCa + ".cert.pem " + name +
        "/permissions_ca.cert.pem && cp " + governance + "." + permissionsCa + ".p7s " + name +
        "/governance.p7s && cp permissions." + permissionsCa + ".p7s " + name + "/permissions.p7s");
}

} // namespace lumo::test
