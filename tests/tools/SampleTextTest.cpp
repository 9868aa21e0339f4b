#include "Plugin.hpp"

#include "tools/core/SampleText.hpp"

#include <nlohmann/json.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

// The text forms of samples, on data entities of every topic made by the built plug-in.
namespace {

using namespace qara::nimb::tools;

// A field found by what it holds, so that tests name no field of the IDL by hand.
struct Field
{
    std::string name;
    std::size_t size = 0;  // 0 for a scalar
};

// The n-th field of `entity` whose elements have type E, among the arrays or among the scalars.
template <class E, bool Array, class T>
Field nthField(const T& entity, std::size_t n = 0)
{
    Field found;
    entity.visitFields([&](const char* name, const auto& value) {
        if constexpr (isArrayField<decltype(value)> == Array)
        {
            if (found.name.empty() && std::is_same_v<ElementOf<decltype(value)>, E> && n-- == 0)
            {
                found.name = name;
                if constexpr (Array)
                {
                    found.size = value.size();
                }
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
std::string listOf(std::size_t count, const std::string& first, const std::string& rest)
{
    std::string text = first;
    for (std::size_t i = 1; i < count; ++i)
    {
        text += "," + rest;
    }
    return text;
}

template <class E>
std::string extremeText(bool first)
{
    if constexpr (std::is_same_v<E, bool>)
    {
        return first ? "true" : "false";
    }
    else if constexpr (std::is_floating_point_v<E>)
    {
        // Both print differently as float and as double, so a float widened on the way out would show.
        return first ? "0.1" : "-2.5e-07";
    }
    else
    {
        return std::to_string(+(first ? std::numeric_limits<E>::max() : std::numeric_limits<E>::min()));
    }
}

// Every field takes an extreme of its type through set and prints it back in wire order; the counter then
// fills every number and leaves every flag.
TEST(SampleText, EveryFieldOfEveryTopicKeepsWhatSetGaveItAndTheCounterFillsNumbers)
{
    forEachTopic([](auto topic) {
        const std::string type = topic.name;
        SCOPED_TRACE(type);
        auto sample = PluginEntries<typename decltype(topic)::Type>(tarvex_test::plugin(), type).entity();
        nlohmann::ordered_json expected;
        std::as_const(*sample).visitFields([&](const char* name, const auto& value) {
            using E = ElementOf<decltype(value)>;
            std::string text;
            if constexpr (isArrayField<decltype(value)>)
            {
                for (std::size_t i = 0; i < value.size(); ++i)
                {
                    text += (i == 0 ? "" : ",") + extremeText<E>(i == 0);
                }
                expected[name] = nlohmann::ordered_json::parse("[" + text + "]");
            }
            else
            {
                text = extremeText<E>(true);
                expected[name] = nlohmann::ordered_json::parse(text);
            }
            setField(*sample, type, std::string(name) + "=" + text);
        });
        // Through the text, so that a float reads back as the double it printed.
        EXPECT_EQ(nlohmann::ordered_json::parse(toJson(*sample).dump()), expected);

        // JSON has no NaN: it prints as null.
        if (type == "PsMeasurements")
        {
            const auto floats = nthField<float, true>(*sample);
            setField(*sample, type, floats.name + "=" + listOf(floats.size, "nan", "0"));
            EXPECT_TRUE(toJson(*sample).at(floats.name).at(0).is_null());
        }

        fillCounter(*sample, 42);
        const auto fill = [](nlohmann::ordered_json& element) {
            element = element.is_boolean() ? element : nlohmann::ordered_json(42);
        };
        for (auto& value : expected)
        {
            value.is_array() ? void(std::for_each(value.begin(), value.end(), fill)) : fill(value);
        }
        EXPECT_EQ(toJson(*sample), expected);
    });
}

TEST(SampleText, SetRefusesWhatDoesNotFitTheField)
{
    const auto sample =
        PluginEntries<tarvex::SaMeasurements_fast>(tarvex_test::plugin(), "SaMeasurements_fast").entity();
    const auto flag = nthField<bool, false>(*sample).name;
    const auto uint16 = nthField<uint16_t, false>(*sample).name;
    const auto uint64 = nthField<uint64_t, false>(*sample).name;
    const auto [int32s, int32Count] = nthField<int32_t, true>(*sample);
    const auto [reals, realCount] = nthField<double, true>(*sample);
    ASSERT_FALSE(HasFailure());
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"no_such_field=1", "SaMeasurements_fast has no field 'no_such_field'"},
        {"=1", "expects name=value"},
        {flag, "expects name=value"},
        {flag + "=True", "expects true or false, not 'True'"},
        {uint16 + "=65536", "expects an integer from 0 to 65535, not '65536'"},
        {uint16 + "=-1", "from 0 to 65535"},
        {uint16 + "=1.5", "not '1.5'"},
        {uint64 + "=18446744073709551616", "to 18446744073709551615"},
        {int32s + "=1,2", "has " + std::to_string(int32Count) + " elements, --set gave 2"},
        {int32s + "=2147483648," + listOf(int32Count - 1, "0", "0"), "from -2147483648 to 2147483647"},
        {reals + "=1,," + listOf(realCount - 2, "0", "0"), "expects a number, not ''"},
    };
    for (const auto& [assignment, message] : refused)
    {
        SCOPED_TRACE(assignment);
        try
        {
            setField(*sample, "SaMeasurements_fast", assignment);
            ADD_FAILURE() << "accepted";
        }
        catch (const std::invalid_argument& e)
        {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
    setField(*sample, "SaMeasurements_fast", uint16 + "= 7 ");
    EXPECT_NE(toJson(*sample).dump().find("\"" + uint16 + "\":7"), std::string::npos)
        << "blanks around a value are allowed";
}

}  // namespace
