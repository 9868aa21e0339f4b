#include "Plugin.hpp"
#include "PubSubMeasure.hpp"
#include "PubSubPlugin.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

// The measurement behind 'tarvex bench' and the pub-sub benchmarks: both paths must carry the same samples
// and source time stamps, or the comparison means nothing.
namespace {

using namespace qara::nimb::tools;

TEST(PubSubMeasure, SummaryTakesNearestRanks)
{
    EXPECT_EQ(summarize({}).count, 0u);
    std::vector<double> hundred(100);
    std::iota(hundred.rbegin(), hundred.rend(), 1.0);
    const LatencySummary summary = summarize(hundred);
    EXPECT_EQ(summary.count, 100u);
    EXPECT_EQ(summary.median, 50.0);
    EXPECT_EQ(summary.p99, 99.0);
    const LatencySummary one = summarize({0.25});
    EXPECT_EQ(one.median, 0.25);
    EXPECT_EQ(one.p99, 0.25);
}

TEST(PubSubMeasure, RatiosTakeTheMedianOfTheRoundsWithAnIntervalAroundIt)
{
    const RatioSummary none = summarizeRatios({});
    EXPECT_EQ(none.median, 0.0);
    const RatioSummary odd = summarizeRatios({5, 1, 4, 2, 3});
    EXPECT_EQ(odd.median, 3.0);
    EXPECT_LE(1.0, odd.low);
    EXPECT_LT(odd.low, odd.median);
    EXPECT_LT(odd.median, odd.high);
    EXPECT_LE(odd.high, 5.0);
    EXPECT_EQ(summarizeRatios({4, 1, 3, 2}).median, 2.5);
    const RatioSummary steady = summarizeRatios({1.02, 1.02, 1.02});
    EXPECT_EQ(steady.low, 1.02);
    EXPECT_EQ(steady.high, 1.02);
}

TEST(PubSubMeasure, BothPathsDeliverEverySampleWithItsSourceTimeStamp)
{
    for (const Path path : {Path::Plugin, Path::Plain})
    {
        SCOPED_TRACE(to_string(path));
        std::mutex mutex;
        std::vector<double> stamps;
        Arrivals arrivals;
        const auto channel = openChannel(path, "PsMeasurements", tarvex_test::plugin(), 197,
                                         "measure-test/" + std::to_string(::getpid()), [&](double stamp) {
                                             {
                                                 const std::lock_guard<std::mutex> lock(mutex);
                                                 stamps.push_back(stamp);
                                             }
                                             arrivals.arrive(stamp);
                                         });
        warmUp(*channel, arrivals);
        const double since = wallSeconds();
        arrivals.restart(since);
        std::vector<double> sent;
        for (int i = 0; i < 20; ++i)
        {
            sent.push_back(since + i * 0.001);
            channel->publish(sent.back());
        }
        ASSERT_EQ(arrivals.waitFor(sent.size(), std::chrono::seconds(10)), sent.size());
        const std::lock_guard<std::mutex> lock(mutex);
        const std::vector<double> received(stamps.end() - static_cast<std::ptrdiff_t>(sent.size()), stamps.end());
        for (std::size_t i = 0; i < sent.size(); ++i)
        {
            // Whole nanoseconds on the wire.
            EXPECT_NEAR(received[i], sent[i], 1e-6) << i;
        }
    }
}

}  // namespace
