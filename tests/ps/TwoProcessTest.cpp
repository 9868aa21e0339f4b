#include "PeerProcess.hpp"
#include "Plugin.hpp"
#include "SampleCheck.hpp"
#include "TopicTypes.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 230;
constexpr uint32_t kSamples = 20;

template <class TopicType>
class TwoProcesses : public ::testing::Test
{
};

TYPED_TEST_SUITE(TwoProcesses, AllTopics, TopicNames);

TYPED_TEST(TwoProcesses, SubscriberProcessReceivesExactlyWhatThePublisherProcessSent)
{
    const std::string type = TypeParam::name();
    const std::string uri = uniqueUri(kDomain, "peers");
    const std::string count = std::to_string(kSamples);
    Peer subscriber({"subscribe", type, uri, count, "30000"});
    Peer publisher({"publish", type, uri, count});

    // Both ends know each other before anything is sent: the publisher waits for its own match and then
    // for this go, which comes once the subscriber's reader has matched.
    ASSERT_EQ(subscriber.readLine(30s), std::optional<std::string>("matched"));
    ASSERT_TRUE(publisher.writeLine("go"));

    std::vector<std::string> received;
    while (auto line = subscriber.readLine(40s))
    {
        received.push_back(*line);
    }
    EXPECT_EQ(received, expectedChecksums<typename TypeParam::Wire>(kSamples));
    EXPECT_EQ(publisher.exitCode(30s), 0);
    EXPECT_EQ(subscriber.exitCode(30s), 0);
}

}  // namespace
