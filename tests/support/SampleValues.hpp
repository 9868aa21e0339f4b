#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

// Generic helpers over the generated wire structures, driven by their field visitors.
namespace tarvex_test {

namespace detail {

template <class E>
E distinctValue(uint32_t seed, uint32_t position)
{
    if constexpr (std::is_same_v<E, bool>)
    {
        return ((seed + position) % 3) != 0;
    }
    else if constexpr (std::is_floating_point_v<E>)
    {
        return static_cast<E>(seed) * E(1.25) + static_cast<E>(position) + E(0.5);
    }
    else
    {
        return static_cast<E>(seed * 7919u + position * 31u + 1u);
    }
}

template <class F>
constexpr bool isArray = false;
template <class E, std::size_t N>
constexpr bool isArray<std::array<E, N>> = true;

}  // namespace detail

// Every field non-default and different from its neighbours; the first element of every floating-point
// array is NaN and the second -0.0, so encodings must carry exact bit patterns.
template <class W>
W makeDistinctSample(uint32_t seed, bool withSpecialFloats = true)
{
    W sample;
    uint32_t position = 0;
    sample.visitFields([&](const char*, auto& field) {
        using F = std::decay_t<decltype(field)>;
        if constexpr (detail::isArray<F>)
        {
            using E = typename F::value_type;
            for (std::size_t i = 0; i < field.size(); ++i)
            {
                field[i] = detail::distinctValue<E>(seed, position++);
            }
            if constexpr (std::is_floating_point_v<E>)
            {
                if (withSpecialFloats)
                {
                    field[0] = std::numeric_limits<E>::quiet_NaN();
                    field[1] = E(-0.0);
                }
            }
        }
        else
        {
            field = detail::distinctValue<F>(seed, position++);
        }
    });
    return sample;
}

// The fields' bytes in wire order (no padding), for comparisons that must see NaN and -0.0 exactly.
template <class W>
std::vector<unsigned char> fieldBytes(const W& sample)
{
    std::vector<unsigned char> bytes;
    sample.visitFields([&](const char*, const auto& field) {
        const auto* begin = reinterpret_cast<const unsigned char*>(&field);
        bytes.insert(bytes.end(), begin, begin + sizeof(field));
    });
    return bytes;
}

}  // namespace tarvex_test
