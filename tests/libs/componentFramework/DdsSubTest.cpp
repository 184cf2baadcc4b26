// The DDS facade stand-in against real Fast DDS: QoS file and profile
// handling, reader creation and listener lifetime, every shipped profile
// carrying samples, raw readers' set-up, and the discovery hook. All on
// loopback.
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
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include "LogCapture.h"
#include "TestNames.h"
#include "lumo/componentFramework/DdsPub.h"
#include "lumo/componentFramework/DdsSub.h"
#include "lumo/componentFramework/FastDdsCompat.h"
#include "lumo/componentFramework/Interfaces.h"
#include "lumo/componentFramework/RawTopicType.h"
#include "lumo/componentFramework/Retcode.h"

using namespace std::chrono_literals;
using namespace lumo::componentFramework;
using ::testing::StartsWith;
namespace fdds = eprosima::fastdds::dds;

namespace {

const std::string SHIPPED_QOS = LUMO_SHIPPED_QOS_FILE;

// Counts what arrives, nothing else.
class CountingListener : public fdds::DataReaderListener
{
public:
    void on_data_available(fdds::DataReader* reader) override
    {
        AgnosticTopic sample;
        fdds::SampleInfo info;
        while (compat::IsOk(reader->take_next_sample(&sample, &info))) {
            if (info.valid_data) {
                ++received;
            }
        }
    }
    std::atomic<int> received{0};
};

std::string ErrorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const DdsError& e) {
        return e.what();
    }
    return "no error";
}

// The shared-memory segments (not ports) this process has mapped, by path.
std::set<std::string> MappedSegments()
{
    std::set<std::string> segments;
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        const auto at = line.find("/dev/shm/fast");
        if (at != std::string::npos && line.find("_port", at) == std::string::npos) {
            segments.insert(line.substr(at));
        }
    }
    return segments;
}

// Size of the one segment mapped since `before`; 0 when not exactly one.
uintmax_t NewSegmentSize(const std::set<std::string>& before)
{
    std::vector<std::string> added;
    for (const auto& segment : MappedSegments()) {
        if (before.count(segment) == 0) {
            added.push_back(segment);
        }
    }
    return added.size() == 1 ? std::filesystem::file_size(added.front()) : 0;
}

TEST(QosFile, RelativeNameIsFoundBesideTheExecutableWhenNotInTheWorkingDirectory)
{
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path(::testing::TempDir());
    const auto resolved = ResolveQosFile(Dds::TELEM_DP_QOS_FILE);
    std::filesystem::current_path(here);
    EXPECT_NE(resolved, Dds::TELEM_DP_QOS_FILE);
    EXPECT_TRUE(std::filesystem::is_regular_file(resolved)) << resolved;
    EXPECT_EQ(ResolveQosFile("/abs/missing.xml"), "/abs/missing.xml");
}

TEST(QosFile, UnknownProfileAndMissingFileNameBoth)
{
    DdsSub unknown(SHIPPED_QOS, "No_Such_Profile", lumo::test::TestDomain(), "facadeTest");
    EXPECT_EQ(ErrorOf([&] { unknown.CreateParticipant(); }),
              "QoS profile 'No_Such_Profile' has no <participant> in QoS file '" + SHIPPED_QOS + "'");
    DdsSub missing("missing-qos.xml", "Lumo_Default_Profile", 0, "facadeTest");
    EXPECT_EQ(ErrorOf([&] { missing.CreateParticipant(); }),
              "QoS file 'missing-qos.xml' not found (profile 'Lumo_Default_Profile')");
    EXPECT_EQ(ErrorOf([&] { missing.CreateSubscriber(); }), "the participant does not exist yet");
}

