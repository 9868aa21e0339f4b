#include "Plugin.hpp"

#include "tools/core/CdrFunctions.hpp"
#include "tools/core/SampleText.hpp"
#include "tools/core/Schema.hpp"
#include "tools/core/Tally.hpp"

#include <nlohmann/json.hpp>
#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <utility>

// The tool core in this process: the tally and its statistics, field numbering and text, the plug-in's CDR
// functions found by name and the schema text.
namespace {

using namespace qara::nimb::tools;

// The name and size (0 for a scalar) of the first field whose elements have type E, among the arrays or the
// scalars: the tests name no field of the IDL by hand.
template <class E, bool Array, class T>
std::pair<std::string, std::size_t> firstField(const T& entity)
{
    std::pair<std::string, std::size_t> found;
    entity.visitFields([&](const char* name, const auto& value) {
        if constexpr (isArrayField<decltype(value)> == Array && std::is_same_v<ElementOf<decltype(value)>, E>)
        {
            if (found.first.empty())
            {
                found.first = name;
                if constexpr (Array)
                {
                    found.second = value.size();
                }
            }
        }
    });
    EXPECT_FALSE(found.first.empty()) << "no such field";
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

// A value of type E as text: the largest integer, or a fraction that prints differently as float and as
// double, so that a float widened on the way out would show.
template <class E>
std::string extremeText()
{
    if constexpr (std::is_same_v<E, bool>)
    {
        return "true";
    }
    return std::is_floating_point_v<E> ? "0.1" : std::to_string(+std::numeric_limits<E>::max());
}

// Counts of one reader fed sequence numbers in arrival order; one writer numbers from 1, two interleave.
TEST(Tally, CountsOrderRepeatsAndGapsFromTheFirstArrivalOn)
{
    struct Case
    {
        const char* name;
        std::vector<uint64_t> arrivals;
        uint64_t limit;
        std::vector<uint64_t> expected;  // received, first, lost, out of order, duplicates
    };
    const Case cases[] = {
        {"in order", {1, 2, 3, 4}, 0, {4, 1, 0, 0, 0}},
        {"joined late, one lost", {5, 6, 8}, 0, {3, 5, 1, 0, 0}},
        {"overtaken", {1, 3, 2, 4}, 0, {4, 1, 0, 1, 0}},
        {"older than the first", {5, 6, 4}, 0, {3, 5, 0, 1, 0}},
        {"two writers from 1", {1, 1, 2, 3, 2, 3}, 0, {6, 1, 0, 0, 3}},
        {"a writer restarted", {1, 2, 3, 4, 1, 2}, 0, {6, 1, 0, 0, 2}},
        {"beyond the limit", {1, 2, 4, 5}, 3, {3, 1, 1, 0, 0}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Tally tally(c.limit);
        for (const uint64_t sequence : c.arrivals)
        {
            tally.arrive(sequence, 1.0, 0.001 * static_cast<double>(sequence));
        }
        const Tally::Counts counts = tally.counts();
        EXPECT_EQ(std::vector<uint64_t>({counts.received, counts.first, counts.lost, counts.outOfOrder,
                                         counts.duplicates}),
                  c.expected);
        EXPECT_EQ(tally.latencies().size(), counts.received);
        EXPECT_TRUE(tally.waitForSequence(c.arrivals[counts.received - 1], std::chrono::seconds(0)));
    }
    Tally tally;
    tally.arrive(1, 10.0, 0);
    tally.restart(20.0);
    tally.arrive(2, 19.9, 0);  // stamped before the restart
    tally.arrive(3, 20.0, 0.5);
    EXPECT_EQ(tally.counts().received, 1u);
    EXPECT_EQ(tally.counts().first, 3u);
    EXPECT_EQ(tally.latencies(), std::vector<double>{0.5});
    EXPECT_EQ(tally.waitForCount(2, std::chrono::milliseconds(1)), 1u);
}

// Nearest ranks of 1..100 (given in reverse), and the bootstrap interval around the median of rounds.
TEST(Statistics, PercentilesByNearestRankAndRatioIntervals)
{
    std::vector<double> hundred(100);
    std::iota(hundred.rbegin(), hundred.rend(), 1.0);
    const LatencySummary s = summarize(hundred);
    EXPECT_EQ(std::vector<double>({double(s.count), s.median, s.p90, s.p99, s.max}),
              std::vector<double>({100, 50, 90, 99, 100}));
    EXPECT_EQ(summarize({0.25}).p99, 0.25);
    EXPECT_EQ(summarize({}).count, 0u);
    EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
    const RatioSummary odd = summarizeRatios({5, 1, 4, 2, 3});
    EXPECT_EQ(odd.median, 3.0);
    EXPECT_TRUE(1.0 <= odd.low && odd.low < odd.median && odd.median < odd.high && odd.high <= 5.0)
        << odd.low << " " << odd.high;
    const RatioSummary steady = summarizeRatios({1.02, 1.02, 1.02});
    EXPECT_EQ(std::vector<double>({steady.low, steady.high}), std::vector<double>({1.02, 1.02}));
    EXPECT_EQ(summarizeRatios({}).median, 0.0);
}

// Every topic: the sequence field README names, numbering alike on the interface and the wire structure,
// the wire structure through the plug-in's CDR functions and back, and its schema text field by field.
TEST(ToolCore, FieldsCdrAndSchemaOfEveryTopic)
{
    const std::map<std::string, std::string> sequenceFields = {
        {"PsMeasurements", "implementations_fb_main_ps_sttlm_ltappliedpositiontimestamp"},
        {"SaMeasurements_slow", "implementations_fb_main_sa_sttlm_rtemperaturecell"},
        {"SaMeasurements_medium", "implementations_fb_main_cell_sttlm_esaactuatorstate"},
        {"SaMeasurements_fast", "implementations_fb_main_sa_sttlm_ltappliedforcetimestamp"}};
    forEachTopic([&](auto topic) {
        using T = typename decltype(topic)::Type;
        using W = typename decltype(topic)::Wire;
        SCOPED_TRACE(topic.name);
        EXPECT_EQ(sequenceField<W>().second, sequenceFields.at(topic.name));
        const auto entity = PluginEntries<T>(tarvex_test::plugin(), topic.name).entity();
        W wire;
        fillCounter(*entity, 7);
        fillCounter(wire, 7);
        setSequence(*entity, 41);
        setSequence(wire, 41);
        EXPECT_EQ(toJson(*entity), toJson(wire));
        EXPECT_EQ(sequenceOf(*entity), 41u);

        const CdrFunctions<W> cdr(tarvex_test::plugin(), topic.name);
        for (const auto representation : {eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION,
                                          eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION})
        {
            qara::nimb::icd::dds::fastdds::SerializedPayload payload(8 * sizeof(W));
            ASSERT_TRUE(cdr.encode(wire, representation, payload));
            W decoded;
            cdr.decode(payload.data, payload.length, decoded);
            EXPECT_TRUE(decoded == wire);
            copyWire(decoded, *entity);
            EXPECT_EQ(toJson(*entity), toJson(wire));
            EXPECT_THROW(cdr.decode(payload.data, payload.length - 4, decoded), std::runtime_error);
        }

        const Schema schema = schemaOf(topic.name);
        EXPECT_EQ(schema.name, std::string("tarvex::") + topic.name);
        EXPECT_EQ(typeOfSchema(schema.name), topic.name);
        EXPECT_EQ(schema.encoding, "omgidl");
        EXPECT_EQ(schema.text.rfind(std::string("module tarvex {\n@appendable\nstruct ") + topic.name + " {\n", 0), 0u);
        std::size_t members = 0;
        wire.visitFields([&](const char* name, const auto& value) {
            std::string member = std::string(" ") + name + ";\n";
            if constexpr (isArrayField<decltype(value)>)
            {
                member = std::string(" ") + name + "[" + std::to_string(value.size()) + "];\n";
            }
            EXPECT_NE(schema.text.find(member), std::string::npos) << member;
            ++members;
        });
        EXPECT_EQ(std::count(schema.text.begin(), schema.text.end(), ';'), members + 2) << "members, struct, module";
    });
    EXPECT_EQ(typeOfSchema("other::PsMeasurements"), "");
}

// Every field takes an extreme of its type through set and prints it back in wire order; NaN prints as null.
TEST(SampleText, EveryFieldOfEveryTopicKeepsWhatSetGaveIt)
{
    forEachTopic([](auto topic) {
        const std::string type = topic.name;
        SCOPED_TRACE(type);
        auto sample = PluginEntries<typename decltype(topic)::Type>(tarvex_test::plugin(), type).entity();
        nlohmann::ordered_json expected;
        std::as_const(*sample).visitFields([&](const char* name, const auto& value) {
            std::string text = extremeText<ElementOf<decltype(value)>>();
            if constexpr (isArrayField<decltype(value)>)
            {
                text = listOf(value.size(), text, text);
            }
            expected[name] = nlohmann::ordered_json::parse(isArrayField<decltype(value)> ? "[" + text + "]" : text);
            setField(*sample, type, std::string(name) + "=" + text);
        });
        // Through the text, so that a float reads back as the double it printed.
        EXPECT_EQ(nlohmann::ordered_json::parse(toJson(*sample).dump()), expected);
        if (type == "PsMeasurements")
        {
            const auto [floats, size] = firstField<float, true>(*sample);
            setField(*sample, type, floats + "=" + listOf(size, "nan", "0"));
            EXPECT_TRUE(toJson(*sample).at(floats).at(0).is_null());
        }
    });
}

TEST(SampleText, SetRefusesWhatDoesNotFitTheField)
{
    const auto sample =
        PluginEntries<tarvex::SaMeasurements_fast>(tarvex_test::plugin(), "SaMeasurements_fast").entity();
    const auto flag = firstField<bool, false>(*sample).first;
    const auto uint16 = firstField<uint16_t, false>(*sample).first;
    const auto uint64 = firstField<uint64_t, false>(*sample).first;
    const auto [int32s, int32Count] = firstField<int32_t, true>(*sample);
    const auto [reals, realCount] = firstField<double, true>(*sample);
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
