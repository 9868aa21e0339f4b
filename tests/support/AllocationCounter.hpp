#pragma once

#include <cstddef>

// Counts every call of the global allocation functions in the test executable that links
// AllocationCounter.cpp (including allocations made inside the plug-in and Fast DDS).
namespace tarvex_test {

// Allocations made on this thread so far.
std::size_t allocations();

}  // namespace tarvex_test
