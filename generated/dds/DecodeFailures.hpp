#pragma once

#include <fastdds/dds/subscriber/SampleInfo.hpp>

#include <atomic>
#include <cstddef>

namespace generated::dds_ {

// Fast DDS 3.1 hands out a sample whose payload failed to decode as if its data were valid. The type
// support notes the sample objects whose last decode failed, and forgets one when it decodes again or is
// deleted, and a read on any thread, also one nested in a callback of another read, sees the state of exactly
// the samples it holds. A buffer the type support never deletes keeps its note until 1024 newer notes were
// made. The loaned sample info itself must stay untouched: Fast DDS relies on it when the loan is returned.
class DecodeFailures
{
public:
    static void record(const void* sample);
    // While nothing is noted, which is nearly always, these two cost one atomic load.
    static void forget(const void* sample)
    {
        if (size() != 0)
        {
            forgetNoted(sample);
        }
    }
    static bool contains(const void* sample) { return size() != 0 && containsNoted(sample); }
    // How many samples are noted now.
    static std::size_t size() { return s_count.load(); }

    // The sample info's valid_data, and the sample's last decode succeeded.
    static bool validData(const eprosima::fastdds::dds::SampleInfo& info, const void* sample)
    {
        return info.valid_data && !contains(sample);
    }

private:
    static void forgetNoted(const void* sample);
    static bool containsNoted(const void* sample);

    // The number of samples noted, written under the notes' lock.
    static inline std::atomic<std::size_t> s_count{0};
};

}  // namespace generated::dds_
