#include "tools/core/Statistics.hpp"

#include <algorithm>
#include <cmath>
#include <random>

namespace qara::nimb::tools {

LatencySummary summarize(std::vector<double> values)
{
    LatencySummary summary;
    summary.count = values.size();
    if (values.empty())
    {
        return summary;
    }
    const auto rank = [&](double p) {
        const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(index), values.end());
        return values[index];
    };
    summary.median = rank(0.5);
    summary.p90 = rank(0.9);
    summary.p99 = rank(0.99);
    summary.max = rank(1.0);
    return summary;
}

double median(std::vector<double> values)
{
    if (values.empty())
    {
        return 0;
    }
    const std::size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
    const double upper = values[middle];
    if (values.size() % 2 == 1)
    {
        return upper;
    }
    return (*std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle)) + upper) / 2;
}

RatioSummary summarizeRatios(const std::vector<double>& ratios)
{
    if (ratios.empty())
    {
        return {};
    }
    std::mt19937 random(20261206);
    std::uniform_int_distribution<std::size_t> pick(0, ratios.size() - 1);
    constexpr std::size_t resamples = 2000;
    std::vector<double> medians(resamples);
    std::vector<double> resample(ratios.size());
    for (double& m : medians)
    {
        for (double& value : resample)
        {
            value = ratios[pick(random)];
        }
        m = median(resample);
    }
    std::sort(medians.begin(), medians.end());
    return {median(ratios), medians[resamples * 25 / 1000], medians[resamples * 975 / 1000 - 1]};
}

}  // namespace qara::nimb::tools
