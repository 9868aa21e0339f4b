#include "AllocationCounter.hpp"
#include "PubSubPair.hpp"

#include <gtest/gtest.h>

// Allocations in steady state. What a host is handed (an entity, an event, a vector, a loan) is one
// allocation each; the plug-in adds nothing else per sample. The reads are counted with the samples already
// in the reader's cache, so Fast DDS's own receive path is not in the count.
using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::Subscriber;

namespace {

constexpr std::size_t kSamples = 16;

template <class TopicType>
class SteadyState : public ::testing::Test
{
protected:
    using T = typename TopicType::Interface;

    PubSubPair<TopicType> pair{uniqueUri(226, "steady")};
};

TYPED_TEST_SUITE(SteadyState, AllTopics, TopicNames);

TYPED_TEST(SteadyState, EachReadAllocatesOnlyWhatItHandsOut)
{
    using T = typename TypeParam::Interface;
    using Pair = PubSubPair<TypeParam>;
    auto publisher = this->pair.makePublisher();
    auto subscriber = this->pair.makeSubscriber();
    Pair::waitUntilMatched(*publisher, *subscriber);
    const auto entity = publisher->createDataEntity();
    // Allocations per sample: the difference between reads of 2n and of n samples, each the second of two
    // rounds (Fast DDS's pools grow in the first), so that what a call costs once is left out.
    const auto perSample = [&](auto& reader, auto read) {
        std::size_t allocations[2] = {};
        for (const std::size_t samples : {kSamples, 2 * kSamples})
        {
            for (int round = 0; round < 2; ++round)
            {
                for (std::size_t i = 0; i < samples; ++i)
                {
                    publisher->publish(*entity, 0ms);
                }
                EXPECT_TRUE(Pair::waitForUnread(reader, samples));
                AllocationScope scope;
                const std::size_t handed = read();
                allocations[samples / kSamples - 1] = scope.allocations();
                EXPECT_EQ(handed, samples);
            }
        }
        return static_cast<double>(allocations[1] - allocations[0]) / kSamples;
    };

    std::vector<std::shared_ptr<DataEvent<T>>> events;
    events.reserve(8 * kSamples);
    EXPECT_EQ(perSample(*subscriber, [&] { return subscriber->readDataEvents(DataEventFilter<T>(), events, 0, 0ms); }),
              2.0) << "an event and its entity";
    EXPECT_EQ(perSample(*subscriber, [&] { return subscriber->read(0).size(); }), 1.0) << "an entity";
    {
        // The listener path delivers the same way, one borrowing entity per sample.
        auto subscription = subscriber->subscribe(DataEventFilter<T>(), [](Subscriber<T>&, const DataEvent<T>&) {});
        EXPECT_EQ(perSample(*subscriber, [&] { return subscriber->poll(0, 1000ms); }), 1.0) << "an entity";
    }
    publisher->publish(*entity, 0ms);
    ASSERT_TRUE(Pair::waitForUnread(*subscriber, 1));
    {
        AllocationScope scope;
        EXPECT_NE(subscriber->loanedRead(), nullptr);
        EXPECT_EQ(scope.allocations(), 1u) << "the loan, viewing the lent sample";
    }
    auto mrv = this->pair.makeMrvSubscriber();
    Pair::waitUntilMatched(*publisher, *mrv, 2);
    publisher->publish(*entity, 0ms);
    ASSERT_TRUE(Pair::waitForUnread(*mrv, 1));
    {
        AllocationScope scope;
        EXPECT_EQ(mrv->readMostRecent(0ms).size(), 1u);
        EXPECT_EQ(scope.allocations(), 2u) << "the vector and the entity";
    }
}

}  // namespace
