// A `tarvex perf` publisher and subscriber in two processes, for every topic and every pairing of the
// plug-in and plain Fast DDS: the subscriber gets every sample once, in order, from the first on.
#include "Plugin.hpp"
#include "TarvexProcess.hpp"

#include <gtest/gtest.h>

#include <tuple>

using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 230;
constexpr int kSamples = 200;

TEST(TwoProcesses, SubscriberGetsEverySampleOnceInOrder)
{
    const std::string count = std::to_string(kSamples);
    const std::tuple<const char*, const char*, const char*> exchanges[] = {
        {"PsMeasurements", "plugin", "plugin"},     {"SaMeasurements_slow", "plugin", "plugin"},
        {"SaMeasurements_medium", "plugin", "plugin"}, {"SaMeasurements_fast", "plugin", "plugin"},
        {"SaMeasurements_slow", "plain", "plugin"}, {"SaMeasurements_fast", "plugin", "plain"},
        {"PsMeasurements", "plain", "plain"}};
    for (const auto& [topic, pubPath, subPath] : exchanges)
    {
        SCOPED_TRACE(std::string(topic) + " " + pubPath + " to " + subPath);
        const std::string uri = uniqueUri(kDomain, std::string(topic) + pubPath + subPath);
        TarvexProcess subscriber(perf("sub", topic, uri, {"--path", subPath, "--count", count}));
        TarvexProcess publisher(perf("pub", topic, uri, {"--path", pubPath, "--count", count, "--rate", "500"}));
        const auto sent = publisher.result();
        const auto received = subscriber.result();
        EXPECT_EQ(sent["exit"], 0) << sent["output"];
        EXPECT_EQ(sent["sent"], kSamples);
        EXPECT_EQ(sent["readers"], 1);
        EXPECT_EQ(received["exit"], 0) << received["output"];
        EXPECT_EQ(received["received"], kSamples);
        EXPECT_EQ(received["first"], 1);
        EXPECT_EQ(received["lost"], 0);
        EXPECT_EQ(received["out_of_order"], 0);
        EXPECT_EQ(received["duplicates"], 0);
        EXPECT_LE(received["latency_us"]["p50"], received["latency_us"]["max"]);
    }
}

// Two publishers number the same topic from 1: the subscriber counts every second copy as a duplicate.
TEST(TwoProcesses, SecondPublisherOfOneTopicShowsAsDuplicates)
{
    const std::string uri = uniqueUri(kDomain, "twopublishers");
    TarvexProcess subscriber(perf("sub", "SaMeasurements_medium", uri, {"--count", "100"}));
    TarvexProcess first(perf("pub", "SaMeasurements_medium", uri, {"--count", "50", "--rate", "200"}));
    TarvexProcess second(perf("pub", "SaMeasurements_medium", uri, {"--count", "50", "--rate", "200"}));
    const auto received = subscriber.result();
    EXPECT_EQ(received["exit"], 0) << received["output"];
    EXPECT_EQ(received["received"], 100);
    EXPECT_EQ(received["duplicates"], 50);
    EXPECT_EQ(received["lost"], 0);
}

// Ping and pong along both paths in turns: every ping comes back on each, and the per-round ratios come
// with an interval around their median.
TEST(TwoProcesses, PongSendsBackEveryPingOfBothPathsInTurns)
{
    const std::string uri = uniqueUri(kDomain, "pingpong");
    TarvexProcess pong(perf("pong", "SaMeasurements_medium", uri, {"--path", "both", "--count", "200"}));
    TarvexProcess ping(perf("ping", "SaMeasurements_medium", uri, {"--path", "both", "--rounds", "2", "--count", "50"}));
    const auto pinged = ping.result();
    const auto ponged = pong.result();
    ASSERT_EQ(pinged["exit"], 0) << pinged["output"];
    EXPECT_EQ(pinged["sent"], 200);
    for (const char* path : {"plugin", "plain"})
    {
        SCOPED_TRACE(path);
        EXPECT_EQ(pinged["paths"][path]["received"], 100);
        EXPECT_EQ(pinged["paths"][path]["lost"], 0);
    }
    EXPECT_EQ(pinged["rounds"].size(), 2u);
    const auto& p50 = pinged["ratios"]["p50"];
    EXPECT_LE(p50["low"], p50["median"]);
    EXPECT_LE(p50["median"], p50["high"]);
    EXPECT_EQ(ponged["exit"], 0) << ponged["output"];
    EXPECT_EQ(ponged["received"], 200);
}

}  // namespace
