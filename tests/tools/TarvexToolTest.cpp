#include "PlainDds.hpp"
#include "Plugin.hpp"
#include "TarvexProcess.hpp"
#include "TopicTypes.hpp"

#include "tools/core/Endpoint.hpp"
#include "tools/core/SampleText.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// The built tarvex tool in processes of its own, as a user runs it, on domains 197..199 and topics of its own.
namespace {

using namespace qara::nimb::tools;
using tarvex_test::linesOf;
using tarvex_test::perf;
using tarvex_test::runTool;
using tarvex_test::TarvexProcess;
using tarvex_test::ToolRun;
using tarvex_test::uniqueUri;

namespace fdds = qara::nimb::icd::dds::fastdds;

constexpr uint32_t kDomain = 198;

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
    for (const std::string& topic : topicNames())
    {
        const auto at = run.out.find("\n" + topic + " ");
        ASSERT_NE(at, std::string::npos) << run.out;
        std::istringstream row(run.out.substr(at + 1));
        std::string name, latest;
        double rate = 0, sent = 0, listener = 0, events = 0, mostRecent = 0, lost = 0, median = 0, p99 = 0;
        row >> name >> rate >> sent >> listener >> events >> mostRecent >> latest >> lost >> median >> p99;
        EXPECT_TRUE(sent > 0 && listener == sent && events == sent && lost == 0 && mostRecent > 0 && latest == "yes" &&
                    median > 0 && p99 >= median)
            << run.out.substr(at + 1, run.out.find('\n', at + 1) - at);
    }
}

TEST(TarvexErrors, EachBadInputGivesOneLineAndAFailingStatus)
{
    const std::string topic = "PsMeasurements";
    const std::string uri = uniqueUri(kDomain, "tools");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
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
    for (const auto& [args, expected] : cases)
    {
        SCOPED_TRACE(::testing::PrintToString(args));
        const ToolRun run = runTool(args);
        EXPECT_GT(run.status, 0) << "succeeded, or did not end by itself";
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
        EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
    }
}

