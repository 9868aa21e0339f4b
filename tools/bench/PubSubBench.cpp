#include "tools/core/Loopback.hpp"
#include "tools/core/Topics.hpp"

#include <benchmark/benchmark.h>
#include <log4cplus/initializer.h>

#include <unistd.h>

#include <chrono>
#include <string>

// What the plug-in costs over plain Fast DDS with the same type support and QoS: publication of every
// topic with no reader matched, so only the writer path counts, and publish-to-listener latency and
// throughput of the largest topics, all in one run.
namespace {

using namespace qara::nimb::tools;

// In the tools' range of domains, away from the other suites.
constexpr uint32_t kDomain = 195;
constexpr auto kArrivalLimit = std::chrono::seconds(1);

const qara::nimb::PluginLibrary& plugin()
{
    static const qara::nimb::PluginLibrary library(NIMB_TARVEX_PLUGIN_PATH);
    return library;
}

std::string tag(const char* benchmark)
{
    return std::string(benchmark) + "/" + std::to_string(::getpid());
}

void publish(benchmark::State& state, Path path, const std::string& type)
{
    Loopback loop(plugin(), path, type, kDomain, tag("publish"), false);
    for (auto _ : state)
    {
        loop.publish();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// One sample at a time: the iteration time is publish to listener callback.
void latency(benchmark::State& state, Path path, const std::string& type)
{
    Loopback loop(plugin(), path, type, kDomain, tag("latency"));
    loop.warmUp();
    for (auto _ : state)
    {
        const uint64_t expected = loop.tally().received() + 1;
        const auto start = std::chrono::steady_clock::now();
        loop.publish();
        if (loop.tally().waitForCount(expected, kArrivalLimit) < expected)
        {
            state.SkipWithError("a sample was lost");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const LatencySummary summary = summarize(loop.tally().latencies());
    state.counters["median_us"] = summary.median * 1e6;
    state.counters["p99_us"] = summary.p99 * 1e6;
}

// Batches published back to back; counts what the listener got.
void throughput(benchmark::State& state, Path path, const std::string& type)
{
    constexpr std::size_t kBatch = 100;
    Loopback loop(plugin(), path, type, kDomain, tag("throughput"));
    loop.warmUp();
    uint64_t sent = 0;
    uint64_t received = 0;
    for (auto _ : state)
    {
        for (std::size_t i = 0; i < kBatch; ++i)
        {
            loop.publish();
        }
        sent += kBatch;
        received = loop.tally().waitForCount(received + kBatch, kArrivalLimit);
    }
    state.SetItemsProcessed(static_cast<int64_t>(received));
    state.counters["lost"] = static_cast<double>(sent - received);
}

}  // namespace

int main(int argc, char** argv)
{
    log4cplus::Initializer logging;
    const Path paths[] = {Path::Plugin, Path::Plain};
    forEachTopic([&](auto topic) {
        for (const Path path : paths)
        {
            benchmark::RegisterBenchmark(("publish/" + std::string(topic.name) + "/" + nameOf(path)).c_str(),
                                         publish, path, topic.name);
        }
    });
    for (const char* type : {"SaMeasurements_fast", "PsMeasurements"})
    {
        for (const Path path : paths)
        {
            benchmark::RegisterBenchmark(("latency/" + std::string(type) + "/" + nameOf(path)).c_str(), latency,
                                         path, type)
                ->UseManualTime();
        }
        for (const Path path : paths)
        {
            benchmark::RegisterBenchmark(("throughput/" + std::string(type) + "/" + nameOf(path)).c_str(),
                                         throughput, path, type);
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
    {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
