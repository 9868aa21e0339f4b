#include "tools/core/Fields.hpp"

#include "generated/dds/tarvex/PsMeasurementsPubSubTypes.hpp"
#include "generated/dds/tarvex/SaMeasurements_fastPubSubTypes.hpp"
#include "generated/dds/tarvex/SaMeasurements_mediumPubSubTypes.hpp"
#include "generated/dds/tarvex/SaMeasurements_slowPubSubTypes.hpp"
#include "generated/tarvex_types.hpp"

#include <benchmark/benchmark.h>
#include <fastdds/dds/core/policy/QosPolicies.hpp>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// Encoding and decoding of every measurement topic through its Fast DDS type support, next to a plain
// memcpy of the same number of bytes: the ratio between them, printed at the end of the run, is what the
// codec costs over moving memory.
namespace {

// Every number 1: the CDR work is the same for any values of these fixed-size structures.
template <class W>
W filled()
{
    W sample;
    qara::nimb::tools::fillCounter(sample, 1);
    return sample;
}

namespace fdds = qara::nimb::icd::dds::fastdds;

// Where malloc puts two buffers changes the time of a copy between them by up to a half from one run to the
// next, so every buffer here, the codec's as the memcpy's, starts on a cache line.
template <class T>
struct alignas(64) OnALine
{
    T value;
};

// A payload over such a buffer, as large as the type support may write.
template <class S>
class LinedPayload
{
public:
    LinedPayload() : m_bytes(std::make_unique<OnALine<std::array<unsigned char, S::maxSerializedSize>>>())
    {
        payload.data = m_bytes->value.data();
        payload.max_size = S::maxSerializedSize;
    }
    ~LinedPayload() { payload.data = nullptr; }  // the buffer is not the payload's to free

    LinedPayload(const LinedPayload&) = delete;
    LinedPayload& operator=(const LinedPayload&) = delete;

    fdds::SerializedPayload payload;

private:
    std::unique_ptr<OnALine<std::array<unsigned char, S::maxSerializedSize>>> m_bytes;
};

template <class W, class S>
void serialize(benchmark::State& state, fdds::DataRepresentationId representation)
{
    S support;
    const auto sample = std::make_unique<OnALine<W>>(OnALine<W>{filled<W>()});
    LinedPayload<S> lined;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(support.serialize(&sample->value, lined.payload, representation));
        benchmark::DoNotOptimize(lined.payload.data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * lined.payload.length);
}

template <class W, class S>
void deserialize(benchmark::State& state, fdds::DataRepresentationId representation)
{
    S support;
    const W sample = filled<W>();
    LinedPayload<S> lined;
    if (!support.serialize(&sample, lined.payload, representation))
    {
        state.SkipWithError("serialize failed");
        return;
    }
    const auto decoded = std::make_unique<OnALine<W>>();
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(support.deserialize(lined.payload, &decoded->value));
        benchmark::DoNotOptimize(&decoded->value);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * lined.payload.length);
}

template <class W, class S>
void copy(benchmark::State& state, fdds::DataRepresentationId representation)
{
    S support;
    const W sample = filled<W>();
    const uint32_t length = support.calculate_serialized_size(&sample, representation);
    LinedPayload<S> source;
    LinedPayload<S> target;
    std::memset(source.payload.data, 0x5a, length);
    benchmark::DoNotOptimize(source.payload.data);
    for (auto _ : state)
    {
        std::memcpy(target.payload.data, source.payload.data, length);
        benchmark::DoNotOptimize(target.payload.data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}

template <class W, class S>
void registerType(const std::string& name)
{
    for (const auto& [representation, version] :
         {std::pair{eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION, "XCDR1"},
          std::pair{eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION, "XCDR2"}})
    {
        const std::string prefix = name + "/" + version + "/";
        benchmark::RegisterBenchmark((prefix + "memcpy").c_str(), copy<W, S>, representation);
        benchmark::RegisterBenchmark((prefix + "serialize").c_str(), serialize<W, S>, representation);
        benchmark::RegisterBenchmark((prefix + "deserialize").c_str(), deserialize<W, S>, representation);
    }
}

#define TARVEX_BENCH_REGISTER(X) registerType<generated::dds_::tarvex::X, generated::dds_::tarvex::X##PubSubType>(#X);

// Registered during static initialisation, before BENCHMARK_MAIN's main reads the command line.
[[maybe_unused]] const bool kRegistered = [] {
    TARVEX_TOPIC_TYPES(TARVEX_BENCH_REGISTER)
    return true;
}();

// The console output, then every codec time as a multiple of the memcpy of its topic and version.
class MemcpyMultiples : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
        {
            // With --benchmark_repetitions, the median of the repetitions.
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
            {
                m_cpuTimes[run.run_name.str()] = run.GetAdjustedCPUTime();
            }
        }
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::printf("\n%-32s %12s %12s   (CPU time / memcpy of the same bytes)\n", "", "serialize", "deserialize");
        for (const auto& [name, time] : m_cpuTimes)
        {
            const std::string prefix = name.substr(0, name.rfind('/') + 1);
            if (name == prefix + "memcpy" && time > 0)
            {
                std::printf("%-32s %11.1fx %11.1fx\n", prefix.substr(0, prefix.size() - 1).c_str(),
                            m_cpuTimes[prefix + "serialize"] / time,
                            m_cpuTimes[prefix + "deserialize"] / time);
            }
        }
    }

private:
    std::map<std::string, double> m_cpuTimes;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    MemcpyMultiples reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
