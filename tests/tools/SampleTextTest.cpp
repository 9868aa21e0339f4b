#include "Fields.hpp"
#include "Plugin.hpp"
#include "PubSubPlugin.hpp"
#include "SampleText.hpp"

#include <nlohmann/json.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

// The text forms of samples, on data entities of every topic made by the built plug-in.
namespace {

using namespace qara::nimb::tools;
using tarvex_test::listOf;
using tarvex_test::nthField;

template <class F>
void forEachEntity(F&& f)
{
    forEachTopic([&](auto topic) {
        using T = typename decltype(topic)::Type;
        SCOPED_TRACE(topic.name);
        f(topic.name, PluginEntries<T>(tarvex_test::plugin(), topic.name).entity());
    });
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
    forEachEntity([](const std::string& type, auto sample) {
        std::vector<std::pair<std::string, std::string>> expected;
        std::as_const(*sample).visitFields([&](const char* name, const auto& value) {
            using V = std::decay_t<decltype(value)>;
            std::string text;
            if constexpr (IsSharedVector<V>::value)
            {
                using E = std::remove_const_t<typename V::element_type>;
                for (std::size_t i = 0; i < value.size(); ++i)
                {
                    text += (i == 0 ? "" : ",") + extremeText<E>(i == 0);
                }
                expected.emplace_back(name, "[" + text + "]");
            }
            else
            {
                text = extremeText<V>(true);
                expected.emplace_back(name, text);
            }
            setField(*sample, type, std::string(name) + "=" + text);
        });
        const auto json = toJson(*sample);
        ASSERT_EQ(json.size(), expected.size());
        auto member = json.begin();
        for (const auto& [name, value] : expected)
        {
            EXPECT_EQ(member.key(), name);
            EXPECT_EQ(nlohmann::ordered_json::parse(member->dump()), nlohmann::ordered_json::parse(value)) << name;
            ++member;
        }

        // JSON has no NaN: it prints as null.
        if (type == "PsMeasurements")
        {
            const auto floats = nthField<float, true>(*sample);
            setField(*sample, type, floats.name + "=" + listOf(floats.size, "nan", "0"));
            EXPECT_TRUE(toJson(*sample).at(floats.name).at(0).is_null());
            setField(*sample, type, floats.name + "=" + listOf(floats.size, "0.1", "-2.5e-07"));
        }

        fillCounter(*sample, 42);
        const auto counted = toJson(*sample);
        for (const auto& [name, value] : expected)
        {
            auto want = nlohmann::ordered_json::parse(value);
            const auto fill = [](nlohmann::ordered_json& element) {
                element = element.is_boolean() ? element : nlohmann::ordered_json(42);
            };
            if (want.is_array())
            {
                std::for_each(want.begin(), want.end(), fill);
            }
            else
            {
                fill(want);
            }
            EXPECT_EQ(counted.at(name), want) << name;
        }
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
        {flag + "=1", "expects true or false"},
        {uint16 + "=65536", "expects an integer from 0 to 65535, not '65536'"},
        {uint16 + "=-1", "from 0 to 65535"},
        {uint16 + "=", "not ''"},
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
