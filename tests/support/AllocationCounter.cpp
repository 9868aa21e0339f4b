#include "AllocationCounter.hpp"

#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t t_allocations = 0;

}  // namespace

std::size_t tarvex_test::allocations()
{
    return t_allocations;
}

// Every form: under AddressSanitizer a form left out would be the sanitizer's, and a block could be freed
// by an allocator other than the one that made it.
void* operator new(std::size_t size)
{
    ++t_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
    {
        return p;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    ++t_allocations;
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept
{
    return operator new(size, nothrow);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
