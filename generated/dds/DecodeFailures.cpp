#include "generated/dds/DecodeFailures.hpp"

#include <algorithm>
#include <vector>

namespace generated::dds_ {

namespace {

std::vector<const void*>& failures()
{
    thread_local std::vector<const void*> samples;
    return samples;
}

}  // namespace

void DecodeFailures::clear()
{
    failures().clear();
}

void DecodeFailures::record(const void* sample)
{
    failures().push_back(sample);
}

void DecodeFailures::forget(const void* sample)
{
    auto& samples = failures();
    if (!samples.empty())
    {
        samples.erase(std::remove(samples.begin(), samples.end(), sample), samples.end());
    }
}

bool DecodeFailures::contains(const void* sample)
{
    const auto& samples = failures();
    return std::find(samples.begin(), samples.end(), sample) != samples.end();
}

}  // namespace generated::dds_
