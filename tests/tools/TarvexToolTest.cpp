#include "Plugin.hpp"
#include "PubSubMeasure.hpp"
#include "PubSubPlugin.hpp"
#include "TarvexProcess.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

// The tools' tests use domains 190..199 and topics of their own.
namespace {

using namespace qara::nimb::tools;
using tarvex_test::linesOf;
using tarvex_test::runTool;
using tarvex_test::ToolRun;
using tarvex_test::uniqueUri;

constexpr uint32_t kDomain = 198;

std::size_t occurrences(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    {
        ++count;
    }
    return count;
}

std::string textOf(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(TarvexDemo, ReportsEveryTopicWithNothingLostOnTheListenerPath)
{
    const ToolRun run = runTool({"demo", "--seconds", "2", "--domain", "199"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find('\r'), std::string::npos) << "progress line although standard output is a pipe";
    const auto lines = linesOf(run.out);
    for (const std::string& topic : topicNames())
    {
        SCOPED_TRACE(topic);
        const auto row = std::find_if(lines.begin(), lines.end(),
                                      [&](const std::string& line) { return line.rfind(topic + " ", 0) == 0; });
        ASSERT_NE(row, lines.end()) << run.out;
        std::istringstream columns(*row);
        std::string name, latest;
        double rate = 0, median = -1, p99 = -1;
        long sent = -1, listener = -1, events = -1, mostRecent = -1, lost = -1;
        columns >> name >> rate >> sent >> listener >> events >> mostRecent >> latest >> lost >> median >> p99;
        ASSERT_FALSE(columns.fail()) << *row;
        EXPECT_GT(sent, 0);
        EXPECT_EQ(listener, sent);
        EXPECT_EQ(lost, 0);
        EXPECT_EQ(events, sent) << "readDataEvents missed samples";
        EXPECT_GT(mostRecent, 0);
        EXPECT_EQ(latest, "yes") << "the most-recent-value subscriber does not show the last sample";
        EXPECT_GT(median, 0);
        EXPECT_GE(p99, median);
    }
}

TEST(TarvexErrors, EachBadInputGivesOneLineAndAFailingStatus)
{
    const std::string topic = "PsMeasurements";
    const std::string uri = uniqueUri(kDomain, "tools");
    struct Case
    {
        std::vector<std::string> args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"pub", "PsMeasurementz"}, "PsMeasurementz not in"},
        {{"echo", topic, "--uri", "no uri at all"}, "Invalid URI"},
        {{"echo", topic, "--uri", "dds.ps://233/tarvex/PsMeasurements"}, "domain '233'"},
        {{"pub", topic, "--uri", "dds.rpc://7/tarvex/PsMeasurements"}, "not a publish-subscribe URI"},
        {{"pub", topic, "--uri", uri, "--set", "no_such_field=7"}, "PsMeasurements has no field 'no_such_field'"},
        {{"echo", topic, "--colour"}, "unexpected argument '--colour'"},
        {{"perf", "lurk", topic}, "role: lurk not in"},
        {{"perf", "sub", topic, "--uri", uri, "--property", "no-equals"}, "expects name=value"},
        {{"perf", "sub", topic, "--path", "both"}, "both is for ping and pong"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{}, "no command"},
        {{"--log-config", "/nonexistent/log.properties", "demo"}, "File does not exist"},
        {{"--plugin", "/nonexistent/libnimb-dds-tarvex.so.0.2", "demo"}, "Cannot load plug-in"},
        {{"record", "PsMeasurementz", "--output", "x.mcap"}, "PsMeasurementz not in"},
        {{"record", "--output", "x.mcap", "--compression", "brotli"}, "--compression: brotli not in"},
        {{"info", "/nonexistent/x.mcap"}, "File does not exist: /nonexistent/x.mcap"},
    };
    for (const Case& bad : cases)
    {
        SCOPED_TRACE(::testing::PrintToString(bad.args));
        const ToolRun run = runTool(bad.args);
        EXPECT_GT(run.status, 0) << "succeeded, or did not end by itself";
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
        EXPECT_NE(run.err.find(bad.expected), std::string::npos) << run.err;
    }
}

TEST(TarvexBench, WritesEveryRoundOfBothPathsToCsvAndPlotsDistributionsAndRatios)
{
    const auto dir = std::filesystem::temp_directory_path() / ("tarvex-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto csv = (dir / "bench.csv").string();
    const auto plot = (dir / "bench.svg").string();
    const std::size_t rounds = 2;
    const ToolRun run = runTool({"bench", "--rounds", std::to_string(rounds), "--seconds", "0.1", "--domain", "197",
                                 "--csv", csv, "--plot", plot});
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    const std::string csvText = textOf(csv);
    ASSERT_EQ(linesOf(csvText).size(), 1 + 2 * rounds * topicNames().size()) << csvText;
    EXPECT_EQ(csvText.rfind("topic,path,round,", 0), 0u);
    for (const std::string& topic : topicNames())
    {
        EXPECT_EQ(occurrences(csvText, "\n" + topic + ",plugin,"), rounds) << topic;
        EXPECT_EQ(occurrences(csvText, "\n" + topic + ",plain,"), rounds) << topic;
    }
    EXPECT_EQ(occurrences(run.out, "plug-in/plain  p50 "), topicNames().size()) << run.out;

    const std::string svg = textOf(plot);
    EXPECT_EQ(svg.rfind("<svg ", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_EQ(occurrences(svg, "<polyline"), 2 * topicNames().size());
    EXPECT_EQ(occurrences(svg, "class=\"ratio\""), 3 * topicNames().size())
        << "p50, p99 and throughput ratio of each topic";
    std::filesystem::remove_all(dir);
}

// The statistics behind bench and perf.
TEST(PubSubMeasure, SummaryTakesNearestRanks)
{
    EXPECT_EQ(summarize({}).count, 0u);
    std::vector<double> hundred(100);
    std::iota(hundred.rbegin(), hundred.rend(), 1.0);
    const LatencySummary summary = summarize(hundred);
    EXPECT_EQ(summary.count, 100u);
    EXPECT_EQ(summary.median, 50.0);
    EXPECT_EQ(summary.p99, 99.0);
    const LatencySummary one = summarize({0.25});
    EXPECT_EQ(one.median, 0.25);
    EXPECT_EQ(one.p99, 0.25);
}

TEST(PubSubMeasure, RatiosTakeTheMedianOfTheRoundsWithAnIntervalAroundIt)
{
    const RatioSummary none = summarizeRatios({});
    EXPECT_EQ(none.median, 0.0);
    const RatioSummary odd = summarizeRatios({5, 1, 4, 2, 3});
    EXPECT_EQ(odd.median, 3.0);
    EXPECT_LE(1.0, odd.low);
    EXPECT_LT(odd.low, odd.median);
    EXPECT_LT(odd.median, odd.high);
    EXPECT_LE(odd.high, 5.0);
    EXPECT_EQ(summarizeRatios({4, 1, 3, 2}).median, 2.5);
    const RatioSummary steady = summarizeRatios({1.02, 1.02, 1.02});
    EXPECT_EQ(steady.low, 1.02);
    EXPECT_EQ(steady.high, 1.02);
}

}  // namespace
