#pragma once

#include <fastdds/dds/subscriber/SampleInfo.hpp>

namespace generated::dds_ {

// Fast DDS 3.1 hands out a sample whose payload failed to decode as if its data were valid. The type
// support notes every failure here, per thread; a reader clears the notes before it takes and then asks
// validData() instead of the sample info alone. The loaned sample info itself must stay untouched: Fast
// DDS relies on it when the loan is returned.
class DecodeFailures
{
public:
    static void clear();
    static void record(const void* sample);
    static void forget(const void* sample);
    static bool contains(const void* sample);

    // The sample info's valid_data, and the sample was decoded on this thread since clear().
    static bool validData(const eprosima::fastdds::dds::SampleInfo& info, const void* sample)
    {
        return info.valid_data && !contains(sample);
    }
};

}  // namespace generated::dds_
