// Feeds arbitrary payloads, sample ids and reader indices to both payload
// checks and compares their verdict with the plain reference of the rules
// (PayloadCheckReference.h, shared with the long-payload tests).
// Input: id (4 bytes) | reader index (2) | flags (1) | payload (rest).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <log4cplus/initializer.h>
#include <log4cplus/nullappender.h>

#include "PayloadCheckReference.h"
#include "lumo/componentFramework/Logging.h"
#include "quillReaderListener.h"

namespace {

bool RampFails(const std::vector<uint8_t>& bytes)
{
    return lumo::test::FirstOffRamp(lumo::test::FloatsOf(bytes)).has_value();
}

bool PatternFails(const std::vector<uint8_t>& bytes, uint32_t id, uint16_t readerIndex, const std::string& name)
{
    return name != "alternating_float_ramp" || bytes.size() % 4 != 0 ||
           !lumo::test::MatchesPattern(lumo::test::FloatsOf(bytes), readerIndex, id);
}

struct Setup
{
    Setup() { log4cplus::Logger::getRoot().addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender())); }
    log4cplus::Initializer initializer;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Setup setup;
    if (size < 7) {
        return 0;
    }
    uint32_t id;
    uint16_t readerIndex;
    std::memcpy(&id, data, 4);
    std::memcpy(&readerIndex, data + 4, 2);
    const uint8_t flags = data[6];
    lumo::componentFramework::AgnosticTopic sample;
    sample.sampleId(id);
    sample.payload(std::vector<uint8_t>(data + 7, data + size));

    QuillReaderListener listener("fuzz", readerIndex);
    listener.currentSampleId_ = id;
    // Messages built or not: both paths must hold.
    listener.logger_.setLogLevel((flags & 1) ? log4cplus::INFO_LOG_LEVEL : log4cplus::OFF_LOG_LEVEL);

    gExitRequested = false;
    listener.CheckRamp(sample);
    if (gExitRequested.load() != RampFails(sample.payload())) {
        std::abort();
    }

    static const std::string names[] = {"alternating_float_ramp", "Alternating_float_ramp", "alternating_float_ramp ",
                                        "x"};
    gExpectedPayloadPattern = names[(flags >> 1) % 4];
    gExitRequested = false;
    listener.CheckExpectedPayloadPattern(sample);
    if (gExitRequested.load() != PatternFails(sample.payload(), id, readerIndex, gExpectedPayloadPattern)) {
        std::abort();
    }
    return 0;
}
