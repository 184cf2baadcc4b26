// Hostile or broken samples on the wire. A writer in this process is matched
// with a running lumoQuillmon, then this process speaks for that writer with
// RTPS DATA messages of its own making, sent by UDP to the monitor's
// participant on 127.0.0.1: broken payloads around two valid samples. The
// monitor must keep running, take only the valid samples, log nothing of its
// own about the rest, and exit normally.
#include <array>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fastdds/dds/publisher/DataWriter.hpp>

#include "ProcessRunner.h"
#include "TestNames.h"
#include "ToolRuns.h"
#include "lumo/componentFramework/DdsPub.h"
#include "lumo/componentFramework/FastDdsCompat.h"

using namespace std::chrono_literals;
using lumo::componentFramework::DdsPub;
using lumo::test::MessagesAt;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

using Bytes = std::vector<uint8_t>;

// The monitor's participant listens for user data on this port of 127.0.0.1
// only. Within this test process's domain's block of ports, above those Fast
// DDS assigns by itself.
uint16_t MonitorPort()
{
    return static_cast<uint16_t>(7400 + 250 * lumo::test::TestDomain() + 150 + getpid() % 50);
}

// Best effort, so that the writer, which writes nothing itself, sends no
// heartbeats that would contradict the sequence numbers used here; UDP on
// 127.0.0.1 only.
std::string QosFile()
{
    const std::string path = ::testing::TempDir() + "crafted-qos-" + std::to_string(getpid()) + ".xml";
    std::ofstream(path) << R"(<?xml version="1.0" encoding="UTF-8" ?>
<dds xmlns="http://www.eprosima.com/XMLSchemas/fastRTPS_Profiles">
  <profiles>
    <transport_descriptors>
      <transport_descriptor>
        <transport_id>crafted_udp_loopback</transport_id>
        <type>UDPv4</type>
        <interfaceWhiteList><address>127.0.0.1</address></interfaceWhiteList>
      </transport_descriptor>
    </transport_descriptors>
    <participant profile_name="Crafted_Monitor">
      <rtps>
        <defaultUnicastLocatorList>
          <locator><udpv4><address>127.0.0.1</address><port>)"
                        << MonitorPort() << R"(</port></udpv4></locator>
        </defaultUnicastLocatorList>
        <userTransports><transport_id>crafted_udp_loopback</transport_id></userTransports>
        <useBuiltinTransports>false</useBuiltinTransports>
      </rtps>
    </participant>
    <participant profile_name="Crafted_Peer">
      <rtps>
        <userTransports><transport_id>crafted_udp_loopback</transport_id></userTransports>
        <useBuiltinTransports>false</useBuiltinTransports>
      </rtps>
    </participant>
    <topic profile_name="Crafted_Monitor"/>
    <topic profile_name="Crafted_Peer"/>
    <data_reader profile_name="Crafted_Monitor">
      <qos><reliability><kind>BEST_EFFORT</kind></reliability></qos>
    </data_reader>
    <data_writer profile_name="Crafted_Peer">
      <qos><reliability><kind>BEST_EFFORT</kind></reliability></qos>
    </data_writer>
  </profiles>
</dds>
)";
    return path;
}

void Put32(Bytes& out, uint32_t value, bool little)
{
    for (int k = 0; k < 4; ++k) {
        out.push_back(static_cast<uint8_t>(value >> (8 * (little ? k : 3 - k))));
    }
}

