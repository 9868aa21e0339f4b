#include "AllocationCounter.hpp"

#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t t_allocations = 0;

void* allocate(std::size_t size)
{
    ++t_allocations;
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

namespace tarvex_test {

std::size_t allocationCount()
{
    return t_allocations;
}

AllocationScope::AllocationScope() : m_start(t_allocations) {}

std::size_t AllocationScope::allocations() const
{
    return t_allocations - m_start;
}

}  // namespace tarvex_test

void* operator new(std::size_t size)
{
    if (void* p = allocate(size))
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
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
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
