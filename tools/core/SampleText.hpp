#pragma once

// Samples as text, field by field through their visitors: JSON for echo, name=value for pub's --set.

#include "tools/core/Fields.hpp"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qara::nimb::tools {

namespace detail {

// A float as the double with the same shortest decimal form, so that it prints as 0.1 and not as the
// double nearest to the float; JSON has no NaN or infinity, and nlohmann-json prints those as null.
template <class E>
nlohmann::ordered_json jsonOf(E value)
{
    if constexpr (std::is_same_v<E, float>)
    {
        char buffer[32];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer - 1, value).ptr;
        *end = '\0';
        return std::isfinite(value) ? nlohmann::ordered_json(std::strtod(buffer, nullptr)) : nlohmann::ordered_json();
    }
    else
    {
        return value;
    }
}

inline std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(' ');
    return first == std::string_view::npos ? std::string_view()
                                           : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// One value of a field of element type E; the message says what was expected.
template <class E>
E parseValue(std::string_view text, const std::string& field)
{
    text = trimmed(text);
    if constexpr (std::is_same_v<E, bool>)
    {
        if (text == "true" || text == "false")
        {
            return text == "true";
        }
        throw std::invalid_argument("field " + field + " expects true or false, not '" + std::string(text) + "'");
    }
    else
    {
        E value{};
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (!text.empty() && ec == std::errc() && end == text.data() + text.size())
        {
            return value;
        }
        if constexpr (std::is_floating_point_v<E>)
        {
            throw std::invalid_argument("field " + field + " expects a number, not '" + std::string(text) + "'");
        }
        else
        {
            // Through long long, so that an 8-bit type prints as a number.
            throw std::invalid_argument("field " + field + " expects an integer from " +
                                        std::to_string(static_cast<long long>(std::numeric_limits<E>::min())) + " to " +
                                        std::to_string(std::numeric_limits<E>::max()) + ", not '" + std::string(text) +
                                        "'");
        }
    }
}

}  // namespace detail

// One JSON object, every field by name in wire order; arrays as JSON arrays, flags as true/false. S is a
// topic interface or a wire structure.
template <class S>
nlohmann::ordered_json toJson(const S& sample)
{
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    sample.visitFields([&out](const char* name, const auto& value) {
        if constexpr (isArrayField<decltype(value)>)
        {
            auto& array = out[name] = nlohmann::ordered_json::array();
            for (std::size_t i = 0; i < value.size(); ++i)
            {
                array.push_back(detail::jsonOf(value[i]));
            }
        }
        else
        {
            out[name] = detail::jsonOf(value);
        }
    });
    return out;
}

// Applies "name=value" to a sample of topic `type`. A scalar takes a number or true/false; an array takes
// exactly as many comma-separated values as it has elements. std::invalid_argument says what is wrong.
// Returns the field's name.
template <class T>
std::string setField(T& sample, const std::string& type, const std::string& assignment)
{
    const auto equals = assignment.find('=');
    if (equals == std::string::npos || equals == 0)
    {
        throw std::invalid_argument("--set expects name=value, not '" + assignment + "'");
    }
    const std::string name = assignment.substr(0, equals);
    const std::string_view text = std::string_view(assignment).substr(equals + 1);
    bool found = false;
    sample.visitFields([&](const char* field, const auto& value, const auto& set) {
        if (found || name != field)
        {
            return;
        }
        found = true;
        using V = std::decay_t<decltype(value)>;
        if constexpr (isArrayField<V>)
        {
            using E = ElementOf<V>;
            std::vector<std::string_view> items;
            std::string_view rest = text;
            for (auto comma = rest.find(','); comma != std::string_view::npos; comma = rest.find(','))
            {
                items.push_back(rest.substr(0, comma));
                rest.remove_prefix(comma + 1);
            }
            items.push_back(rest);
            if (items.size() != value.size())
            {
                throw std::invalid_argument("field " + name + " has " + std::to_string(value.size()) +
                                            " elements, --set gave " + std::to_string(items.size()));
            }
            shared_vector<E> elements(items.size());
            for (std::size_t i = 0; i < items.size(); ++i)
            {
                elements[i] = detail::parseValue<E>(items[i], name);
            }
            set(freeze(std::move(elements)));
        }
        else
        {
            set(detail::parseValue<V>(text, name));
        }
    });
    if (!found)
    {
        throw std::invalid_argument(type + " has no field '" + name + "'");
    }
    return name;
}

}  // namespace qara::nimb::tools
