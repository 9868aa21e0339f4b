#pragma once

// Field values set and read by position and type, on topic interfaces (through their setters) and on wire
// structures alike: both list the same fields in the same order.

#include "tools/core/Topics.hpp"

#include <qara/nimb/shared_vector.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace qara::nimb::tools {

// Whether a field's value is an array (a view of an interface or an array of a wire structure), and the
// type of its elements (its own type for a scalar).
template <class V>
constexpr bool isArrayField = !std::is_arithmetic_v<std::decay_t<V>>;
template <class V>
using ElementOf = std::remove_cv_t<std::remove_reference_t<
    decltype(*std::begin(std::declval<std::conditional_t<isArrayField<V>, std::decay_t<V>, std::decay_t<V>[1]>&>()))>>;

// Rewrites the elements of a field (a scalar has one) with edit(elements, count): a wire structure's field in
// place, an interface's on a copy that its setter `set` then takes.
template <class V, class Edit, class... Set>
void editField(V&& value, Edit&& edit, const Set&... set)
{
    using E = ElementOf<V>;
    if constexpr (sizeof...(Set) == 0 && isArrayField<V>)
    {
        edit(value.data(), value.size());
    }
    else if constexpr (sizeof...(Set) == 0)
    {
        edit(&value, 1);
    }
    else if constexpr (isArrayField<V>)
    {
        shared_vector<E> elements(value.size());
        std::copy(value.begin(), value.end(), elements.begin());
        edit(elements.data(), elements.size());
        (set(freeze(std::move(elements))), ...);
    }
    else
    {
        E element = value;
        edit(&element, 1);
        (set(element), ...);
    }
}

// Sets every numeric field of a sample (a topic interface or a wire structure), array elements included, to
// `counter`, so that consecutive samples differ. Flags keep their value, and so do the fields named in `keep`.
template <class S>
void fillCounter(S& sample, uint64_t counter, const std::set<std::string>& keep = {})
{
    sample.visitFields([counter, &keep](const char* name, auto&& value, const auto&... set) {
        using E = ElementOf<decltype(value)>;
        if constexpr (!std::is_same_v<E, bool>)
        {
            if (keep.count(name) == 0)
            {
                editField(
                    value, [counter](E* elements, std::size_t count) { std::fill_n(elements, count, E(counter)); },
                    set...);
            }
        }
    });
}

// The field of a topic that carries a sample's sequence number, by position in wire order and by name: the
// first unsigned 64-bit field, else the first 32-bit integer, else element 0 of the first floating-point
// array. S is the topic's interface or wire structure.
template <class S>
const std::pair<std::size_t, std::string>& sequenceField()
{
    static const std::pair<std::size_t, std::string> field = [] {
        std::pair<std::size_t, std::string> best;
        int bestRank = 0;
        std::size_t index = 0;
        typename WireOf<S>::type().visitFields([&](const char* name, const auto& value) {
            using E = ElementOf<decltype(value)>;
            const bool integer = std::is_integral_v<E> && !std::is_same_v<E, bool>;
            const int rank = isArrayField<decltype(value)>                ? (std::is_floating_point_v<E> ? 1 : 0)
                             : integer && sizeof(E) == 8 && std::is_unsigned_v<E> ? 3
                             : integer && sizeof(E) == 4                          ? 2
                                                                                  : 0;
            if (rank > bestRank)
            {
                best = {index, name};
                bestRank = rank;
            }
            ++index;
        });
        return best;
    }();
    return field;
}

template <class V>
uint64_t firstNumber(const V& value)
{
    if constexpr (isArrayField<V>)
    {
        return static_cast<uint64_t>(value[0]);
    }
    else
    {
        return static_cast<uint64_t>(value);
    }
}

// The sequence field of a topic interface, reached through its own two accessors only: they are virtual, and
// visiting every field would make a view of every array.
template <class S>
struct SequenceAccessors
{
    std::function<uint64_t(const S&)> read;
    std::function<void(S&, uint64_t)> write;
};

template <class S>
const SequenceAccessors<S>& sequenceAccessors()
{
    static const SequenceAccessors<S> accessors = [] {
        SequenceAccessors<S> found;
        std::size_t index = 0;
        S::visitAccessors([&](const char*, auto getter, auto setter) {
            if (index++ != sequenceField<S>().first)
            {
                return;
            }
            found.read = [getter](const S& sample) { return firstNumber((sample.*getter)()); };
            found.write = [getter, setter](S& sample, uint64_t sequence) {
                const auto value = (sample.*getter)();
                using E = ElementOf<decltype(value)>;
                editField(
                    value, [sequence](E* elements, std::size_t) { elements[0] = static_cast<E>(sequence); },
                    [&sample, setter](const auto& newValue) { (sample.*setter)(newValue); });
            };
        });
        return found;
    }();
    return accessors;
}

// Calls use(field) with a wire structure's sequence field (const or not, as the structure is).
template <class W, class Use>
void withSequenceField(W& wire, Use use)
{
    const std::size_t wanted = sequenceField<std::remove_const_t<W>>().first;
    std::size_t index = 0;
    wire.visitFields([&](const char*, auto& value) {
        if (index++ == wanted)
        {
            use(value);
        }
    });
}

// The sequence number a sample carries, from an interface or a wire structure.
template <class S>
uint64_t sequenceOf(const S& sample)
{
    if constexpr (std::is_abstract_v<S>)
    {
        return sequenceAccessors<S>().read(sample);
    }
    else
    {
        uint64_t sequence = 0;
        withSequenceField(sample, [&](const auto& value) { sequence = firstNumber(value); });
        return sequence;
    }
}

// Sets the sequence number of a sample, a topic interface or a wire structure.
template <class S>
void setSequence(S& sample, uint64_t sequence)
{
    if constexpr (std::is_abstract_v<S>)
    {
        sequenceAccessors<S>().write(sample, sequence);
    }
    else
    {
        withSequenceField(sample, [sequence](auto& value) {
            using E = ElementOf<decltype(value)>;
            editField(value, [sequence](E* elements, std::size_t) { elements[0] = static_cast<E>(sequence); });
        });
    }
}

// Copies every field of a wire structure into an interface's sample.
template <class W, class T>
void copyWire(const W& wire, T& sample)
{
    std::vector<const void*> fields;
    fields.reserve(W::fieldCount);
    wire.visitFields([&](const char*, const auto& value) { fields.push_back(&value); });
    std::size_t n = 0;
    sample.visitFields([&](const char*, auto&& value, const auto&... set) {
        const void* field = fields.at(n++);
        editField(
            value,
            [field](auto* elements, std::size_t count) { std::memcpy(elements, field, count * sizeof *elements); },
            set...);
    });
}

}  // namespace qara::nimb::tools
