#include "AllocationCounter.hpp"

#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t t_allocations = 0;

}  // namespace

namespace tarvex_test {

AllocationScope::AllocationScope() : m_start(t_allocations) {}

std::size_t AllocationScope::allocations() const
{
    return t_allocations - m_start;
}

}  // namespace tarvex_test

// The array, nothrow and sized forms of the standard library call these two.
void* operator new(std::size_t size)
{
    ++t_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
    {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}
