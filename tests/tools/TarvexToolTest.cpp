#include "Fields.hpp"
#include "Plugin.hpp"
#include "PubSubPlugin.hpp"
#include "TarvexProcess.hpp"

#include <tarvex/PsMeasurements.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// The tools' tests use domains 190..199 and topics of their own.
namespace {

using qara::nimb::tools::topicNames;
using tarvex_test::Field;
using tarvex_test::linesOf;
using tarvex_test::runTool;
using tarvex_test::ToolRun;
using tarvex_test::uniqueUri;

constexpr uint32_t kDomain = 198;

std::unique_ptr<const tarvex::PsMeasurements> psEntity()
{
    return qara::nimb::tools::PluginEntries<tarvex::PsMeasurements>(tarvex_test::plugin(), "PsMeasurements").entity();
}

template <class E, bool Array>
Field nthField(std::size_t n = 0)
{
    return tarvex_test::nthField<E, Array>(*psEntity(), n);
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
    const Field scalar = nthField<int32_t, false>();
    ASSERT_FALSE(HasFailure());
    const std::string topic = "PsMeasurements";
    const std::string uri = uniqueUri(kDomain, "tools");
    struct Case
    {
        std::vector<std::string> args;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"pub", "PsMeasurementz"}, "PsMeasurementz not in"},
        {{"echo", "SaMeasurements", "--count", "1"}, "SaMeasurements not in"},
        {{"echo", topic, "--uri", "no uri at all"}, "Invalid URI"},
        {{"echo", topic, "--uri", "dds.ps://233/tarvex/PsMeasurements"}, "domain '233'"},
        {{"pub", topic, "--uri", "dds.rpc://7/tarvex/PsMeasurements"}, "not a publish-subscribe URI"},
        {{"pub", topic, "--uri", uri, "--set", scalar.name + "=seven"}, "expects an integer"},
        {{"pub", topic, "--uri", uri, "--rate", "fast"}, "--rate: Value fast"},
        {{"echo", topic, "--colour"}, "unexpected argument '--colour'"},
        {{"echo"}, "topic is required"},
        {{"perf", "lurk", topic}, "role: lurk not in"},
        {{"perf", "sub", topic, "--uri", uri, "--property", "no-equals"}, "expects name=value"},
        {{"perf", "pub", topic, "--path", "direct"}, "--path: direct not in"},
        {{"perf", "sub", topic, "--path", "both"}, "both is for ping and pong"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{}, "no command"},
        {{"--log-config", "/nonexistent/log.properties", "demo"}, "File does not exist"},
        {{"--plugin", "/nonexistent/libnimb-dds-tarvex.so.0.2", "demo"}, "Cannot load plug-in"},
        {{"record", "PsMeasurementz", "--output", "x.mcap"}, "PsMeasurementz not in"},
        {{"record", "--output", "x.mcap", "--compression", "brotli"}, "--compression: brotli not in"},
        {{"record"}, "--output is required"},
        {{"info", "/nonexistent/x.mcap"}, "File does not exist: /nonexistent/x.mcap"},
    };
    for (const Case& bad : cases)
    {
        std::string command;
        for (const auto& arg : bad.args)
        {
            command += " " + arg;
        }
        SCOPED_TRACE("tarvex" + command);
        const ToolRun run = runTool(bad.args);
        EXPECT_NE(run.status, 0);
        EXPECT_NE(run.status, -1) << "did not end by itself";
        EXPECT_EQ(run.out, "");
        ASSERT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.err.back(), '\n');
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

    std::ifstream csvFile(csv);
    const std::string csvText((std::istreambuf_iterator<char>(csvFile)), std::istreambuf_iterator<char>());
    const auto rows = linesOf(csvText);
    ASSERT_EQ(rows.size(), 1 + 2 * rounds * topicNames().size()) << csvText;
    EXPECT_EQ(rows[0].rfind("topic,path,round,", 0), 0u);
    for (const std::string& topic : topicNames())
    {
        for (const std::string path : {"plugin", "plain"})
        {
            EXPECT_EQ(
                std::count_if(rows.begin(), rows.end(),
                              [&](const std::string& row) { return row.rfind(topic + "," + path + ",", 0) == 0; }),
                rounds)
                << topic << " " << path;
        }
    }
    std::size_t ratios = 0;
    for (const auto& line : linesOf(run.out))
    {
        ratios += line.find("plug-in/plain  p50 ") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(ratios, topicNames().size()) << run.out;

    std::ifstream plotFile(plot);
    const std::string svg((std::istreambuf_iterator<char>(plotFile)), std::istreambuf_iterator<char>());
    EXPECT_EQ(svg.rfind("<svg ", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    std::size_t curves = 0;
    for (auto at = svg.find("<polyline"); at != std::string::npos; at = svg.find("<polyline", at + 1))
    {
        ++curves;
    }
    EXPECT_EQ(curves, 2 * topicNames().size());
    std::size_t intervals = 0;
    for (auto at = svg.find("class=\"ratio\""); at != std::string::npos; at = svg.find("class=\"ratio\"", at + 1))
    {
        ++intervals;
    }
    EXPECT_EQ(intervals, 3 * topicNames().size()) << "p50, p99 and throughput ratio of each topic";
    std::filesystem::remove_all(dir);
}

}  // namespace