// A serialized AgnosticTopic: encapsulation id, options, sample id, the
// sequence's length field as given, then the bytes actually there.
Bytes Sample(uint8_t encapsulation, uint32_t id, uint32_t lengthField, const Bytes& bytes)
{
    const bool little = encapsulation == 0x01 || encapsulation == 0x07;
    Bytes out{0x00, encapsulation, 0x00, 0x00};
    Put32(out, id, little);
    Put32(out, lengthField, little);
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

Bytes Floats(std::initializer_list<float> values)
{
    Bytes out(values.size() * sizeof(float));
    std::memcpy(out.data(), std::data(values), out.size());
    return out;
}

// One RTPS message from the writer: header, then a DATA submessage (little
// endian) to every reader of the writer, carrying `payload`.
// `submessageLength` overrides the submessage's stated length.
Bytes DataMessage(const lumo::componentFramework::compat::rtps::GUID_t& writer, uint32_t sequence, const Bytes& payload,
                  std::optional<uint16_t> submessageLength = std::nullopt, uint8_t flags = 0x05)
{
    Bytes out{'R', 'T', 'P', 'S', 2, 3, 0x01, 0x0F};
    out.insert(out.end(), writer.guidPrefix.value, writer.guidPrefix.value + 12);
    out.push_back(0x15);  // DATA
    out.push_back(flags); // E: little endian; D: data present
    const uint16_t length = submessageLength.value_or(static_cast<uint16_t>(20 + payload.size()));
    out.push_back(static_cast<uint8_t>(length & 0xff));
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.insert(out.end(), {0x00, 0x00, 0x10, 0x00}); // extra flags; inline QoS would start 16 bytes on
    out.insert(out.end(), {0x00, 0x00, 0x00, 0x00}); // reader: unknown, i.e. every reader of the writer
    out.insert(out.end(), writer.entityId.value, writer.entityId.value + 4);
    Put32(out, 0, true); // sequence number, high half
    Put32(out, sequence, true);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

void SendToMonitor(const Bytes& message)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(MonitorPort());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto sent = sendto(fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(fd);
    ASSERT_EQ(sent, static_cast<ssize_t>(message.size()));
}

TEST(CraftedData, BrokenSamplesAroundValidOnesAreRefusedAndTheMonitorRunsOn)
{
    const auto topic = lumo::test::UniqueTopic("Crafted");
    const std::string qos = QosFile();
    auto monitor = lumo::test::StartMonitor(
        lumo::test::Confined({"-d", "-c", "-t", topic, "--qos-file", qos, "--qos-profile", "Crafted_Monitor"}));
    ASSERT_TRUE(monitor->WaitForText(lumo::test::MONITOR_READY_LINE, lumo::test::START_TIMEOUT)) << monitor->Output();

    DdsPub peer(qos, "Crafted_Peer", lumo::test::TestDomain(), "craftedPeer");
    peer.CreateParticipant();
    peer.CreatePublisher();
    peer.CreateManyDataWriters({topic});
    ASSERT_TRUE(peer.WaitForMatchedReaders(0, 1, 20s));
    const std::string prefix = "[" + topic + "][0]";
    ASSERT_TRUE(monitor->WaitForText("INFO  " + prefix, 20s)) << monitor->Output();
    const auto writer = peer.Writer(0)->guid();

    const Bytes four{1, 2, 3, 4};
    const std::vector<std::pair<std::string, Bytes>> messages{
        {"sequence length overrunning the message", DataMessage(writer, 1, Sample(0x01, 100, 1000, four))},
        {"sequence length near 2^32", DataMessage(writer, 2, Sample(0x01, 101, 0xFFFFFFFC, four))},
        {"sequence length near 2^32, big endian", DataMessage(writer, 3, Sample(0x00, 102, 0xFFFFFFFF, four))},
        {"unknown encapsulation", DataMessage(writer, 4, Sample(0x12, 103, 4, four))},
        {"parameter-list encapsulation", DataMessage(writer, 5, Sample(0x02, 104, 4, four))},
        {"zero-length data", DataMessage(writer, 6, {})},
        {"valid, XCDR1 little endian", DataMessage(writer, 7, Sample(0x01, 7, 8, Floats({0.5f, 0.501f})))},
        {"encapsulation header only", DataMessage(writer, 8, {0x00, 0x01, 0x00, 0x00})},
        {"id without length field", DataMessage(writer, 9, {0x00, 0x01, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00})},
        {"submessage longer than the message", DataMessage(writer, 10, Sample(0x01, 105, 4, four), 200)},
        {"valid, XCDR2 big endian", DataMessage(writer, 11, Sample(0x06, 8, 8, Floats({0.25f, 0.251f})))},
        {"no data flag", DataMessage(writer, 12, Sample(0x01, 106, 4, four), std::nullopt, 0x01)},
        {"sequence length overrunning the message, after the valid ones",
         DataMessage(writer, 13, Sample(0x01, 107, 5, four))},
    };
    for (const auto& [what, message] : messages) {
        SCOPED_TRACE(what);
        SendToMonitor(message);
        std::this_thread::sleep_for(20ms);
    }
    // The last message has been handled once this one's sample is in.
    SendToMonitor(DataMessage(writer, 14, Sample(0x01, 9, 8, Floats({1.5f, 1.501f}))));
    ASSERT_TRUE(monitor->WaitForText("SampleId: 9. CheckRamp length", 20s)) << monitor->Output();
    // The check's line comes before the sample is counted.
    std::this_thread::sleep_for(500ms);
    monitor->Signal(SIGINT);
    EXPECT_EQ(monitor->Wait(lumo::test::EXIT_TIMEOUT), 0) << monitor->Output();
    std::remove(qos.c_str());

    const auto info = MessagesAt(*monitor, "INFO");
    EXPECT_THAT(info, Contains(prefix + " SampleId: 7. CheckRamp length: 8 [0.5 0.501 - 0.501]"));
    EXPECT_THAT(info, Contains(prefix + " SampleId: 7 Payload size: 8"));
    EXPECT_THAT(info, Contains(prefix + " SampleId: 8. CheckRamp length: 8 [0.25 0.251 - 0.251]"));
    EXPECT_THAT(info, Contains(prefix + " SampleId: 9. CheckRamp length: 8 [1.5 1.501 - 1.501]"));
    EXPECT_THAT(info, Contains(" [" + topic + "][0] #samples: 2 #lost samples: 0"));
    for (const auto& line : info) {
        EXPECT_THAT(line, Not(HasSubstr("SampleId: 10"))) << "a broken sample was taken";
        EXPECT_THAT(line, Not(HasSubstr("mismatch")));
    }
    // Two messages never reach the decoder: Fast DDS 2.9 drops a DATA whose
    // serialized data is empty and one whose submessage is longer than the
    // datagram; the reader reports each as a lost sample. Everything else
    // reaches the decoder, which refuses it.
    EXPECT_THAT(MessagesAt(*monitor, "ERROR"), ElementsAre(prefix + " total_count: 1 total_count_change: 1",
                                                           prefix + " total_count: 2 total_count_change: 1"))
        << monitor->Output();
    EXPECT_THAT(MessagesAt(*monitor, "WARN"), IsEmpty());
    std::cout << "Fast DDS said:\n";
    for (const auto& line : lumo::test::FastDdsMessages(*monitor)) {
        std::cout << "  " << line << "\n";
    }
}

} // namespace