// Every round of both paths in the CSV, with sane values, the printed ratios the medians of its per-round
// plug-in/plain ratios, and a plot of every topic's curves and ratios.
TEST(TarvexBench, WritesEveryRoundAndPrintsTheMedianRatiosOfTheRounds)
{
    const std::string csv = std::filesystem::temp_directory_path() / ("bench-" + std::to_string(::getpid()));
    const ToolRun run = runTool({"bench", "--rounds", "2", "--seconds", "0.1", "--domain", "197", "--csv", csv + ".csv",
                                 "--plot", csv + ".svg"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto rows = linesOf(textOf(csv + ".csv"));
    ASSERT_EQ(rows.size(), 1 + 2 * 2 * topicNames().size());
    EXPECT_EQ(rows[0].rfind("topic,path,round,latency_sent,latency_received,latency_median_us,", 0), 0u);
    std::map<std::string, std::vector<double>> ratios;  // per topic, of each round
    for (std::size_t i = 1; i < rows.size(); ++i)
    {
        std::istringstream fields(rows[i]);
        std::string topic, path, round;
        double sent = 0, received = 0, median = 0, p99 = 0, throughputSent = 0, throughputReceived = 0, rate = 0;
        char comma = 0;
        std::getline(fields, topic, ',') && std::getline(fields, path, ',') && std::getline(fields, round, ',');
        fields >> sent >> comma >> received >> comma >> median >> comma >> p99 >> comma >> throughputSent >> comma >>
            throughputReceived >> comma >> rate;
        EXPECT_TRUE(!fields.fail() && received == sent && median > 0 && p99 >= median && rate > 0 &&
                    throughputReceived <= throughputSent)
            << rows[i];
        ratios[topic].resize(2, 1.0);
        ratios[topic][std::stoul(round)] *= path == "plugin" ? median : 1 / median;
    }
    const std::string svg = textOf(csv + ".svg");
    EXPECT_NE(svg.find("<svg"), std::string::npos);
    for (const auto& [topic, perRound] : ratios)
    {
        const auto at = run.out.find("plug-in/plain  p50 ", run.out.find(topic + " "));
        ASSERT_NE(at, std::string::npos) << run.out;
        EXPECT_NEAR(std::stod(run.out.substr(at + 19)), (perRound[0] + perRound[1]) / 2, 0.006) << topic << run.out;
        EXPECT_TRUE(svg.find(topic + " plug-in") != std::string::npos && svg.find(topic + " p50 ") != std::string::npos)
            << "no curve or no ratio of " << topic;
    }
    std::filesystem::remove(csv + ".csv");
    std::filesystem::remove(csv + ".svg");
}

// A ping along one path against a pong on the other, and a subscriber that stops short of its count.
TEST(TarvexPerf, PingCountsEveryReplyAndAShortSubscriberFails)
{
    const std::string pinged = uniqueUri(kDomain, "ping");
    TarvexProcess pong(perf("pong", "SaMeasurements_fast", pinged, {"--path", "plain", "--count", "30"}));
    const auto ping = TarvexProcess(perf("ping", "SaMeasurements_fast", pinged, {"--count", "30"})).result();
    EXPECT_EQ(ping["exit"], 0) << ping["output"];
    EXPECT_EQ(std::vector<int>({ping["sent"], ping["received"], ping["first"], ping["lost"], ping["readers"]}),
              std::vector<int>({30, 30, 1, 0, 1}));
    EXPECT_EQ(ping["latency_us"]["kind"], "round trip / 2");
    EXPECT_GT(ping["latency_us"]["p50"], 0);
    EXPECT_EQ(pong.result()["received"], 30);

    const std::string streamed = uniqueUri(kDomain, "short");
    // The subscriber waits 4 s from its start for a first sample, then 4 s more.
    TarvexProcess sub(perf("sub", "PsMeasurements", streamed, {"--count", "50", "--seconds", "4"}));
    TarvexProcess(perf("pub", "PsMeasurements", streamed, {"--count", "10"})).result();
    const auto received = sub.result();
    EXPECT_EQ(received["exit"], 1) << received["output"];
    EXPECT_EQ(received["received"], 10);
}

constexpr uint32_t kRecordDomain = 199;
constexpr uint64_t kSamples = 5;

// The n-th sample as perf pub makes it: its sequence field n, every other number 1, flags false.
template <class W>
W numbered(uint64_t n)
{
    W sample;
    fillCounter(sample, 1);
    setSequence(sample, n);
    return sample;
}

TEST(RecordReplay, RecordingsOfEveryEndingDescribeAndReplayEverySample)
{
    const std::string prefix = "recordreplay" + std::to_string(::getpid());
    const auto directory = std::filesystem::temp_directory_path();
    const auto fileOf = [&](const std::string& name) { return (directory / (prefix + name)).string(); };
    const std::string profiles = fileOf(".xml");
    std::ofstream(profiles) << R"(<?xml version="1.0" encoding="UTF-8"?>
<dds xmlns="http://www.eprosima.com"><profiles>
  <data_reader profile_name="reliable.datareader"><qos><reliability><kind>RELIABLE</kind></reliability></qos></data_reader>
</profiles></dds>
)";
    const auto uriOf = [&](const std::string& type) {
        return "dds.ps://" + std::to_string(kRecordDomain) + "/" + prefix + "/" + type;
    };
    const auto topics = topicNames();
    // zstd unless told otherwise.
    const auto recorder = [&](const std::string& compression, std::vector<std::string> more) {
        more.insert(more.end(), {"--output", fileOf(compression + ".mcap"), "--domain", std::to_string(kRecordDomain),
                                 "--prefix", prefix, "--profiles", profiles, "--qos-library", "reliable"});
        if (compression != "zstd")
        {
            more.insert(more.end(), {"--compression", compression});
        }
        more.insert(more.begin(), "record");
        return more;
    };
    auto counted = std::async(std::launch::async, runTool,
                              recorder("none", {"--count", std::to_string(kSamples * topics.size())}),
                              std::chrono::seconds(120));
    TarvexProcess interrupted(recorder("lz4", {}));
    TarvexProcess killed(recorder("zstd", {}));
    // Paced, so that the recordings have a time span to replay at another pace.
    std::vector<std::future<ToolRun>> pubs;
    for (const auto& type : topics)
    {
        pubs.push_back(std::async(std::launch::async, runTool,
                                  std::vector<std::string>{"perf", "pub", type, "--uri", uriOf(type), "--readers", "3",
                                                           "--count", std::to_string(kSamples), "--rate", "50"},
                                  std::chrono::seconds(120)));
    }
    for (auto& pub : pubs)
    {
        EXPECT_EQ(pub.get().status, 0);
    }
    ASSERT_EQ(counted.get().status, 0);
    // A progress line comes after the file got what it counts.
    for (TarvexProcess* process : {&interrupted, &killed})
    {
        ASSERT_TRUE(process->waitForLine([&](const std::string& line) {
            return std::all_of(topics.begin(), topics.end(), [&](const std::string& type) {
                return line.find(" " + type + " " + std::to_string(kSamples) + " (") != std::string::npos;
            });
        })) << process->output();
    }
    interrupted.signal(SIGINT);
    killed.signal(SIGKILL);
    EXPECT_EQ(interrupted.exitCode(std::chrono::seconds(30)), 0);

    // Closed files describe themselves, the killed one is read by scanning up to where it ends; info needs no
    // plug-in.
    for (const std::string compression : {"none", "lz4", "zstd"})
    {
        SCOPED_TRACE(compression);
        const std::string file = fileOf(compression + ".mcap");
        const ToolRun info = runTool({"--plugin", "/nonexistent", "info", file});
        const bool closed = compression != "zstd";
        EXPECT_EQ(info.status, closed ? 0 : 1) << info.out << info.err;
        EXPECT_NE(info.out.find(std::string("summary      ") + (closed ? "yes\n" : "no (read by scanning")),
                  std::string::npos) << info.out;
        EXPECT_NE(info.out.find("compression  " + compression + ", "), std::string::npos) << info.out;
        EXPECT_NE(info.out.find("messages     " + std::to_string(kSamples * topics.size()) + "\n"), std::string::npos);
        EXPECT_EQ(info.out.find("duration     0.000 s"), std::string::npos) << "no time span";
        for (const auto& type : topics)
        {
            std::istringstream row(info.out.substr(info.out.find(prefix + "/" + type + " ")));
            std::string topic, schema;
            double messages = 0, rate = 0;
            row >> topic >> schema >> messages >> rate;
            EXPECT_TRUE(schema == "tarvex::" + type && messages == kSamples && rate > 0) << info.out;
        }
        const auto size = std::to_string(std::filesystem::file_size(file));
        EXPECT_NE(info.out.find(closed ? "errors       none\n" : "error        at offset " + size + ": "),
                  std::string::npos) << info.out;
    }

    // Every sample of every topic replayed in order.
    std::map<std::string, std::future<ToolRun>> echoes;
    for (const auto& type : topics)
    {
        echoes[type] = std::async(std::launch::async, runTool,
                                  std::vector<std::string>{"echo", type, "--uri", uriOf(type), "--count",
                                                           std::to_string(kSamples), "--timeout", "90000"},
                                  std::chrono::seconds(120));
    }
    const ToolRun replayed = runTool({"replay", fileOf("none.mcap"), "--rate", "5"});
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    std::map<std::string, std::vector<std::string>> expected;
    forEachTopic([&](auto topic) {
        for (uint64_t n = 1; n <= 2 * kSamples; ++n)
        {
            expected[topic.name].push_back(toJson(numbered<typename decltype(topic)::Wire>((n - 1) % kSamples + 1)).dump());
        }
        const ToolRun echo = echoes.at(topic.name).get();
        EXPECT_EQ(echo.status, 0) << topic.name << echo.err;
        EXPECT_EQ(linesOf(echo.out), std::vector<std::string>(expected[topic.name].begin(), expected[topic.name].begin() + kSamples))
            << topic.name << echo.err;
    });

    // One topic, picked by its DDS topic name, twice over from the killed recording.
    TarvexProcess loop({"replay", fileOf("zstd.mcap"), "--loop", "--topics", prefix + "/SaMeasurements_slow"});
    const ToolRun twice = runTool({"echo", "SaMeasurements_slow", "--uri", uriOf("SaMeasurements_slow"), "--count",
                                   std::to_string(2 * kSamples), "--timeout", "90000"});
    EXPECT_EQ(std::make_pair(twice.status, linesOf(twice.out)), std::make_pair(0, expected["SaMeasurements_slow"]))
        << twice.err;

    // The recorded source time stamps, or the time of sending at half the recorded pace.
    using Medium = generated::ddsimpl::tarvex::SaMeasurements_medium;
    tarvex_test::PlainReader<Medium::DdsType, Medium::PubSubType> reader(kRecordDomain, prefix + "/SaMeasurements_medium");
    const auto replayMedium = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"replay", fileOf("lz4.mcap"), "--topics", "SaMeasurements_medium"});
        EXPECT_EQ(runTool(args).status, 0);
        std::vector<double> stamps;
        for (const auto& received : reader.take(kSamples, std::chrono::seconds(30)))
        {
            stamps.push_back(fdds::secondsOf(received.info.source_timestamp) +
                             fdds::nanosecondsOf(received.info.source_timestamp) / 1e9);
        }
        return stamps.size() == kSamples ? stamps : std::vector<double>(kSamples);
    };
    const double before = wallSeconds();
    const auto recorded = replayMedium({"--rate", "1"});
    const auto restamped = replayMedium({"--rate", "0.5", "--restamp"});
    EXPECT_LT(recorded.back(), before) << "not the recorded time stamps";
    EXPECT_GE(restamped.front(), before) << "not the time of sending";
    EXPECT_GT(restamped.back() - restamped.front(), 1.5 * (recorded.back() - recorded.front())) << "not at half the pace";
    for (const std::string name : {"none.mcap", "lz4.mcap", "zstd.mcap", ".xml"})
    {
        std::filesystem::remove(fileOf(name));
    }
}

}  // namespace
