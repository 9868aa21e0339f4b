#pragma once

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace qara::nimb::icd::dds {

template <class E, class A, std::size_t N>
shared_vector<const E> NoCopyFixedSequenceGetter<E, A, N>::get() const
{
    return shared_vector<const E>(std::shared_ptr<const E>(std::shared_ptr<const E>(), m_array->data()), 0, N);
}

template <class E, class A, std::size_t N>
bool NoCopyFixedSequenceGetter<E, A, N>::sameElements(const shared_vector<const E>& values) const
{
    return values.size() == N && std::equal(m_array->begin(), m_array->end(), values.data());
}

template <class E, class A, std::size_t N>
void NoCopyFixedSequence<E, A, N>::assign(const shared_vector<const E>& values)
{
    const E* source = values.data();
    E* target = this->m_array->data();
    if (source == target)
    {
        return;
    }
    if (values.size() != N)
    {
        throw std::out_of_range("invalid size for fixed size array");
    }
    // The source may be another view into this very array.
    std::memmove(static_cast<void*>(target), static_cast<const void*>(source), N * sizeof(E));
}

}  // namespace qara::nimb::icd::dds
