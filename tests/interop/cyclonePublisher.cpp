// lumoCyclonePub: an AgnosticTopic publisher written with Cyclone DDS, so that
// the monitor meets a writer of another DDS implementation. Its QoS is Cyclone
// DDS's default (reliable, liveliness AUTOMATIC with an infinite lease) unless
// an option changes one policy. Confine it (and secure it) with CYCLONEDDS_URI.
//
// lumoCyclonePub -t TOPIC [-d DOMAIN] [-n COUNT] [-r RATE] [-s SIZE]
//                [-k zeros|ramp|alternating_float_ramp] [-o READER_INDEX]
//                [-i FIRST_ID] [-e SKIP_EVERY] [-b] [-a] [-l LEASE_S] [-x 1|2]
//                [-p PARTITION] [-y TYPE_NAME] [-N PARTICIPANT_NAME] [-L LINGER_S]
//                [-D DURATION_S] [-w READERS] [--partition NAME]
//                [--type agnostic|final|appendable] [--dispose-at N]
//
//   -b best effort; -a KEEP_ALL history (Cyclone DDS keeps the last 1 by
//   default); -e K leaves out every K-th id; -x the data representation;
//   -r 0 writes as fast as the writer takes samples; -D S writes for S seconds
//   (at most COUNT samples, -n 0: no limit), for the benchmarks; -w N waits for
//   N matched readers instead of one. --partition is -p; --type writes the
//   tests' own keyed type lumo::interop::FinalReading (@final, XCDR1) or
//   AppendableReading (@appendable, XCDR2 only) instead of AgnosticTopic: key 1,
//   the id as its sequence number, no payload options. --dispose-at N disposes
//   that instance (a key-only message) after the N-th sample; later samples
//   bring it back.
// It waits for a matched reader (-w; 10 s) and half a second more, writes, waits for acknowledgements,
// prints "written: N", lingers, and exits 0 (1 on any failure).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <getopt.h>
#include <unistd.h>

#include <dds/dds.h>

#include "AgnosticTopic.h"
#include "Reading.h"
#include "payloadPatterns.h"

namespace {

struct Options
{
    std::string topic;
    uint32_t domain = 0;
    uint32_t count = 100;
    uint32_t rate = 1000;
    size_t size = 64;
    PayloadPattern pattern;
    uint32_t firstId = 0;
    uint32_t skipEvery = 0;
    bool bestEffort = false;
    bool keepAll = false;
    double leaseSec = -1.0; // infinite
    int representation = 0; // Cyclone DDS's default
    std::string partition;
    std::string typeName;
    std::string participantName;
    double lingerSec = 0.0;
    double durationSec = 0.0; // 0: COUNT samples
    uint32_t waitReaders = 1;
    std::string type = "agnostic";
    uint32_t disposeAt = 0; // 0: never
};

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "lumoCyclonePub: %s\n", what.c_str());
    std::exit(1);
}

Options Parse(int argc, char** argv)
{
    Options o;
    constexpr int TYPE_OPTION = 1000;
    constexpr int DISPOSE_OPTION = 1001;
    const option longOptions[] = {{"partition", required_argument, nullptr, 'p'},
                                  {"type", required_argument, nullptr, TYPE_OPTION},
                                  {"dispose-at", required_argument, nullptr, DISPOSE_OPTION},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "t:d:n:r:s:k:o:i:e:bal:x:p:y:N:L:D:w:", longOptions, nullptr)) != -1) {
        const std::string arg = optarg != nullptr ? optarg : "";
        // One option a line.
        // clang-format off
        switch (c) {
        case 't': o.topic = arg; break;
        case 'd': o.domain = static_cast<uint32_t>(std::stoul(arg)); break;
        case 'n': o.count = static_cast<uint32_t>(std::stoul(arg)); break;
        case 'r': o.rate = static_cast<uint32_t>(std::stoul(arg)); break;
        case 's': o.size = std::stoul(arg); break;
        case 'k':
            if (!ParsePayloadKind(arg, o.pattern.kind)) {
                Fail("unknown payload kind " + arg);
            }
            break;
        case 'o': o.pattern.readerIndex = static_cast<uint32_t>(std::stoul(arg)); break;
        case 'i': o.firstId = static_cast<uint32_t>(std::stoul(arg)); break;
        case 'e': o.skipEvery = static_cast<uint32_t>(std::stoul(arg)); break;
        case 'b': o.bestEffort = true; break;
        case 'a': o.keepAll = true; break;
        case 'l': o.leaseSec = std::stod(arg); break;
        case 'x': o.representation = std::stoi(arg); break;
        case 'p': o.partition = arg; break;
        case 'y': o.typeName = arg; break;
        case 'N': o.participantName = arg; break;
        case 'L': o.lingerSec = std::stod(arg); break;
        case 'D': o.durationSec = std::stod(arg); break;
        case 'w': o.waitReaders = static_cast<uint32_t>(std::stoul(arg)); break;
        case TYPE_OPTION:
            if (arg != "agnostic" && arg != "final" && arg != "appendable") {
                Fail("unknown type " + arg);
            }
            o.type = arg;
            break;
        case DISPOSE_OPTION: o.disposeAt = static_cast<uint32_t>(std::stoul(arg)); break;
        default: Fail("bad option");
        }
        // clang-format on
    }
    if (o.topic.empty()) {
        Fail("-t TOPIC is required");
    }
    return o;
}

