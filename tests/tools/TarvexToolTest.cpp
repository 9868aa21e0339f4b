#include "Plugin.hpp"
#include "TarvexProcess.hpp"

#include "tools/core/Topics.hpp"

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

// Every round of both paths in the CSV, with sane values, and the printed ratios are the medians of its
// per-round plug-in/plain ratios; the plot shows every topic's curves and ratios.
TEST(TarvexBench, WritesEveryRoundAndPrintsTheMedianRatiosOfTheRounds)
{
    const auto dir = std::filesystem::temp_directory_path() / ("tarvex-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto csv = (dir / "bench.csv").string();
    const auto plot = (dir / "bench.svg").string();
    const ToolRun run = runTool({"bench", "--rounds", "2", "--seconds", "0.1", "--domain", "197", "--csv", csv,
                                 "--plot", plot});
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    const auto rows = linesOf(textOf(csv));
    ASSERT_EQ(rows.size(), 1 + 2 * 2 * topicNames().size());
    EXPECT_EQ(rows[0].rfind("topic,path,round,latency_sent,latency_received,latency_median_us,", 0), 0u);
    std::map<std::string, std::map<std::string, std::vector<double>>> medians;  // topic, path: per round
    for (std::size_t i = 1; i < rows.size(); ++i)
    {
        std::istringstream fields(rows[i]);
        std::string topic, path, round;
        double sent = 0, received = 0, median = 0, p99 = 0, throughputSent = 0, throughputReceived = 0, rate = 0;
        char comma = 0;
        std::getline(fields, topic, ',') && std::getline(fields, path, ',') && std::getline(fields, round, ',');
        fields >> sent >> comma >> received >> comma >> median >> comma >> p99 >> comma >> throughputSent >> comma >>
            throughputReceived >> comma >> rate;
        ASSERT_FALSE(fields.fail()) << rows[i];
        EXPECT_EQ(received, sent) << rows[i];
        EXPECT_TRUE(median > 0 && p99 >= median && rate > 0 && throughputReceived <= throughputSent) << rows[i];
        medians[topic][path].push_back(median);
    }
    const std::string svg = textOf(plot);
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    for (const auto& [topic, paths] : medians)
    {
        SCOPED_TRACE(topic);
        ASSERT_EQ(paths.at("plugin").size(), 2u);
        const double expected = (paths.at("plugin")[0] / paths.at("plain")[0] + paths.at("plugin")[1] / paths.at("plain")[1]) / 2;
        const auto at = run.out.find("plug-in/plain  p50 ", run.out.find(topic + " "));
        ASSERT_NE(at, std::string::npos) << run.out;
        EXPECT_NEAR(std::stod(run.out.substr(at + 19)), expected, 0.006) << run.out;
        EXPECT_EQ(occurrences(svg, topic + " plug-in"), 1u) << "latency curve";
        EXPECT_EQ(occurrences(svg, topic + " p50 "), 1u) << "ratio";
    }
    std::filesystem::remove_all(dir);
}

// A ping along one path against a pong on the other, and a subscriber that stops short of its count.
TEST(TarvexPerf, PingCountsEveryReplyAndAShortSubscriberFails)
{
    const std::string pinged = tarvex_test::uniqueUri(kDomain, "ping");
    tarvex_test::TarvexProcess pong(tarvex_test::perf("pong", "SaMeasurements_fast", pinged, {"--count", "30"}));
    const auto ping = tarvex_test::TarvexProcess(tarvex_test::perf("ping", "SaMeasurements_fast", pinged,
                                                                   {"--path", "plain", "--count", "30"}))
                          .result();
    EXPECT_EQ(ping["exit"], 0) << ping["output"];
    EXPECT_EQ(std::vector<int>({ping["sent"], ping["received"], ping["first"], ping["lost"], ping["readers"]}),
              std::vector<int>({30, 30, 1, 0, 1}));
    EXPECT_EQ(ping["latency_us"]["kind"], "round trip / 2");
    EXPECT_GT(ping["latency_us"]["p50"], 0);
    EXPECT_EQ(pong.result()["received"], 30);

    const std::string streamed = tarvex_test::uniqueUri(kDomain, "short");
    // The subscriber waits 4 s from its start for a first sample, then 4 s more.
    tarvex_test::TarvexProcess sub(tarvex_test::perf("sub", "PsMeasurements", streamed, {"--count", "50", "--seconds", "4"}));
    tarvex_test::TarvexProcess(tarvex_test::perf("pub", "PsMeasurements", streamed, {"--count", "10"})).result();
    const auto received = sub.result();
    EXPECT_EQ(received["exit"], 1) << received["output"];
    EXPECT_EQ(received["received"], 10);
}

}  // namespace
