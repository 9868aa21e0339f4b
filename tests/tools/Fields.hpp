#pragma once

#include <qara/nimb/shared_vector.hpp>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <type_traits>

// Fields of a data entity found by what they hold, so that tests name no field of the IDL by hand.
namespace tarvex_test {

struct Field
{
    std::string name;
    std::size_t size = 0;  // 0 for a scalar
};

namespace detail {

template <class V>
struct Element
{
    using type = V;
};

template <class E>
struct Element<qara::nimb::shared_vector<E>>
{
    using type = std::remove_const_t<E>;
};

}  // namespace detail

// The n-th field of `entity` whose elements have type E, among the arrays or among the scalars.
template <class E, bool Array, class T>
Field nthField(const T& entity, std::size_t n = 0)
{
    Field found;
    entity.visitFields([&](const char* name, const auto& value) {
        using V = std::decay_t<decltype(value)>;
        using Held = typename detail::Element<V>::type;
        constexpr bool isArray = !std::is_same_v<Held, V>;
        if (found.name.empty() && isArray == Array && std::is_same_v<Held, E> && n-- == 0)
        {
            found.name = name;
            if constexpr (isArray)
            {
                found.size = value.size();
            }
        }
    });
    if (found.name.empty())
    {
        ADD_FAILURE() << "no such field";
    }
    return found;
}

// "first,rest,rest,..." with `count` values.
inline std::string listOf(std::size_t count, const std::string& first, const std::string& rest)
{
    std::string text = first;
    for (std::size_t i = 1; i < count; ++i)
    {
        text += "," + rest;
    }
    return text;
}

}  // namespace tarvex_test
