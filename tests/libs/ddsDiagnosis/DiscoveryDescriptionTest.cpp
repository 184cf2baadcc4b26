// How the monitor names the way a participant discovers its peers, from the
// participant QoS and ROS_DISCOVERY_SERVER, as Fast DDS itself decides.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>

#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/ddsDiagnosis/DiscoveryDescription.h"

using lumo::componentFramework::compat::DiscoverySettingsOf;
using lumo::componentFramework::compat::UdpV4Locator;

namespace {

// The facade's record of the QoS, in words.
std::string DiscoveryDescription(const eprosima::fastdds::dds::DomainParticipantQos& qos, uint32_t domainId)
{
    return lumo::ddsDiagnosis::DiscoveryDescription(DiscoverySettingsOf(qos, domainId));
}

class DiscoveryDescriptionTest : public ::testing::Test
{
protected:
    void SetUp() override { unsetenv("ROS_DISCOVERY_SERVER"); }
    void TearDown() override { unsetenv("ROS_DISCOVERY_SERVER"); }

    eprosima::fastdds::dds::DomainParticipantQos qos_;
};

TEST_F(DiscoveryDescriptionTest, SimpleDiscoveryNamesTheDomainsMulticastGroupAndPort)
{
    EXPECT_EQ(DiscoveryDescription(qos_, 0), "simple, multicast 239.255.0.1:7400");
    EXPECT_EQ(DiscoveryDescription(qos_, 3), "simple, multicast 239.255.0.1:8150");
}

TEST_F(DiscoveryDescriptionTest, InitialPeersAreStaticPeers)
{
    auto withPort = UdpV4Locator("10.0.0.8");
    withPort.port = 7412;
    qos_.wire_protocol().builtin.initialPeersList.push_back(UdpV4Locator("10.0.0.7"));
    qos_.wire_protocol().builtin.initialPeersList.push_back(withPort);
    EXPECT_EQ(DiscoveryDescription(qos_, 0), "static peers 10.0.0.7, 10.0.0.8:7412");
}

TEST_F(DiscoveryDescriptionTest, TheEnvironmentsServersMakeASimpleParticipantAClient)
{
    setenv("ROS_DISCOVERY_SERVER", "10.0.0.5:11811", 1);
    EXPECT_EQ(DiscoveryDescription(qos_, 0), "server, client of 10.0.0.5:11811 (ROS_DISCOVERY_SERVER)");
    // Positions hold the 2.x server ids: empty ones are skipped here; the
    // port defaults to 11811.
    setenv("ROS_DISCOVERY_SERVER", " ;10.0.0.6; 10.0.0.7:14520 ", 1);
    EXPECT_EQ(DiscoveryDescription(qos_, 0), "server, client of 10.0.0.6:11811, 10.0.0.7:14520 (ROS_DISCOVERY_SERVER)");
    setenv("ROS_DISCOVERY_SERVER", ";", 1);
    EXPECT_EQ(DiscoveryDescription(qos_, 0), "simple, multicast 239.255.0.1:7400") << "no server named";
}

} // namespace
