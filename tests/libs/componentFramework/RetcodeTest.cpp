// Fast DDS return codes by name.
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
namespace fdds = eprosima::fastdds::dds;

TEST(Retcode, NamesFastDdsReturnCodes)
{
    EXPECT_EQ(RetcodeToString(0), "RETCODE_OK");
    EXPECT_EQ(RetcodeToString(4), "RETCODE_PRECONDITION_NOT_MET");
    EXPECT_EQ(RetcodeToString(11), "RETCODE_NO_DATA");
    EXPECT_EQ(RetcodeToString(14), "RETCODE_UNKNOWN(14)");
    EXPECT_EQ(RetcodeToString(-1), "RETCODE_UNKNOWN(-1)");
}