dds_entity_t Check(dds_entity_t entity, const char* what)
{
    if (entity < 0) {
        Fail(std::string(what) + ": " + dds_strretcode(entity));
    }
    return entity;
}

} // namespace

int main(int argc, char** argv)
{
    const Options o = Parse(argc, argv);

    dds_qos_t* participantQos = dds_create_qos();
    if (!o.participantName.empty()) {
        dds_qset_entity_name(participantQos, o.participantName.c_str());
    }
    const dds_entity_t participant = Check(dds_create_participant(o.domain, participantQos, nullptr), "participant");
    dds_delete_qos(participantQos);

    // Another type name on the wire: the same layout under a name of its own.
    dds_topic_descriptor_t descriptor = o.type == "final"        ? lumo_interop_FinalReading_desc
                                        : o.type == "appendable" ? lumo_interop_AppendableReading_desc
                                                                 : lumo_componentFramework_AgnosticTopic_desc;
    if (!o.typeName.empty()) {
        descriptor.m_typename = o.typeName.c_str();
    }
    const dds_entity_t topic = Check(dds_create_topic(participant, &descriptor, o.topic.c_str(), nullptr, nullptr),
                                     "topic");

    dds_qos_t* publisherQos = dds_create_qos();
    if (!o.partition.empty()) {
        dds_qset_partition1(publisherQos, o.partition.c_str());
    }
    const dds_entity_t publisher = Check(dds_create_publisher(participant, publisherQos, nullptr), "publisher");
    dds_delete_qos(publisherQos);

    dds_qos_t* qos = dds_create_qos();
    if (o.bestEffort) {
        dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
    }
    if (o.keepAll) {
        dds_qset_history(qos, DDS_HISTORY_KEEP_ALL, 0);
    }
    if (o.leaseSec >= 0.0) {
        dds_qset_liveliness(qos, DDS_LIVELINESS_AUTOMATIC, static_cast<dds_duration_t>(o.leaseSec * 1e9));
    }
    if (o.representation != 0) {
        const dds_data_representation_id_t id = o.representation == 2 ? DDS_DATA_REPRESENTATION_XCDR2
                                                                      : DDS_DATA_REPRESENTATION_XCDR1;
        dds_qset_data_representation(qos, 1, &id);
    }
    const dds_entity_t writer = Check(dds_create_writer(publisher, topic, qos, nullptr), "writer");
    dds_delete_qos(qos);

    // A reader of another type or partition never matches: go on after the wait.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    dds_publication_matched_status_t matched{};
    while (std::chrono::steady_clock::now() < until) {
        dds_get_publication_matched_status(writer, &matched);
        if (matched.current_count >= o.waitReaders) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("matched: %u\n", matched.current_count);
    std::fflush(stdout);
    // This side has seen the reader; give the reader's side time to learn of
    // the writer, or the first samples reach a reader that drops them.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::vector<uint8_t> payload(o.size);
    lumo_componentFramework_AgnosticTopic sample{};
    // Both variants have one layout.
    lumo_interop_FinalReading reading{};
    static_assert(sizeof(lumo_interop_FinalReading) == sizeof(lumo_interop_AppendableReading));
    const void* writtenSample = o.type == "agnostic" ? static_cast<const void*>(&sample) : &reading;
    const auto period = o.rate > 0 ? std::chrono::nanoseconds(1000000000LL / o.rate) : std::chrono::nanoseconds(0);
    const auto start = std::chrono::steady_clock::now();
    const auto stop = start + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::duration<double>(o.durationSec));
    auto next = start;
    uint32_t written = 0;
    uint32_t retries = 0;
    uint32_t id = o.firstId;
    for (uint32_t n = 0; o.count == 0 || n < o.count; ++n, ++id) {
        if (o.durationSec > 0.0 && std::chrono::steady_clock::now() >= stop) {
            break;
        }
        if (o.skipEvery > 0 && (id - o.firstId) % o.skipEvery == o.skipEvery - 1) {
            continue;
        }
        FillPayload(o.pattern, id, payload);
        sample.sampleId = id;
        sample.payload._length = static_cast<uint32_t>(payload.size());
        sample.payload._maximum = static_cast<uint32_t>(payload.size());
        sample.payload._buffer = payload.data();
        sample.payload._release = false;
        reading.id = 1;
        reading.seq = id;
        reading.value = id * 0.5;
        // A reliable writer whose history stays full for its blocking time
        // (100 ms) refuses the sample: it is written again, not skipped.
        dds_return_t rc;
        while ((rc = dds_write(writer, writtenSample)) == DDS_RETCODE_TIMEOUT) {
            ++retries;
        }
        if (rc < 0) {
            Fail(std::string("write failed: ") + dds_strretcode(rc));
        }
        ++written;
        if (written == o.disposeAt && (rc = dds_dispose(writer, writtenSample)) < 0) {
            Fail(std::string("dispose failed: ") + dds_strretcode(rc));
        }
        if (o.rate > 0) {
            next += period;
            std::this_thread::sleep_until(next);
        }
    }
    const double writeSec = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!o.bestEffort && matched.current_count > 0) {
        dds_wait_for_acks(writer, DDS_SECS(10));
    }
    std::printf("written: %u\n", written);
    std::printf("write seconds: %.3f, timed-out writes retried: %u\n", writeSec, retries);
    std::fflush(stdout);
    if (o.lingerSec > 0.0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(o.lingerSec));
    }
    dds_delete(participant);
    return 0;
}
