#include "Plugin.hpp"

#include "tools/core/CdrFunctions.hpp"
#include "tools/core/Recording.hpp"
#include "tools/core/SampleText.hpp"
#include "tools/core/Schema.hpp"
#include "tools/core/Tally.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <numeric>

// The tool core in this process: the tally and its statistics, field numbering, the plug-in's CDR functions
// found by name, the schema text and the recording seam.
namespace {

using namespace qara::nimb::tools;

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
        fillWire(wire, 7);
        setSequence(*entity, 41);
        setWireSequence(wire, 41);
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

// What a sink is given a source gives back, whatever the compression.
TEST(ToolCore, RecordingSinkAndSourceAgreeOnEveryMessage)
{
    const std::string file = std::filesystem::temp_directory_path() / ("core-" + std::to_string(::getpid()) + ".mcap");
    for (const std::string compression : {"none", "lz4", "zstd"})
    {
        SCOPED_TRACE(compression);
        const std::vector<uint8_t> payload = {0, 1, 0, 0, 42, 43};
        {
            const auto sink = openMcapSink(file, compression);
            const uint16_t medium = sink->addTopic({"SaMeasurements_medium", "t/m", "dds.ps://7/t/m"});
            const uint16_t fast = sink->addTopic({"SaMeasurements_fast", "t/f", ""});
            for (uint64_t n = 1; n <= 3; ++n)
            {
                sink->write(n == 2 ? fast : medium, {payload.data(), payload.size() - n, 1000 + n, 500 + n, n});
            }
            EXPECT_GT(sink->flush(), 0u);
            sink->close();
        }
        const auto source = openMcapSource(file);
        ASSERT_EQ(source->channels().size(), 2u);
        const RecordedChannel& medium = source->channels()[0];
        EXPECT_EQ(std::vector<std::string>({medium.topic.type, medium.topic.topic, medium.topic.uri, medium.schema}),
                  std::vector<std::string>({"SaMeasurements_medium", "t/m", "dds.ps://7/t/m", "tarvex::SaMeasurements_medium"}));
        EXPECT_EQ(medium.messages, 2u);
        std::vector<std::vector<uint64_t>> read;
        source->read({}, [&](const RecordedMessage& m) {
            read.push_back({m.channel, m.logTime, m.publishTime, m.size});
            EXPECT_TRUE(std::equal(m.data, m.data + m.size, payload.begin()));
        });
        EXPECT_EQ(read, (std::vector<std::vector<uint64_t>>{{medium.id, 1001, 501, 5}, {2, 1002, 502, 4}, {medium.id, 1003, 503, 3}}));
        const RecordingDescription description = source->describe();
        EXPECT_EQ(description.format.at(1).second.substr(0, compression.size() + 1), compression + ",");
        EXPECT_EQ(std::vector<uint64_t>({description.messages, description.startTime, description.endTime}),
                  std::vector<uint64_t>({3, 1001, 1003}));
        EXPECT_TRUE(description.faults.empty());
        EXPECT_EQ(description.schemas.at(0).text, schemaOf("SaMeasurements_medium").text);
    }
    std::filesystem::remove(file);
}

}  // namespace
