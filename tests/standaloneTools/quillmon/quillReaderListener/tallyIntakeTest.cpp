// The listener's per-writer tallies on a real Fast DDS reader, fed by two
// writers of this process, while another thread takes snapshots as the
// report writer does: exact counts per writer, nothing lost to the
// concurrent reads (the suite also runs under ThreadSanitizer).
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "TestNames.h"
#include "lumo/componentFramework/DdsPub.h"
#include "lumo/componentFramework/DdsSub.h"
#include "model/readerTally.h"
#include "quillReaderListener.h"

using namespace std::chrono_literals;
using lumo::componentFramework::AgnosticTopic;
using lumo::componentFramework::DdsPub;
using lumo::componentFramework::DdsSub;
using quillModel::ReaderTally;

namespace {

std::unique_ptr<DdsPub> Writer(const std::string& topic)
{
    auto pub = std::make_unique<DdsPub>(LUMO_TEST_QOS_FILE, "Test_Reliable", lumo::test::TestDomain(), "tallyTest");
    pub->CreateParticipant();
    pub->CreatePublisher();
    pub->CreateManyDataWriters({topic});
    return pub;
}

void Write(DdsPub& pub, uint32_t id)
{
    AgnosticTopic sample;
    sample.sampleId(id);
    sample.payload(std::vector<uint8_t>(16, 0));
    ASSERT_TRUE(pub.Write(0, sample));
}

} // namespace

TEST(TallyIntake, TwoWritersAreCountedExactlyWhileSnapshotsAreTaken)
{
    gExpectedSampleIdIncrement = 1;
    const auto topic = lumo::test::UniqueTopic("Tally");
    auto listener = std::make_shared<QuillReaderListener>(topic.c_str(), 0);
    auto tally = std::make_shared<ReaderTally>(topic, 0, 1);
    listener->AttachTally(tally);
    DdsSub sub(LUMO_TEST_QOS_FILE, "Test_Reliable", lumo::test::TestDomain(), "tallyTest");
    sub.CreateParticipant();
    sub.CreateSubscriber();
    sub.CreateManyDataReaders({{topic, listener, ""}});
    listener->ready_ = true;
    sub.EnableAllDataReaders();

    std::atomic<bool> done{false};
    uint64_t snapshots = 0;
    std::thread reportThread([&] {
        while (!done.load()) {
            const auto snapshot = tally->Snapshot();
            tally->TakeEvents();
            for (const auto& stream : snapshot.streams) {
                EXPECT_LE(stream.missingIds, 1u);
            }
            ++snapshots;
            std::this_thread::sleep_for(1ms);
        }
    });

    auto first = Writer(topic);
    auto second = Writer(topic);
    ASSERT_TRUE(first->WaitForMatchedReaders(0, 1, 20s));
    ASSERT_TRUE(second->WaitForMatchedReaders(0, 1, 20s));
    // First: ids 0..1999 without 700, 1200 twice. Second: 5000..5499.
    for (uint32_t n = 0; n < 2000; ++n) {
        if (n != 700) {
            Write(*first, n);
        }
        if (n == 1200) {
            Write(*first, n);
        }
        if (n < 500) {
            Write(*second, 5000 + n);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (tally->Snapshot().Samples() < 2500 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    done = true;
    reportThread.join();
    sub.DestroyAllDataReaders();

    const auto snapshot = tally->Snapshot();
    ASSERT_EQ(snapshot.streams.size(), 2u);
    const auto& a = snapshot.streams[0].firstId == 0 ? snapshot.streams[0] : snapshot.streams[1];
    const auto& b = snapshot.streams[0].firstId == 0 ? snapshot.streams[1] : snapshot.streams[0];
    EXPECT_EQ(a.samples, 2000u);
    EXPECT_EQ(a.missingIds, 1u);
    EXPECT_EQ(a.publisherSkipped, 1u);
    EXPECT_EQ(a.duplicates, 1u);
    EXPECT_EQ(a.middlewareLost, 0u);
    EXPECT_EQ(a.lastSequence, 2000u);
    EXPECT_EQ(b.samples, 500u);
    EXPECT_EQ(b.firstId, 5000u);
    EXPECT_EQ(b.lastId, 5499u);
    EXPECT_EQ(b.missingIds + b.duplicates + b.middlewareLost, 0u);
    EXPECT_EQ(a.latencySamples + b.latencySamples, 2500u);
    EXPECT_EQ(snapshot.events.matched, 2u);
    EXPECT_GT(snapshots, 0u);
}