TEST(Readers, StartDisabledListenAndKeepTheirListenersAliveUntilDeleted)
{
    const auto topic = lumo::test::UniqueTopic("Facade");
    auto sub = std::make_unique<DdsSub>(SHIPPED_QOS, Dds::DEFAULT_QOS_PROFILE, lumo::test::TestDomain(), "facadeTest");
    sub->SetInterfaceWhiteList({lumo::test::LOOPBACK});
    sub->CreateParticipant();
    sub->CreateSubscriber();
    std::weak_ptr<fdds::DataReaderListener> watch;
    {
        std::vector<DdsReaderParams> params;
        auto listener = std::make_shared<CountingListener>();
        watch = listener;
        params.push_back({topic, listener, ""});
        params.push_back({topic, listener, "239.255.42.7"});
        sub->CreateManyDataReaders(params);
    }
    EXPECT_FALSE(watch.expired()); // the caller let go; the facade did not
    ASSERT_EQ(sub->ReaderCount(), 2u);
    auto* first = sub->Reader(0);
    auto* second = sub->Reader(1);
    EXPECT_FALSE(first->is_enabled());
    EXPECT_EQ(first->get_topicdescription(), second->get_topicdescription()); // one Topic
    const auto mask = first->get_status_mask();
    EXPECT_TRUE(mask.is_active(fdds::StatusMask::data_available()));
    EXPECT_TRUE(mask.is_active(fdds::StatusMask::subscription_matched()));
    EXPECT_TRUE(mask.is_active(fdds::StatusMask::liveliness_changed()));
    EXPECT_TRUE(mask.is_active(fdds::StatusMask::sample_rejected()));
    EXPECT_TRUE(mask.is_active(fdds::StatusMask::sample_lost()));
    EXPECT_TRUE(mask.is_active(fdds::StatusMask::requested_deadline_missed()));
    EXPECT_TRUE(mask.is_active(fdds::StatusMask::requested_incompatible_qos()));
    EXPECT_FALSE(mask.is_active(fdds::StatusMask::data_on_readers()));
    EXPECT_TRUE(first->get_qos().endpoint().multicast_locator_list.empty());
    const auto& group = second->get_qos().endpoint().multicast_locator_list;
    ASSERT_EQ(group.size(), 1u);
    EXPECT_EQ(compat::IPv4Text(*group.begin()), "239.255.42.7");

    // A raw reader: its own subscriber, of every partition, and its type's
    // name and kind; a topic keeps one type and a type name one kind.
    const auto rawTopic = lumo::test::UniqueTopic("FacadeRaw");
    ASSERT_EQ(sub->CreateRawDataReader({rawTopic, "Foreign::Keyed", true, watch.lock(), ""}), 2u);
    const auto request = sub->ReaderRequest(2);
    EXPECT_EQ(request.typeName, "Foreign::Keyed");
    EXPECT_TRUE(request.keyed);
    EXPECT_EQ(request.partitions, compat::EveryPartition());
    EXPECT_EQ(request.reliability, sub->ReaderRequest(0).reliability);
    EXPECT_EQ(sub->ReaderRequest(0).typeName, AgnosticTopicPubSubType::TYPE_NAME);
    EXPECT_FALSE(sub->ReaderRequest(0).keyed);
    EXPECT_TRUE(sub->ReaderRequest(0).partitions.empty());
    const auto rawQos = sub->Reader(2)->get_qos();
    EXPECT_EQ(rawQos.history().kind, fdds::KEEP_ALL_HISTORY_QOS);
    EXPECT_FALSE(rawQos.expects_inline_qos());
    EXPECT_EQ(ErrorOf([&] {
                  sub->CreateRawDataReader({topic, "Foreign::Keyed", true, nullptr, ""});
              }),
              "topic '" + topic + "' is already read with type '" + AgnosticTopicPubSubType::TYPE_NAME +
                  "', not 'Foreign::Keyed'");
    EXPECT_EQ(
        ErrorOf([&] {
            sub->CreateRawDataReader({lumo::test::UniqueTopic("FacadeRaw"), "Foreign::Keyed", false, nullptr, ""});
        }),
        "type 'Foreign::Keyed' is already read keyed, not keyless");
    // The toolkit's own type gives its name up only while no topic uses it.
    EXPECT_EQ(ErrorOf([&] {
                  sub->CreateRawDataReader(
                      {lumo::test::UniqueTopic("FacadeRaw"), AgnosticTopicPubSubType::TYPE_NAME, false, nullptr, ""});
              }),
              std::string("type '") + AgnosticTopicPubSubType::TYPE_NAME +
                  "' is in use as the toolkit's own, not as raw bytes");
    // Once it has, no reader takes the raw type for its own.
    DdsSub rawOnly(SHIPPED_QOS, Dds::DEFAULT_QOS_PROFILE, lumo::test::TestDomain(), "facadeTest");
    rawOnly.SetInterfaceWhiteList({lumo::test::LOOPBACK});
    rawOnly.CreateParticipant();
    rawOnly.CreateSubscriber();
    rawOnly.CreateRawDataReader({rawTopic, AgnosticTopicPubSubType::TYPE_NAME, false, nullptr, ""});
    EXPECT_EQ(ErrorOf([&] {
                  rawOnly.CreateManyDataReaders({{topic, nullptr, ""}});
              }),
              std::string("type '") + AgnosticTopicPubSubType::TYPE_NAME +
                  "' is read as raw bytes: no AgnosticTopic reader on topic '" + topic + "'");

    sub->EnableAllDataReaders();
    EXPECT_TRUE(first->is_enabled());
    EXPECT_TRUE(sub->Reader(2)->is_enabled());
    // After the start too, enabled on its own.
    const size_t late = sub->CreateRawDataReader({rawTopic, "Foreign::Keyed", true, watch.lock(), ""});
    EXPECT_EQ(sub->Reader(late)->get_topicdescription(), sub->Reader(2)->get_topicdescription());
    EXPECT_FALSE(sub->Reader(late)->is_enabled());
    sub->EnableDataReader(late);
    EXPECT_TRUE(sub->Reader(late)->is_enabled());
    sub->DestroyAllDataReaders();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(sub->ReaderCount(), 0u);
}

