#pragma once

#include "SampleValues.hpp"

#include <cstdint>
#include <cstdio>
#include <string>

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

}  // namespace tarvex_test
