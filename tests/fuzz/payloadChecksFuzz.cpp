// Feeds arbitrary payloads, sample ids and reader indices to both payload
// checks and compares their verdict with a plain reference of the rules.
// Input: id (4 bytes) | reader index (2) | flags (1) | payload (rest).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <log4cplus/initializer.h>
#include <log4cplus/nullappender.h>

#include "lumo/componentFramework/Logging.h"
#include "quillReaderListener.h"

namespace {

float At(const std::vector<uint8_t>& bytes, size_t k)
{
    float value;
    std::memcpy(&value, bytes.data() + 4 * k, sizeof value);
    return value;
}

bool RampFails(const std::vector<uint8_t>& bytes)
{
    const size_t n = bytes.size() / 4;
    for (size_t i = 1; i < n; ++i) {
        const double deviation = static_cast<double>(At(bytes, i)) - (static_cast<double>(At(bytes, 0)) + i * 0.001);
        if (std::fabs(deviation) > 1e-5) {
            return true;
        }
    }
    return false;
}

bool PatternFails(const std::vector<uint8_t>& bytes, uint32_t id, uint16_t readerIndex, const std::string& name)
{
    if (name != "alternating_float_ramp" || bytes.size() % 4 != 0) {
        return true;
    }
    const float sign = (id % 2 == 0) ? 1.0f : -1.0f;
    float expected = sign * static_cast<float>(readerIndex);
    for (size_t k = 0; k < bytes.size() / 4; ++k) {
        if (!(At(bytes, k) == expected)) {
            return true;
        }
        expected += sign;
    }
    return false;
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