TEST(Readers, DestructorWithoutDestroyDeletesReadersBeforeReleasingListeners)
{
    std::weak_ptr<fdds::DataReaderListener> watch;
    {
        DdsSub sub(SHIPPED_QOS, Dds::DEFAULT_QOS_PROFILE, lumo::test::TestDomain(), "facadeTest");
        sub.SetInterfaceWhiteList({"lo"});
        sub.CreateParticipant();
        sub.CreateSubscriber();
        auto listener = std::make_shared<CountingListener>();
        watch = listener;
        sub.CreateManyDataReaders({{lumo::test::UniqueTopic("Dtor"), listener, ""}});
        sub.EnableAllDataReaders();
        EXPECT_EQ(ErrorOf([&] {
                      sub.CreateManyDataReaders({{"T", listener, "10.0.0.1"}});
                  }),
                  "invalid multicast address '10.0.0.1' for topic 'T' (expected an IPv4 group, 224.0.0.0 to "
                  "239.255.255.255)");
    }
    EXPECT_TRUE(watch.expired());
}

// Counts data-available calls and takes nothing: the test takes the samples
// itself, on loan.
class KnockingListener : public fdds::DataReaderListener
{
public:
    void on_data_available(fdds::DataReader*) override { ++calls; }
    std::atomic<int> calls{0};
};

