#pragma once

#include <qara/nimb/shared_vector.hpp>

#include <cstddef>
#include <memory>

namespace qara::nimb::icd::dds {

// A frozen view of all N elements of a fixed array inside a wire sample. Reading hands out copies of
// the view: they share the sample's storage, so no element is copied and nothing is allocated. The view
// owns nothing (an aliasing pointer with an empty owner, so not even a control block is allocated), and
// as it is never the sole owner of its storage it can never be thawed.
template <class E, class A, std::size_t N>
class NoCopyFixedSequenceGetter
{
public:
    explicit NoCopyFixedSequenceGetter(A& array);

    shared_vector<const E> get() const { return m_view; }

    // Whether the view holds exactly the N elements of the bound array, compared as values.
    bool sameElements(const shared_vector<const E>& values) const;

protected:
    A* m_array;
    shared_vector<const E> m_view;
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

    void assign(const A& values) { *this->m_array = values; }
};

}  // namespace qara::nimb::icd::dds

#include "icd/dds/NoCopyFixedSequence.inl"
