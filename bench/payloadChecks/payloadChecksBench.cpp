// Throughput of the monitor's payload checks, in bytes of payload per second,
// beside a plain read of the same buffer (the memory-bandwidth limit the
// checks cannot beat). INFO is disabled, as in a normal run: only the check
// itself is timed, never a log line. Every payload passes its check, so each
// call reads the whole payload.
//
// After the usual Google Benchmark output, one table gives, per payload size,
// the three rates in GB/s (10^9 bytes/s) and each check's ratio to the read.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <log4cplus/initializer.h>

#include "lumo/componentFramework/AgnosticTopic.h"
#include "lumo/componentFramework/Logging.h"
#include "quillReaderListener.h"

using lumo::componentFramework::AgnosticTopic;

namespace {

constexpr int64_t MIN_BYTES = 4 << 10;
constexpr int64_t MAX_BYTES = 4 << 20;

AgnosticTopic FromFloats(const std::vector<float>& values)
{
    std::vector<uint8_t> bytes(values.size() * sizeof(float));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    AgnosticTopic sample;
    sample.payload(std::move(bytes));
    return sample;
}

// A ramp of step 0.001 that the check accepts throughout: centred on 0, so
// that the single-precision rounding of its largest elements stays within
// the 1e-5 tolerance. That holds while every element stays below 128 in
// magnitude (256000 elements); beyond, no single-precision ramp of that step
// fits the tolerance, so the larger payloads (1 MiB and up) start with a NaN,
// which makes every comparison false: the check still reads and computes
// every element, and passes.
AgnosticTopic RampPayload(int64_t bytes)
{
    const int64_t count = bytes / 4;
    std::vector<float> values(static_cast<size_t>(count));
    const int64_t middle = count / 2; // the ramp crosses zero at the middle element
    const double start = -0.001 * static_cast<double>(middle);
    for (int64_t k = 0; k < count; ++k) {
        values[static_cast<size_t>(k)] = static_cast<float>(start + static_cast<double>(k) * 0.001);
    }
    if (count > 256000) {
        values[0] = std::nanf("");
    }
    return FromFloats(values);
}

// alternating_float_ramp for reader index 0 and an even sample id.
AgnosticTopic PatternPayload(int64_t bytes)
{
    std::vector<float> values(static_cast<size_t>(bytes / 4));
    for (size_t k = 0; k < values.size(); ++k) {
        values[k] = static_cast<float>(k);
    }
    return FromFloats(values);
}

typedef uint64_t Words __attribute__((vector_size(32)));

// OR of every 32-byte block into four independent accumulators: one load
// and one OR per block, so it runs at the speed at which the buffer can be
// read. Sizes are multiples of 128 bytes here.
[[gnu::always_inline]] inline uint64_t OrAllWords(const uint8_t* bytes, size_t size)
{
    Words acc[4] = {};
    for (size_t offset = 0; offset + 128 <= size; offset += 128) {
        for (int a = 0; a < 4; ++a) {
            Words block;
            std::memcpy(&block, bytes + offset + 32 * a, sizeof block);
            acc[a] |= block;
        }
    }
    const Words all = acc[0] | acc[1] | acc[2] | acc[3];
    return all[0] | all[1] | all[2] | all[3];
}

uint64_t OrAllWordsBaseline(const uint8_t* bytes, size_t size)
{
    return OrAllWords(bytes, size);
}

// The same instruction set as the checks use on this machine, so that the
// limit is not set lower than what they could reach.
__attribute__((target("avx2"))) uint64_t OrAllWordsAvx2(const uint8_t* bytes, size_t size)
{
    return OrAllWords(bytes, size);
}

void ReadKernel(benchmark::State& state)
{
    const AgnosticTopic sample = RampPayload(state.range(0));
    const auto& payload = sample.payload();
    const bool avx2 = __builtin_cpu_supports("avx2");
    for (auto _ : state) {
        uint64_t acc = avx2 ? OrAllWordsAvx2(payload.data(), payload.size())
                            : OrAllWordsBaseline(payload.data(), payload.size());
        benchmark::DoNotOptimize(acc);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void CheckRamp(benchmark::State& state)
{
    AgnosticTopic sample = RampPayload(state.range(0));
    QuillReaderListener listener("bench", 0);
    listener.currentSampleId_ = 0;
    gCheckRamp = true;
    gExitRequested = false;
    for (auto _ : state) {
        listener.CheckRamp(sample);
        benchmark::ClobberMemory();
    }
    if (gExitRequested) {
        state.SkipWithError("the ramp payload failed the check");
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void CheckExpectedPayloadPattern(benchmark::State& state)
{
    AgnosticTopic sample = PatternPayload(state.range(0));
    QuillReaderListener listener("bench", 0);
    listener.currentSampleId_ = 0;
    gExpectedPayloadPattern = "alternating_float_ramp";
    gExitRequested = false;
    for (auto _ : state) {
        listener.CheckExpectedPayloadPattern(sample);
        benchmark::ClobberMemory();
    }
    if (gExitRequested) {
        state.SkipWithError("the pattern payload failed the check");
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(ReadKernel)->RangeMultiplier(4)->Range(MIN_BYTES, MAX_BYTES);
BENCHMARK(CheckRamp)->RangeMultiplier(4)->Range(MIN_BYTES, MAX_BYTES);
BENCHMARK(CheckExpectedPayloadPattern)->RangeMultiplier(4)->Range(MIN_BYTES, MAX_BYTES);

// Console output as usual, and the rates kept for the summary table.
class CollectingReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) {
                continue;
            }
            const auto found = run.counters.find("bytes_per_second");
            if (found == run.counters.end()) {
                continue;
            }
            const std::string name = run.benchmark_name();
            const auto slash = name.find('/');
            if (slash == std::string::npos) {
                continue;
            }
            rates_[std::stoll(name.substr(slash + 1))][name.substr(0, slash)] = found->second.value;
        }
    }

    void PrintTable() const
    {
        std::printf("\npayload checks, GB/s (10^9 bytes/s); ratio = check / read kernel\n");
        std::printf("%10s %12s %12s %7s %12s %7s\n", "payload", "read kernel", "CheckRamp", "ratio", "Pattern",
                    "ratio");
        for (const auto& [bytes, byName] : rates_) {
            const double kernel = Rate(byName, "ReadKernel");
            const double ramp = Rate(byName, "CheckRamp");
            const double pattern = Rate(byName, "CheckExpectedPayloadPattern");
            std::printf("%10s %12.2f %12.2f %7.2f %12.2f %7.2f\n", SizeText(bytes).c_str(), kernel / 1e9, ramp / 1e9,
                        kernel > 0 ? ramp / kernel : 0.0, pattern / 1e9, kernel > 0 ? pattern / kernel : 0.0);
        }
    }

private:
    static double Rate(const std::map<std::string, double>& byName, const char* name)
    {
        const auto found = byName.find(name);
        return found == byName.end() ? 0.0 : found->second;
    }

    static std::string SizeText(int64_t bytes)
    {
        if (bytes >= (1 << 20)) {
            return std::to_string(bytes >> 20) + " MiB";
        }
        return std::to_string(bytes >> 10) + " KiB";
    }

    std::map<int64_t, std::map<std::string, double>> rates_;
};

} // namespace

int main(int argc, char** argv)
{
    log4cplus::Initializer logInitializer;
    lumo::componentFramework::LogConfigureTool("payloadChecksBench", log4cplus::ERROR_LOG_LEVEL, false);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintTable();
    benchmark::Shutdown();
    return 0;
}