bool WaitUntil(const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// A keyed type of the test's own: its key is the sample's first four bytes
// after the encapsulation header, so that a Fast DDS writer sends each
// dispose with its instance's key hash, as it does for any keyed type.
class KeyedTestType : public compat::RawTopicType
{
public:
    KeyedTestType()
        : RawTopicType("lumo::test::Keyed", true)
    {
    }
#if LUMO_FASTDDS_MAJOR >= 3
    bool compute_key(compat::rtps::SerializedPayload_t& payload, compat::rtps::InstanceHandle_t& handle, bool) override
    {
        return KeyOf(payload.data, payload.length, handle);
    }
    bool compute_key(const void* const data, compat::rtps::InstanceHandle_t& handle, bool) override
    {
        const auto& bytes = static_cast<const compat::RawSample*>(data)->bytes;
        return KeyOf(bytes.data(), static_cast<uint32_t>(bytes.size()), handle);
    }
#else
    bool getKey(void* data, compat::rtps::InstanceHandle_t* handle, bool) override
    {
        const auto& bytes = static_cast<const compat::RawSample*>(data)->bytes;
        return KeyOf(bytes.data(), static_cast<uint32_t>(bytes.size()), *handle);
    }
#endif

private:
    static bool KeyOf(const uint8_t* bytes, uint32_t length, compat::rtps::InstanceHandle_t& handle)
    {
        if (length < 8) {
            return false;
        }
        handle = compat::rtps::InstanceHandle_t();
        for (int i = 0; i < 4; ++i) {
            handle.value[i] = bytes[4 + i];
        }
        handle.value[15] = 7;
        return true;
    }
};

constexpr int INSTANCES = 1000;

// A publisher with a writer of the keyed test type, of INSTANCES instances.
class KeyedPub : public DdsPub
{
public:
    using DdsPub::DdsPub;

    fdds::DataWriter* KeyedWriter(const std::string& topicName)
    {
        fdds::TypeSupport type(new KeyedTestType());
        if (!compat::IsOk(type.register_type(Participant()))) {
            return nullptr;
        }
        publisher_ = Participant()->create_publisher(Participant()->get_default_publisher_qos());
        fdds::DataWriterQos qos = publisher_->get_default_datawriter_qos();
        publisher_->get_datawriter_qos_from_profile(QosProfile(), qos);
        qos.history().kind = fdds::KEEP_ALL_HISTORY_QOS;
        qos.resource_limits().max_instances = INSTANCES;
        qos.resource_limits().max_samples_per_instance = 10;
        qos.resource_limits().max_samples = INSTANCES * 10;
        return publisher_->create_datawriter(FindOrCreateTopic(topicName, "lumo::test::Keyed"), qos);
    }

private:
    fdds::Publisher* publisher_ = nullptr;
};

// Takes raw samples: those with data, those without (disposes), and the
// samples the reader refused.
class RawCountingListener : public fdds::DataReaderListener
{
public:
    void on_data_available(fdds::DataReader* reader) override
    {
        compat::RawSample sample;
        fdds::SampleInfo info;
        while (compat::IsOk(reader->take_next_sample(&sample, &info))) {
            ++(info.valid_data ? samples : withoutData);
        }
    }
    void on_sample_rejected(fdds::DataReader*, const fdds::SampleRejectedStatus& status) override
    {
        rejected += status.total_count_change;
    }
    std::atomic<int> samples{0};
    std::atomic<int> withoutData{0};
    std::atomic<int> rejected{0};
};

// A keyed writer of many instances that disposes them as it goes, flat out:
// a raw reader admits every dispose, whatever the instance count, with the
// shipped history and with one raised as the README advises (no abort), and
// refuses nothing. Whatever the profile, the raw reader keeps all samples.
TEST(RawReaders, AKeyedWritersDisposesOfManyInstancesAreAllAdmittedAndNothingIsRefused)
{
    // The raw type itself keys every sample alike, with a handle that counts
    // as one (2.x leaves a sample of the zero handle unread).
    compat::RawTopicType rawType("Foreign::Keyed", true);
    compat::RawSample any;
    any.bytes = {0, 1, 0, 0, 9};
    compat::rtps::InstanceHandle_t fixed;
#if LUMO_FASTDDS_MAJOR >= 3
    ASSERT_TRUE(rawType.compute_key(&any, fixed, false));
#else
    ASSERT_TRUE(rawType.getKey(&any, &fixed, false));
#endif
    EXPECT_TRUE(fixed.isDefined());
    constexpr int WRITES = 5000;
    constexpr int DISPOSE_EVERY = 50;
    const auto raised = std::filesystem::temp_directory_path() / lumo::test::UniqueTopic("raisedQos.xml");
    {
        std::ifstream in(SHIPPED_QOS);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (const std::string tag : {"max_samples", "max_samples_per_instance"}) {
            const std::string from = "<" + tag + ">256</" + tag + ">";
            for (auto at = text.find(from); at != std::string::npos; at = text.find(from)) {
                text.replace(at, from.size(), "<" + tag + ">100000</" + tag + ">");
            }
        }
        // Profiles and transports of their own: the process has loaded the
        // shipped ones.
        for (const auto& [from, to] :
             {std::pair<std::string, std::string>{"profile_name=\"Lumo_", "profile_name=\"Raised_Lumo_"},
              {">lumo_", ">raised_lumo_"}}) {
            for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
                text.replace(at, from.size(), to);
            }
        }
        std::ofstream(raised) << text;
    }
    struct Case
    {
        std::string name;
        std::string qosFile;
        std::string profile;
        bool counted; // best effort may drop, and refuses for room
    };
    for (const auto& c : std::vector<Case>{
             {"the shipped history", SHIPPED_QOS, "Lumo_Default_Profile", true},
             {"max_samples and max_samples_per_instance raised to 100000", raised, "Raised_Lumo_Default_Profile", true},
             {"a KEEP_LAST profile", SHIPPED_QOS, "Lumo_BestEffort_Profile", false},
         }) {
        SCOPED_TRACE(c.name);
        const auto topic = lumo::test::UniqueTopic("KeyedRaw");
        auto listener = std::make_shared<RawCountingListener>();
        DdsSub sub(c.qosFile, c.profile, lumo::test::TestDomain(), "facadeTest");
        sub.SetInterfaceWhiteList({lumo::test::LOOPBACK});
        sub.CreateParticipant();
        sub.CreateSubscriber();
        const size_t index = sub.CreateRawDataReader({topic, "lumo::test::Keyed", true, listener, ""});
        EXPECT_EQ(sub.Reader(index)->get_qos().history().kind, fdds::KEEP_ALL_HISTORY_QOS);
        if (!c.counted) {
            continue;
        }
        sub.EnableAllDataReaders();
        KeyedPub pub(c.qosFile, c.profile, lumo::test::TestDomain(), "facadeTest");
        pub.SetInterfaceWhiteList({lumo::test::LOOPBACK});
        pub.CreateParticipant();
        auto* writer = pub.KeyedWriter(topic);
        ASSERT_NE(writer, nullptr);
        fdds::PublicationMatchedStatus matched;
        ASSERT_TRUE(WaitUntil([&] {
            return compat::IsOk(writer->get_publication_matched_status(matched)) && matched.current_count == 1;
        }));
        int disposes = 0;
        for (int i = 0; i < WRITES; ++i) {
            // CDR_LE, then the key (little-endian) and 8 bytes of data.
            const auto key = static_cast<uint32_t>(i % INSTANCES);
            compat::RawSample sample;
            sample.bytes.assign(16, 0);
            sample.bytes[1] = 1;
            for (int b = 0; b < 4; ++b) {
                sample.bytes[4 + b] = static_cast<uint8_t>(key >> (8 * b));
            }
            ASSERT_TRUE(compat::WriteSucceeded(writer->write(&sample))) << i;
            if ((i + 1) % DISPOSE_EVERY == 0) {
                ASSERT_TRUE(compat::IsOk(writer->dispose(&sample, fdds::HANDLE_NIL)));
                ++disposes;
            }
        }
        EXPECT_TRUE(WaitUntil([&] { return listener->samples == WRITES && listener->withoutData == disposes; }))
            << listener->samples << " samples, " << listener->withoutData << " without data";
        EXPECT_EQ(listener->rejected, 0);
        sub.DestroyAllDataReaders();
    }
    std::filesystem::remove(raised);
}

