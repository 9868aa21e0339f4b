#pragma once

#include <cstddef>

// Counts every call of the global allocation functions in the test executable that links
// AllocationCounter.cpp (including allocations made inside the plug-in and Fast DDS).
namespace tarvex_test {

// Allocations made on this thread while the scope lives.
class AllocationScope
{
public:
    AllocationScope();
    std::size_t allocations() const;

private:
    std::size_t m_start;
};

}  // namespace tarvex_test
