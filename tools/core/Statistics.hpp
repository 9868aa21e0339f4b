#pragma once

#include <cstddef>
#include <vector>

namespace qara::nimb::tools {

// Percentiles by nearest rank: the smallest value with at least p of all values at or below it.
struct LatencySummary
{
    std::size_t count = 0;
    double median = 0;
    double p90 = 0;
    double p99 = 0;
    double max = 0;
};
LatencySummary summarize(std::vector<double> values);

// The median of values; the mean of the two middle ones for an even count, 0 for none.
double median(std::vector<double> values);

// The median of per-round ratios and its 95 % interval, from resampling the rounds with replacement (with a
// fixed seed: the same rounds give the same interval).
struct RatioSummary
{
    double median = 0;
    double low = 0;
    double high = 0;
};
RatioSummary summarizeRatios(const std::vector<double>& ratios);

}  // namespace qara::nimb::tools
