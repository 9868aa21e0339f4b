#pragma once

#include <qara/nimb/shared_vector.hpp>

#include <array>
#include <cstddef>
#include <memory>

namespace qara::nimb::icd::dds {

// A fixed array inside a wire sample, seen through frozen views. A view is made when one is asked for and
// kept by nobody else: it shares the sample's storage through an aliasing pointer with an empty owner, so
// making one allocates nothing and copies no element, and an entity holds no view of its own. As a view is
// never the sole owner of its storage, it can never be thawed.
template <class E, class A, std::size_t N>
class NoCopyFixedSequenceGetter
{
public:
    explicit NoCopyFixedSequenceGetter(A& array) : m_array(&array) {}

    shared_vector<const E> get() const;

    // Whether the view holds exactly the N elements of the bound array, compared as values.
    bool sameElements(const shared_vector<const E>& values) const;

protected:
    A* m_array;
};

// Adds writing: the N elements of a view are copied into the bound array.
template <class E, class A, std::size_t N>
class NoCopyFixedSequence : public NoCopyFixedSequenceGetter<E, A, N>
{
public:
    using NoCopyFixedSequenceGetter<E, A, N>::NoCopyFixedSequenceGetter;

    // Throws std::out_of_range unless the view holds exactly N elements; a view of the field itself is
    // left alone.
    void assign(const shared_vector<const E>& values);
};

// The sequence over one array field of a sample, for the moment it is used.
template <class E, std::size_t N>
NoCopyFixedSequence<E, std::array<E, N>, N> sequenceOf(std::array<E, N>& array)
{
    return NoCopyFixedSequence<E, std::array<E, N>, N>(array);
}

}  // namespace qara::nimb::icd::dds

#include "icd/dds/NoCopyFixedSequence.inl"
