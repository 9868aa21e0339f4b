// SaMeasurements_fast and PsMeasurements at steady rates between `tarvex perf` processes for a minute with
// the code QoS: nothing may be lost, and no process may grow once warmed up but for the writers' histories.
// NIMB_SOAK_SECONDS, NIMB_SOAK_FAST_HZ and NIMB_SOAK_PS_HZ change the length and the rates, to look for the
// highest rate that still loses nothing.
#include "Plugin.hpp"
#include "TarvexProcess.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 223;
// Growth of the resident set after warm-up that still counts as flat: allocator and page noise.
constexpr long kFlatKilobytes = 1024;
// The code QoS writer is KEEP_ALL with max_samples 40000 and, as Fast DDS makes writers by default,
// TRANSIENT_LOCAL: it keeps its last 40000 samples for late-joining readers. Until that history is full the
// publisher grows by each sample kept, about 1.5 kB for both types (payload and bookkeeping).
constexpr double kWriterHistory = 40000;
constexpr double kKilobytesPerKeptSample = 2;

double setting(const char* name, double fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::stod(value) : fallback;
}

TEST(Soak, FastAndPsAtSteadyRatesLoseNothingAndMemoryStaysFlat)
{
    const double seconds = setting("NIMB_SOAK_SECONDS", 60);
    // Warm-up ends when the fast writer's history is full, if the run is long enough to watch a while after
    // that; else after a sixth of the run.
    const double fastHz = setting("NIMB_SOAK_FAST_HZ", 1000);
    const double historyFull = kWriterHistory / fastHz + 3;
    const double warmUpSeconds = historyFull > seconds - 10 ? seconds / 6 : historyFull;
    struct Stream
    {
        std::string topic;
        double hz;
        std::unique_ptr<TarvexProcess> subscriber, publisher;
    } streams[] = {{"SaMeasurements_fast", fastHz, nullptr, nullptr},
                   {"PsMeasurements", setting("NIMB_SOAK_PS_HZ", 100), nullptr, nullptr}};
    const std::vector<std::string> warmUp = {"--warm-up", std::to_string(warmUpSeconds)};
    for (Stream& stream : streams)
    {
        const std::string uri = uniqueUri(kDomain, stream.topic);
        stream.subscriber = std::make_unique<TarvexProcess>(perf("sub", stream.topic, uri, warmUp));
        auto publishing = warmUp;
        publishing.insert(publishing.end(),
                          {"--rate", std::to_string(stream.hz), "--seconds", std::to_string(seconds)});
        stream.publisher = std::make_unique<TarvexProcess>(perf("pub", stream.topic, uri, publishing));
    }
    for (Stream& stream : streams)
    {
        SCOPED_TRACE(stream.topic);
        const auto sent = stream.publisher->result(std::chrono::seconds(static_cast<int>(seconds) + 60));
        // The last samples in flight arrive before the subscriber stops counting.
        EXPECT_TRUE(stream.subscriber->waitForReceived(sent["sent"].get<uint64_t>(), 30s));
        stream.subscriber->signal(SIGINT);
        const auto received = stream.subscriber->result(30s);
        ASSERT_EQ(sent["exit"], 0) << sent["output"];
        expectReceivedFromTheFirst(received, sent["sent"].get<int>());
        EXPECT_EQ(received["out_of_order"], 0);
        EXPECT_EQ(received["duplicates"], 0);
        const double kept =
            std::min(kWriterHistory, stream.hz * seconds) - std::min(kWriterHistory, stream.hz * warmUpSeconds);
        const long history = static_cast<long>(kKilobytesPerKeptSample * kept);
        EXPECT_LE(sent["rss_kb"]["end"].get<long>() - sent["rss_kb"]["warm"].get<long>(), kFlatKilobytes + history)
            << "the publisher grew by more than its writer's history (" << history << " kB)";
        EXPECT_LE(received["rss_kb"]["end"].get<long>() - received["rss_kb"]["warm"].get<long>(), kFlatKilobytes)
            << "the subscriber kept growing";
    }
}

}  // namespace