// A reader with samples on loan cannot be deleted: it lives on and still
// calls its listener, which must therefore outlive every reference the
// caller and the facade had.
TEST(Readers, AFailedDeleteIsLoggedAndTheListenerOutlivesTheFacade)
{
    const auto topic = lumo::test::UniqueTopic("Undeletable");
    lumo::test::LogCapture log;
    DdsPub pub(LUMO_TEST_QOS_FILE, "Test_Reliable", lumo::test::TestDomain(), "facadeTest");
    pub.CreateParticipant();
    pub.CreatePublisher();
    pub.CreateManyDataWriters({topic});
    auto sub = std::make_unique<DdsSub>(LUMO_TEST_QOS_FILE, "Test_Reliable", lumo::test::TestDomain(), "facadeTest");
    sub->CreateParticipant();
    sub->CreateSubscriber();
    auto listener = std::make_shared<KnockingListener>();
    std::weak_ptr<fdds::DataReaderListener> watch = listener;
    sub->CreateManyDataReaders({{topic, listener, ""}});
    sub->EnableAllDataReaders();
    ASSERT_TRUE(pub.WaitForMatchedReaders(0, 1, 20s));

    AgnosticTopic sample;
    ASSERT_TRUE(pub.Write(0, sample));
    ASSERT_TRUE(WaitUntil([&] { return listener->calls > 0; }));
    auto* reader = sub->Reader(0);
    fdds::LoanableSequence<AgnosticTopic> data;
    fdds::LoanableSequence<fdds::SampleInfo> infos;
    ASSERT_TRUE(compat::IsOk(reader->take(data, infos)));
    ASSERT_EQ(data.length(), 1);

    sub->DestroyAllDataReaders();
    EXPECT_EQ(log.Records(),
              (std::vector<lumo::test::LogRecord>{
                  {log4cplus::ERROR_LOG_LEVEL,
                   "cannot delete the data reader on topic '" + topic +
                       "' (RETCODE_PRECONDITION_NOT_MET); it keeps its listener until the process ends"}}));
    EXPECT_EQ(sub->ReaderCount(), 0u);
    KnockingListener* kept = listener.get();
    listener.reset();
    sub.reset();
    ASSERT_FALSE(watch.expired());

    // The reader still delivers to it.
    const int before = kept->calls;
    ASSERT_TRUE(pub.Write(0, sample));
    EXPECT_TRUE(WaitUntil([&] { return kept->calls > before; }));
    EXPECT_FALSE(watch.expired());
    // Fast DDS deletes what is left at the end of the process; a reader
    // still lending samples then trips its assertions.
    EXPECT_TRUE(compat::IsOk(reader->return_loan(data, infos)));
}

