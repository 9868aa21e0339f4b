#pragma once

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <utility>

namespace qara::nimb {

namespace detail {

template <class T>
std::shared_ptr<T> newArray(std::size_t count)
{
    return std::shared_ptr<T>(new T[count](), std::default_delete<T[]>());
}

template <class T>
std::shared_ptr<T> filledArray(std::size_t count, const T& value)
{
    auto storage = newArray<T>(count);
    std::fill_n(storage.get(), count, value);
    return storage;
}

template <class T>
std::shared_ptr<T> copiedArray(std::initializer_list<T> values)
{
    auto storage = newArray<T>(values.size());
    std::copy(values.begin(), values.end(), storage.get());
    return storage;
}

inline bool sumFits(std::size_t a, std::size_t b) noexcept
{
    return b <= std::numeric_limits<std::size_t>::max() - a;
}

template <class E>
shared_vector_base<E>::shared_vector_base() noexcept : m_offset(0), m_count(0), m_total(0)
{
}

template <class E>
shared_vector_base<E>::shared_vector_base(std::shared_ptr<E> storage, std::size_t offset, std::size_t count)
    : shared_vector_base(std::move(storage), offset, count, offset + count)
{
    if (m_sdata && !sumFits(offset, count))
    {
        throw std::length_error("shared_vector: offset + count overflows");
    }
}

template <class E>
shared_vector_base<E>::shared_vector_base(std::shared_ptr<E> storage, std::size_t offset, std::size_t count,
                                          std::size_t total)
    : m_sdata(std::move(storage)), m_offset(0), m_count(0), m_total(0)
{
    if (!m_sdata)
    {
        return;
    }
    if (!sumFits(offset, total))
    {
        throw std::length_error("shared_vector: offset + total overflows");
    }
    m_offset = offset;
    m_count = count;
    m_total = total;
}

template <class E>
shared_vector_base<E>::shared_vector_base(shared_vector_base&& other) noexcept
    : m_sdata(std::move(other.m_sdata)),
      m_offset(std::exchange(other.m_offset, 0)),
      m_count(std::exchange(other.m_count, 0)),
      m_total(std::exchange(other.m_total, 0))
{
}

template <class E>
shared_vector_base<E>& shared_vector_base<E>::operator=(shared_vector_base&& other) noexcept
{
    if (this != &other)
    {
        m_sdata = std::move(other.m_sdata);
        m_offset = std::exchange(other.m_offset, 0);
        m_count = std::exchange(other.m_count, 0);
        m_total = std::exchange(other.m_total, 0);
    }
    return *this;
}

template <class E>
std::size_t shared_vector_base<E>::size() const noexcept
{
    return m_count;
}

template <class E>
bool shared_vector_base<E>::empty() const noexcept
{
    return m_count == 0;
}

template <class E>
long shared_vector_base<E>::use_count() const noexcept
{
    return m_sdata.use_count();
}

template <class E>
bool shared_vector_base<E>::unique() const noexcept
{
    return !m_sdata || m_sdata.use_count() == 1;
}

template <class E>
const std::shared_ptr<E>& shared_vector_base<E>::dataPtr() const noexcept
{
    return m_sdata;
}

template <class E>
std::size_t shared_vector_base<E>::dataOffset() const noexcept
{
    return m_offset;
}

template <class E>
std::size_t shared_vector_base<E>::dataTotal() const noexcept
{
    return m_total;
}

}  // namespace detail

template <class E>
shared_vector<E>::shared_vector(std::size_t count)
    : detail::shared_vector_base<E>(detail::newArray<value_type>(count), 0, count)
{
}

template <class E>
shared_vector<E>::shared_vector(std::size_t count, const value_type& value)
    : detail::shared_vector_base<E>(detail::filledArray(count, value), 0, count)
{
}

template <class E>
shared_vector<E>::shared_vector(std::initializer_list<value_type> values)
    : detail::shared_vector_base<E>(detail::copiedArray(values), 0, values.size())
{
}

template <class E>
shared_vector<E>::shared_vector(std::shared_ptr<E> storage, std::size_t offset, std::size_t count)
    : detail::shared_vector_base<E>(std::move(storage), offset, count)
{
}

template <class E>
shared_vector<E>::shared_vector(std::shared_ptr<E> storage, std::size_t offset, std::size_t count, std::size_t total)
    : detail::shared_vector_base<E>(std::move(storage), offset, count, total)
{
}

template <class E>
E* shared_vector<E>::data() const noexcept
{
    return this->m_sdata ? this->m_sdata.get() + this->m_offset : nullptr;
}

template <class E>
E* shared_vector<E>::begin() const noexcept
{
    return data();
}

template <class E>
E* shared_vector<E>::end() const noexcept
{
    return data() + this->m_count;
}

template <class E>
E& shared_vector<E>::operator[](std::size_t index) const noexcept
{
    return data()[index];
}

template <class E>
E& shared_vector<E>::at(std::size_t index) const
{
    if (index >= this->m_count)
    {
        throw std::out_of_range("shared_vector::at: index out of range");
    }
    return data()[index];
}

template <class E>
shared_vector<E>& shared_vector<E>::slice(std::size_t offset, std::size_t count)
{
    if (offset > this->m_count || count > this->m_count - offset)
    {
        throw std::out_of_range("shared_vector::slice: beyond the view");
    }
    if (!detail::sumFits(this->m_offset + offset, this->m_total))
    {
        throw std::length_error("shared_vector: offset + total overflows");
    }
    this->m_offset += offset;
    this->m_count = count;
    return *this;
}

template <class E>
shared_vector<const E> freeze(shared_vector<E>&& v)
{
    if (!v.unique())
    {
        throw std::runtime_error("Can't freeze non-unique vector");
    }
    shared_vector<const E> frozen(std::move(v.m_sdata), v.m_offset, v.m_count, v.m_total);
    v = shared_vector<E>();
    return frozen;
}

template <class E>
shared_vector<E> thaw(shared_vector<const E>&& v)
{
    if (!v.unique())
    {
        throw std::runtime_error("Can't thaw non-unique vector");
    }
    shared_vector<E> thawed(std::const_pointer_cast<E>(v.m_sdata), v.m_offset, v.m_count, v.m_total);
    v = shared_vector<const E>();
    return thawed;
}

}  // namespace qara::nimb
