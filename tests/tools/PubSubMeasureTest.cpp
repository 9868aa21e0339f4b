#include "PubSubMeasure.hpp"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

// The statistics behind 'tarvex bench' and 'tarvex perf'.
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

}  // namespace
