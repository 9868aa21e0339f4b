#include "Fields.hpp"
#include "Plugin.hpp"
#include "PubSubPlugin.hpp"
#include "TarvexProcess.hpp"

#include <tarvex/PsMeasurements.hpp>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// The tools' tests use domains 190..199 and topics of their own.
namespace {

using qara::nimb::tools::topicNames;
using tarvex_test::Field;
using tarvex_test::linesOf;
using tarvex_test::listOf;
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

std::vector<std::string> fieldNames()
{
    std::vector<std::string> names;
    psEntity()->visitFields([&](const char* name, const auto&) { names.emplace_back(name); });
    return names;
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

TEST(TarvexPubEcho, EchoPrintsEveryFieldWithTheValuesPubSet)
{
    const Field doubles = nthField<double, true>();
    const Field floats = nthField<float, true>();
    const Field flags = nthField<bool, true>();
    const Field shorts = nthField<uint16_t, true>();
    const Field flag = nthField<bool, false>();
    const Field signedScalar = nthField<int32_t, false>();
    const Field wide = nthField<uint64_t, false>();
    const Field counted = nthField<int32_t, false>(1);
    ASSERT_FALSE(HasFailure());

    const std::vector<std::pair<std::string, std::string>> sets = {
        {doubles.name + "=" + listOf(doubles.size, "1.5", "-2"), "[" + listOf(doubles.size, "1.5", "-2") + "]"},
        {floats.name + "=" + listOf(floats.size, "nan", "0.1"), "[" + listOf(floats.size, "null", "0.1") + "]"},
        {flags.name + "=" + listOf(flags.size, "true", "false"), "[" + listOf(flags.size, "true", "false") + "]"},
        {shorts.name + "=" + listOf(shorts.size, "65535", "0"), "[" + listOf(shorts.size, "65535", "0") + "]"},
        {flag.name + "=true", "true"},
        {signedScalar.name + "=-7", "-7"},
        {wide.name + "=18446744073709551615", "18446744073709551615"},
    };
    const std::string uri = uniqueUri(kDomain, "tools");
    const std::string count = "5";
    auto echo = std::async(
        std::launch::async, runTool,
        std::vector<std::string>{"echo", "PsMeasurements", "--uri", uri, "--count", count, "--timeout", "60000"},
        std::chrono::seconds(90));
    std::vector<std::string> pubArgs = {"pub", "PsMeasurements", "--uri", uri, "--count", count, "--rate", "50"};
    for (const auto& set : sets)
    {
        pubArgs.insert(pubArgs.end(), {"--set", set.first});
    }
    const ToolRun pub = runTool(pubArgs);
    EXPECT_EQ(pub.status, 0) << pub.err;
    const ToolRun received = echo.get();
    ASSERT_EQ(received.status, 0) << received.err;

    const auto lines = linesOf(received.out);
    ASSERT_EQ(lines.size(), 5u) << received.out;
    const auto names = fieldNames();
    for (std::size_t i = 0; i < lines.size(); ++i)
    {
        SCOPED_TRACE("sample " + std::to_string(i + 1));
        const auto sample = nlohmann::ordered_json::parse(lines[i]);
        std::vector<std::string> printed;
        for (const auto& member : sample.items())
        {
            printed.emplace_back(member.key());
        }
        EXPECT_EQ(printed, names);
        for (const auto& [assignment, expected] : sets)
        {
            const std::string name = assignment.substr(0, assignment.find('='));
            EXPECT_EQ(sample.at(name), nlohmann::ordered_json::parse(expected)) << name;
        }
        // Fields not set count the samples, so consecutive ones differ.
        EXPECT_EQ(sample.at(counted.name), i + 1);
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

TEST(TarvexLogging, DefaultsToWarningsAndALogConfigReplacesThem)
{
    const std::vector<std::string> echo = {
        "echo", "SaMeasurements_medium", "--uri", uniqueUri(kDomain, "tools"), "--timeout", "100"};
    const ToolRun quiet = runTool(echo);
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");

    const auto config = std::filesystem::temp_directory_path() / ("tarvex-log-" + std::to_string(::getpid()));
    std::ofstream(config) << "log4cplus.rootLogger=TRACE, E\n"
                             "log4cplus.appender.E=log4cplus::ConsoleAppender\n"
                             "log4cplus.appender.E.logToStdErr=true\n"
                             "log4cplus.appender.E.layout=log4cplus::PatternLayout\n"
                             "log4cplus.appender.E.layout.ConversionPattern=%p %c %m%n\n";
    std::vector<std::string> verboseArgs = {"--log-config", config.string()};
    verboseArgs.insert(verboseArgs.end(), echo.begin(), echo.end());
    const ToolRun verbose = runTool(verboseArgs);
    std::filesystem::remove(config);
    ASSERT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_NE(verbose.err.find("TRACE nimbDdsSubscriber "), std::string::npos) << verbose.err;
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
