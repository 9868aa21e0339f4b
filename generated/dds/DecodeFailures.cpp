#include "generated/dds/DecodeFailures.hpp"

#include <mutex>
#include <unordered_set>

namespace generated::dds_ {

namespace {

// The mutex guards the set and is a leaf lock.
struct Notes
{
    std::mutex mutex;
    std::unordered_set<const void*> samples;
};

Notes& notes()
{
    static Notes instance;
    return instance;
}

}  // namespace

void DecodeFailures::record(const void* sample)
{
    Notes& n = notes();
    std::lock_guard<std::mutex> lock(n.mutex);
    n.samples.insert(sample);
    s_count = n.samples.size();
}

void DecodeFailures::forgetNoted(const void* sample)
{
    Notes& n = notes();
    std::lock_guard<std::mutex> lock(n.mutex);
    n.samples.erase(sample);
    s_count = n.samples.size();
}

bool DecodeFailures::containsNoted(const void* sample)
{
    Notes& n = notes();
    std::lock_guard<std::mutex> lock(n.mutex);
    return n.samples.count(sample) != 0;
}

}  // namespace generated::dds_
