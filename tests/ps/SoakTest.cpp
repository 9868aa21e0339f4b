// Two processes exchange SaMeasurements_fast and PsMeasurements at steady rates for a minute with the code
// QoS: nothing may be lost, and neither process may grow once warmed up but for the writers' histories.
// NIMB_SOAK_SECONDS, NIMB_SOAK_FAST_HZ and NIMB_SOAK_PS_HZ change the length and the rates, to look for the
// highest rate that still loses nothing.
#include "ChildProcess.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include <unistd.h>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

constexpr const char* kDomain = "223";
// Growth of the resident set after warm-up that still counts as flat: allocator and page noise.
constexpr long kFlatKilobytes = 1024;
// The code QoS writer is KEEP_ALL with max_samples 40000 and, as Fast DDS makes writers by default,
// TRANSIENT_LOCAL: it keeps its last 40000 samples for late-joining readers. Until that history is full the
// publisher grows by each sample kept, about 1.5 kB for both types (payload and bookkeeping).
constexpr double kWriterHistory = 40000;
constexpr double kKilobytesPerKeptSample = 2;

// Samples a writer at `hz` holds after `seconds`.
double kept(double hz, double seconds)
{
    return std::min(kWriterHistory, hz * seconds);
}

double setting(const char* name, double fallback)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::stod(value) : fallback;
}

std::string rate(double hz)
{
    std::ostringstream text;
    text << hz;
    return text.str();
}

// The numbers after `word` in a line "<word> <n> <n> ...".
std::vector<uint64_t> numbersAfter(const std::string& word, const std::optional<std::string>& line)
{
    std::vector<uint64_t> numbers;
    if (!line)
    {
        return numbers;
    }
    std::istringstream fields(*line);
    std::string token;
    fields >> token;
    if (token != word)
    {
        return numbers;
    }
    while (fields >> token)
    {
        if (std::isdigit(static_cast<unsigned char>(token[0])))
        {
            numbers.push_back(std::stoull(token));
        }
    }
    return numbers;
}

struct Memory
{
    long warm = 0;
    long peak = 0;
    long end = 0;
};

TEST(Soak, FastAndPsAtSteadyRatesLoseNothingAndMemoryStaysFlat)
{
    const double runSeconds = setting("NIMB_SOAK_SECONDS", 60);
    const double fastHz = setting("NIMB_SOAK_FAST_HZ", 1000);
    const double psHz = setting("NIMB_SOAK_PS_HZ", 100);
    const std::string name = "soak_" + std::to_string(::getpid());

    ChildProcess subscriber({TARVEX_SOAK_PEER, "subscribe", kDomain, name});
    ChildProcess publisher({TARVEX_SOAK_PEER, "publish", kDomain, name, rate(fastHz), rate(psHz)});
    ASSERT_TRUE(subscriber.waitForLine("matched", 30s));
    ASSERT_TRUE(publisher.waitForLine("matched", 30s));
    ASSERT_TRUE(publisher.writeLine("go"));

    // Warm-up ends when the fast writer's history is full, if the run is long enough to watch a while after
    // that; else after a sixth of the run.
    double warmUpSeconds = kWriterHistory / fastHz + 3;
    if (warmUpSeconds > runSeconds - 10)
    {
        warmUpSeconds = runSeconds / 6;
    }
    const double historyKilobytes = kKilobytesPerKeptSample * (kept(fastHz, runSeconds) - kept(fastHz, warmUpSeconds) +
                                                               kept(psHz, runSeconds) - kept(psHz, warmUpSeconds));
    const auto start = std::chrono::steady_clock::now();
    const auto at = [start](double offset) {
        return start +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(offset));
    };
    const auto warmedUp = at(warmUpSeconds);
    const auto end = at(runSeconds);
    std::this_thread::sleep_until(warmedUp);
    Memory publisherMemory;
    Memory subscriberMemory;
    publisherMemory.warm = publisherMemory.peak = residentKilobytes(publisher.pid());
    subscriberMemory.warm = subscriberMemory.peak = residentKilobytes(subscriber.pid());
    while (std::chrono::steady_clock::now() < end)
    {
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(1s, end - std::chrono::steady_clock::now()));
        publisherMemory.peak = std::max(publisherMemory.peak, residentKilobytes(publisher.pid()));
        subscriberMemory.peak = std::max(subscriberMemory.peak, residentKilobytes(subscriber.pid()));
    }
    publisherMemory.end = residentKilobytes(publisher.pid());
    subscriberMemory.end = residentKilobytes(subscriber.pid());

    publisher.closeInput();
    const auto sent = numbersAfter("sent", publisher.readLine(30s));
    // Let the last samples in flight arrive before the subscriber stops counting.
    std::this_thread::sleep_for(1s);
    subscriber.closeInput();
    const auto received = numbersAfter("received", subscriber.readLine(30s));
    ASSERT_EQ(sent.size(), 2u);
    ASSERT_EQ(received.size(), 3u);

    std::cout << "soak " << runSeconds << " s at " << fastHz << " Hz fast and " << psHz << " Hz Ps: sent " << sent[0]
              << " + " << sent[1] << ", received " << received[0] << " + " << received[1] << ", " << received[2]
              << " out of line\n"
              << "resident kB after " << warmUpSeconds << " s / peak / at the end: publisher " << publisherMemory.warm
              << " / " << publisherMemory.peak << " / " << publisherMemory.end << ", subscriber "
              << subscriberMemory.warm << " / " << subscriberMemory.peak << " / " << subscriberMemory.end << std::endl;
    EXPECT_EQ(received[0], sent[0]) << "SaMeasurements_fast samples lost";
    EXPECT_EQ(received[1], sent[1]) << "PsMeasurements samples lost";
    EXPECT_EQ(received[2], 0u) << "samples repeated, reordered, damaged or missing in between";
    EXPECT_LE(publisherMemory.peak - publisherMemory.warm, kFlatKilobytes + static_cast<long>(historyKilobytes))
        << "the publisher grew by more than its writers' histories (" << historyKilobytes << " kB)";
    EXPECT_LE(subscriberMemory.peak - subscriberMemory.warm, kFlatKilobytes) << "the subscriber kept growing";
    EXPECT_EQ(publisher.exitCode(30s), 0);
    EXPECT_EQ(subscriber.exitCode(30s), 0);
}

}  // namespace
