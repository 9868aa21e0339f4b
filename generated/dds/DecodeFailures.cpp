#include "generated/dds/DecodeFailures.hpp"

#include <atomic>
#include <mutex>
#include <unordered_set>

namespace generated::dds_ {

namespace {

// Guards the set; a leaf lock. The count lets every successful decode skip the lock while nothing failed.
struct Notes
{
    std::mutex mutex;
    std::unordered_set<const void*> samples;
    std::atomic<std::size_t> count{0};
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
    n.count = n.samples.size();
}

void DecodeFailures::forget(const void* sample)
{
    Notes& n = notes();
    if (n.count.load() == 0)
    {
        return;
    }
    std::lock_guard<std::mutex> lock(n.mutex);
    n.samples.erase(sample);
    n.count = n.samples.size();
}

bool DecodeFailures::contains(const void* sample)
{
    Notes& n = notes();
    if (n.count.load() == 0)
    {
        return false;
    }
    std::lock_guard<std::mutex> lock(n.mutex);
    return n.samples.count(sample) != 0;
}

std::size_t DecodeFailures::size()
{
    return notes().count.load();
}

}  // namespace generated::dds_