// Every shipped profile loads and carries samples from a writer to a reader
// of the same profile.
TEST(ShippedProfiles, EachCarriesSamples)
{
    for (const std::string profile : {"Lumo_Default_Profile", "Lumo_Liveliness_Profile", "Lumo_BestEffort_Profile",
                                      "Lumo_SharedMemory_Profile", "Lumo_Loopback_Profile"}) {
        SCOPED_TRACE(profile);
        const auto topic = lumo::test::UniqueTopic("Profile");
        auto listener = std::make_shared<CountingListener>();
        DdsSub sub(SHIPPED_QOS, profile, lumo::test::TestDomain(), "facadeTest");
        sub.SetInterfaceWhiteList({lumo::test::LOOPBACK});
        sub.CreateParticipant();
        sub.CreateSubscriber();
        sub.CreateManyDataReaders({{topic, listener, ""}});
        sub.EnableAllDataReaders();
        DdsPub pub(SHIPPED_QOS, profile, lumo::test::TestDomain(), "facadeTest");
        pub.SetInterfaceWhiteList({lumo::test::LOOPBACK});
        pub.CreateParticipant();
        pub.CreatePublisher();
        pub.CreateManyDataWriters({topic});
        ASSERT_TRUE(pub.WaitForMatchedReaders(0, 1, 20s));
        // Give the reader's side of discovery time too before best-effort data.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        uint32_t id = 0;
        while (listener->received < 10 && std::chrono::steady_clock::now() < deadline) {
            AgnosticTopic sample;
            sample.sampleId(id++);
            sample.payload(std::vector<uint8_t>(64, 1));
            pub.Write(0, sample);
            std::this_thread::sleep_for(5ms);
        }
        EXPECT_GE(listener->received, 10);
        sub.DestroyAllDataReaders();
    }
}

