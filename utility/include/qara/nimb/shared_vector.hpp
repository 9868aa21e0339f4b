#pragma once

// Reference-counted view over an array: copies share the storage and never
// copy elements. shared_vector<const E> is the frozen, read-only form; only a
// view that is the sole owner of its storage may be frozen or thawed, so data
// handed out frozen can never change underneath its readers.

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <type_traits>

namespace qara::nimb {

namespace detail {

template <class E>
class shared_vector_base
{
public:
    std::size_t size() const noexcept;
    bool empty() const noexcept;
    long use_count() const noexcept;
    // True when no other view shares the storage (also for no storage).
    bool unique() const noexcept;
    const std::shared_ptr<E>& dataPtr() const noexcept;
    std::size_t dataOffset() const noexcept;
    // Elements available in the storage, counted from its start.
    std::size_t dataTotal() const noexcept;

protected:
    shared_vector_base() noexcept;
    shared_vector_base(std::shared_ptr<E> storage, std::size_t offset, std::size_t count);
    shared_vector_base(std::shared_ptr<E> storage, std::size_t offset, std::size_t count, std::size_t total);
    shared_vector_base(const shared_vector_base&) = default;
    shared_vector_base(shared_vector_base&& other) noexcept;
    shared_vector_base& operator=(const shared_vector_base&) = default;
    shared_vector_base& operator=(shared_vector_base&& other) noexcept;
    ~shared_vector_base() = default;

    std::shared_ptr<E> m_sdata;
    std::size_t m_offset;
    std::size_t m_count;
    std::size_t m_total;
};

}  // namespace detail

// Constness is shallow, as for a pointer: only shared_vector<const E> forbids
// writing the elements.
template <class E>
class shared_vector : public detail::shared_vector_base<E>
{
public:
    using element_type = E;
    using value_type = std::remove_const_t<E>;
    using size_type = std::size_t;
    using pointer = E*;
    using reference = E&;
    using iterator = E*;

    shared_vector() noexcept = default;
    explicit shared_vector(std::size_t count);
    shared_vector(std::size_t count, const value_type& value);
    shared_vector(std::initializer_list<value_type> values);
    shared_vector(std::shared_ptr<E> storage, std::size_t offset, std::size_t count);

    E* data() const noexcept;
    E* begin() const noexcept;
    E* end() const noexcept;
    E& operator[](std::size_t index) const noexcept;
    E& at(std::size_t index) const;

    // Narrows this view to [offset, offset + count) of the current one.
    shared_vector& slice(std::size_t offset, std::size_t count);

private:
    shared_vector(std::shared_ptr<E> storage, std::size_t offset, std::size_t count, std::size_t total);

    template <class U>
    friend shared_vector<const U> freeze(shared_vector<U>&& v);
    template <class U>
    friend shared_vector<U> thaw(shared_vector<const U>&& v);
};

// Throws std::runtime_error when another view shares v's storage; v is then
// left untouched. Otherwise v is emptied.
template <class E>
shared_vector<const E> freeze(shared_vector<E>&& v);

template <class E>
shared_vector<E> thaw(shared_vector<const E>&& v);

}  // namespace qara::nimb

#include "shared_vector.inl"
