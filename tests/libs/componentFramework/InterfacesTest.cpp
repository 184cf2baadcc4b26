// Interface names and addresses for the white list, and multicast groups.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>

#include "LogCapture.h"
#include "TestNames.h"
#include "lumo/componentFramework/DdsPub.h"
#include "lumo/componentFramework/DdsSub.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/componentFramework/Interfaces.h"
#include "lumo/componentFramework/Retcode.h"

using namespace std::chrono_literals;
using namespace lumo::componentFramework;
using ::testing::ElementsAre;
namespace fdds = eprosima::fastdds::dds;

using ::testing::ThrowsMessage;

TEST(Interfaces, NamesAndAddressesResolveToLocalIPv4Addresses)
{
    EXPECT_THAT(ResolveIPv4Interfaces({"lo"}), ElementsAre("127.0.0.1"));
    EXPECT_THAT(ResolveIPv4Interfaces({"127.0.0.1", "lo"}), ElementsAre("127.0.0.1"));
    EXPECT_THAT(
        [] {
            ResolveIPv4Interfaces({"lo", "nosuchif9"});
        },
        ThrowsMessage<DdsError>("unknown network interface 'nosuchif9'"));
    EXPECT_THAT([] { ResolveIPv4Interfaces({"192.0.2.1"}); },
                ThrowsMessage<DdsError>("interface address '192.0.2.1' is not an address of this host"));
    EXPECT_THAT([] { ResolveIPv4Interfaces({}); }, ThrowsMessage<DdsError>("the interface white list is empty"));

    EXPECT_TRUE(IsIPv4MulticastAddress("239.255.0.1"));
    EXPECT_TRUE(IsIPv4MulticastAddress("224.0.0.0"));
    EXPECT_FALSE(IsIPv4MulticastAddress("240.0.0.1"));
    EXPECT_FALSE(IsIPv4MulticastAddress("223.255.255.255"));
    EXPECT_FALSE(IsIPv4MulticastAddress("239.1"));
    EXPECT_FALSE(IsIPv4MulticastAddress("ff02::1"));
}