// A reader's participant only sends acknowledgements and discovery: it maps a
// small segment however large the profile's, which writers keep for their
// samples. Samples larger than the reader's own segment still arrive.
TEST(SharedMemory, ReadersMapASmallSegmentWritersTheProfilesAndLargeSamplesStillArrive)
{
    const auto topic = lumo::test::UniqueTopic("Segment");
    auto listener = std::make_shared<CountingListener>();
    DdsSub sub(SHIPPED_QOS, "Lumo_SharedMemory_Profile", lumo::test::TestDomain(), "facadeTest");
    auto before = MappedSegments();
    sub.CreateParticipant();
    const auto readerSegment = NewSegmentSize(before);
    EXPECT_GT(readerSegment, 0u);
    EXPECT_LE(readerSegment, 2u * 1024 * 1024);
    sub.CreateSubscriber();
    sub.CreateManyDataReaders({{topic, listener, ""}});
    sub.EnableAllDataReaders();

    DdsPub pub(SHIPPED_QOS, "Lumo_SharedMemory_Profile", lumo::test::TestDomain(), "facadeTest");
    before = MappedSegments();
    pub.CreateParticipant();
    EXPECT_GE(NewSegmentSize(before), 64u * 1024 * 1024);
    pub.CreatePublisher();
    pub.CreateManyDataWriters({topic});
    ASSERT_TRUE(pub.WaitForMatchedReaders(0, 1, 20s));
    for (uint32_t id = 0; id < 5; ++id) {
        AgnosticTopic sample;
        sample.sampleId(id);
        sample.payload(std::vector<uint8_t>(3 * 1024 * 1024, static_cast<uint8_t>(id)));
        pub.Write(0, sample);
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (listener->received < 5 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(listener->received, 5);
    sub.DestroyAllDataReaders();
}

} // namespace

namespace {

// Keeps what discovery said, for the test thread to read.
class RecordingObserver : public DiscoveryObserver
{
public:
    void ParticipantDiscovered(const DiscoveredParticipant& participant) override
    {
        std::lock_guard lock(mutex_);
        participants_[participant.guidPrefix] = participant;
    }
    void ParticipantChanged(const DiscoveredParticipant& participant) override { ParticipantDiscovered(participant); }
    void ParticipantRemoved(const std::string& guidPrefix) override
    {
        std::lock_guard lock(mutex_);
        participants_.erase(guidPrefix);
    }
    void WriterDiscovered(const DiscoveredWriter& writer) override
    {
        std::lock_guard lock(mutex_);
        writers_[writer.guid] = writer;
    }
    void WriterRemoved(const std::string& guid) override
    {
        std::lock_guard lock(mutex_);
        writers_.erase(guid);
    }
    void ReaderDiscovered(const DiscoveredReader& reader) override
    {
        std::lock_guard lock(mutex_);
        readers_[reader.guid] = reader;
    }
    void ReaderRemoved(const std::string& guid) override
    {
        std::lock_guard lock(mutex_);
        readers_.erase(guid);
    }

    std::optional<DiscoveredWriter> WriterOn(const std::string& topic) const
    {
        std::lock_guard lock(mutex_);
        for (const auto& [guid, writer] : writers_) {
            if (writer.topicName == topic) {
                return writer;
            }
        }
        return std::nullopt;
    }
    std::optional<DiscoveredReader> ReaderOn(const std::string& topic) const
    {
        std::lock_guard lock(mutex_);
        for (const auto& [guid, reader] : readers_) {
            if (reader.topicName == topic) {
                return reader;
            }
        }
        return std::nullopt;
    }
    std::optional<DiscoveredParticipant> Participant(const std::string& guidPrefix) const
    {
        std::lock_guard lock(mutex_);
        const auto found = participants_.find(guidPrefix);
        return found == participants_.end() ? std::nullopt : std::optional(found->second);
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, DiscoveredParticipant> participants_;
    std::map<std::string, DiscoveredWriter> writers_;
    std::map<std::string, DiscoveredReader> readers_;
};

} // namespace

// The facade's discovery hook: another participant's writer arrives with its
// QoS, type and participant in the same terms as the reader QoS of a
// profile, and leaves with its participant; a remote reader arrives with
// what it requests and leaves when deleted, and an added observer hears all
// of it too.
TEST(DiscoveryHook, DeliversOtherParticipantsWritersAndReadersToEachObserverInTheTermsOfAProfilesReaderQos)
{
    const auto topic = lumo::test::UniqueTopic("Hook");
    auto observer = std::make_shared<RecordingObserver>();
    auto added = std::make_shared<RecordingObserver>();
    DdsSub sub(SHIPPED_QOS, "Lumo_Default_Profile", lumo::test::TestDomain(), "facadeTest");
    sub.SetInterfaceWhiteList({lumo::test::LOOPBACK});
    sub.SetDiscoveryObserver(observer);
    sub.AddDiscoveryObserver(added);
    sub.CreateParticipant();
    EXPECT_EQ(ErrorOf([&] { sub.SetDiscoveryObserver(observer); }),
              "the discovery observer must be set before the participant is created");
    EXPECT_EQ(ErrorOf([&] { sub.AddDiscoveryObserver(observer); }),
              "the discovery observer must be added before the participant is created");
    sub.CreateSubscriber();

    auto pub = std::make_unique<DdsPub>(SHIPPED_QOS, "Lumo_BestEffort_Profile", lumo::test::TestDomain(), "facadeTest");
    pub->SetInterfaceWhiteList({lumo::test::LOOPBACK});
    pub->CreateParticipant();
    pub->CreatePublisher();
    pub->CreateManyDataWriters({topic});
    ASSERT_TRUE(WaitUntil([&] { return observer->WriterOn(topic).has_value(); }));
    const auto writer = *observer->WriterOn(topic);
    EXPECT_THAT(writer.guid, StartsWith(writer.participantPrefix + "|"));
    const auto participant = observer->Participant(writer.participantPrefix);
    ASSERT_TRUE(participant.has_value());
    EXPECT_EQ(participant->name, "Lumo_BestEffort_Profile");
    EXPECT_EQ(participant->vendorId, "01.0f");
    EXPECT_EQ(writer.hostAddress, lumo::test::LOOPBACK);
    ASSERT_TRUE(WaitUntil([&] { return added->WriterOn(topic).has_value(); }));
    EXPECT_EQ(added->WriterOn(topic)->guid, writer.guid);

    DdsSub remote(SHIPPED_QOS, "Lumo_BestEffort_Profile", lumo::test::TestDomain(), "facadeTest");
    remote.SetInterfaceWhiteList({lumo::test::LOOPBACK});
    remote.CreateParticipant();
    remote.CreateSubscriber();
    remote.CreateManyDataReaders({{topic, std::make_shared<CountingListener>(), ""}});
    remote.EnableAllDataReaders();
    ASSERT_TRUE(WaitUntil([&] { return added->ReaderOn(topic).has_value(); }));
    const auto reader = *added->ReaderOn(topic);
    EXPECT_EQ(reader.guid, remote.ReaderGuid(0));
    EXPECT_THAT(reader.guid, StartsWith(reader.participantPrefix + "|"));
    EXPECT_EQ(reader.qos.typeName, AgnosticTopicPubSubType::TYPE_NAME);
    EXPECT_EQ(reader.qos.reliability, static_cast<uint32_t>(ReliabilityKind::BEST_EFFORT));
    EXPECT_EQ(reader.qos.partitions, remote.ProfileReaderQos("Lumo_BestEffort_Profile")->partitions);
    remote.DestroyAllDataReaders();
    EXPECT_TRUE(WaitUntil([&] { return !added->ReaderOn(topic).has_value(); }));
    // Of one of this host with shared memory, Fast DDS 2.x keeps the
    // shared-memory locators alone; one of UDP alone says its address, for
    // discovery and for data: once.
    const auto udpTopic = lumo::test::UniqueTopic("HookUdp");
    DdsPub udp(LUMO_TEST_QOS_FILE, "Test_Reliable", lumo::test::TestDomain(), "facadeTest");
    udp.CreateParticipant();
    udp.CreatePublisher();
    udp.CreateManyDataWriters({udpTopic});
    ASSERT_TRUE(WaitUntil([&] { return observer->WriterOn(udpTopic).has_value(); }));
    const auto udpParticipant = observer->Participant(observer->WriterOn(udpTopic)->participantPrefix);
    ASSERT_TRUE(udpParticipant.has_value());
    EXPECT_EQ(udpParticipant->addresses, std::vector<std::string>{lumo::test::LOOPBACK});

    const auto bestEffort = sub.ProfileReaderQos("Lumo_BestEffort_Profile");
    const auto inUse = sub.ProfileReaderQos("Lumo_Default_Profile");
    ASSERT_TRUE(bestEffort && inUse);
    EXPECT_EQ(writer.qos.typeName, AgnosticTopicPubSubType::TYPE_NAME);
    EXPECT_EQ(inUse->typeName, writer.qos.typeName);
    EXPECT_EQ(writer.qos.reliability, static_cast<uint32_t>(ReliabilityKind::BEST_EFFORT));
    EXPECT_EQ(bestEffort->reliability, writer.qos.reliability);
    EXPECT_EQ(inUse->reliability, static_cast<uint32_t>(ReliabilityKind::RELIABLE));
    EXPECT_FALSE(sub.ProfileReaderQos("No_Such_Profile").has_value());

    pub.reset();
    EXPECT_TRUE(WaitUntil(
        [&] { return !observer->WriterOn(topic).has_value() && !observer->Participant(writer.participantPrefix); }));
}
