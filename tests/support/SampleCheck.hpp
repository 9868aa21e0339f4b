#pragma once

#include "SampleValues.hpp"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tarvex_test {

// A 64-bit FNV-1a of a sample's field bytes in hex: what a process prints so that another can check it
// received exactly the values sent, NaN payloads and -0.0 included.
template <class W>
std::string checksum(const W& sample)
{
    uint64_t hash = 14695981039346656037ull;
    for (unsigned char byte : fieldBytes(sample))
    {
        hash = (hash ^ byte) * 1099511628211ull;
    }
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

// What a subscribing peer prints for the samples of seeds 1..count, in order.
template <class W>
std::vector<std::string> expectedChecksums(uint32_t count)
{
    std::vector<std::string> expected;
    for (uint32_t seed = 1; seed <= count; ++seed)
    {
        expected.push_back(checksum(makeDistinctSample<W>(seed)));
    }
    return expected;
}

}  // namespace tarvex_test
