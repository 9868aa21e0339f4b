#pragma once

#include <new>
#include <stdexcept>
#include <utility>

namespace qara::nimb::icd::dds {

// What failing to allocate a wire sample reports, rather than bad_alloc.
inline constexpr const char* kSampleAllocationFailure = "failed to create a DDS sample";

// Holder deleter of a sample the entity allocated itself.
template <class W>
void ddsSampleDeleter(W* sample)
{
    delete sample;
}

// Holder deleter of a borrowed sample, for example one loaned by a DDS reader.
template <class W>
void noOpDeleter(W*)
{
}

// Allocates one wire sample; allocation failure is reported with its own message rather than bad_alloc.
template <class W, class... Args>
W* allocateSample(Args&&... args)
{
    W* sample = new (std::nothrow) W(std::forward<Args>(args)...);
    if (sample == nullptr)
    {
        throw std::runtime_error(kSampleAllocationFailure);
    }
    return sample;
}

}  // namespace qara::nimb::icd::dds
