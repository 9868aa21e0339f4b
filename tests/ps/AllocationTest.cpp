#include "AllocationCounter.hpp"
#include "PubSubPair.hpp"
#include "SampleValues.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

// Allocations in steady state: creating an entity costs one, copying none; a read costs one for each thing
// it hands out and nothing else per sample. Reads are counted with the samples already in the reader's
// cache, so that Fast DDS's receive path is not in the count.
using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::Subscriber;

namespace {

template <class TopicType>
class SteadyState : public ::testing::Test
{
};

TYPED_TEST_SUITE(SteadyState, AllTopics, TopicNames);

TYPED_TEST(SteadyState, EachReadAllocatesOnlyWhatItHandsOut)
{
    using T = typename TypeParam::Interface;
    using Pair = PubSubPair<TypeParam>;
    Pair pair(uniqueUri(226, "steady"));
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    Pair::waitUntilMatched(*publisher, *subscriber);
    std::size_t before = allocations();
    const auto entity = publisher->createDataEntity();
    EXPECT_EQ(allocations() - before, 1u) << "an entity and its sample in one block";
    const auto copy = publisher->createDataEntity();
    static_cast<typename TypeParam::Entity&>(*entity) = makeDistinctSample<typename TypeParam::Wire>(1);
    before = allocations();
    *copy = *entity;
    EXPECT_EQ(allocations() - before, 0u) << "copying through the interface";
    EXPECT_EQ(fieldBytes(Pair::wireOf(*copy)), fieldBytes(Pair::wireOf(*entity)));
    // The difference between reads of 32 and of 16 samples, each the second of two rounds (Fast DDS's pools
    // grow in the first), so that what a call costs once is left out.
    const auto perSample = [&](auto& reader, auto read) {
        std::size_t counted[2] = {};
        for (const std::size_t samples : {16u, 32u, 16u, 32u})
        {
            for (std::size_t i = 0; i < samples; ++i)
            {
                publisher->publish(*entity, 0ms);
            }
            EXPECT_TRUE(Pair::waitForUnread(reader, samples));
            const std::size_t start = allocations();
            EXPECT_EQ(read(), samples);
            counted[samples / 32] = allocations() - start;
        }
        return (counted[1] - counted[0]) / 16.0;
    };

    std::vector<std::shared_ptr<DataEvent<T>>> events;
    events.reserve(100);
    EXPECT_EQ(perSample(*subscriber, [&] { return subscriber->readDataEvents({}, events, 0, 0ms); }), 2.0)
        << "an event and its entity";
    EXPECT_EQ(perSample(*subscriber, [&] { return subscriber->read(0).size(); }), 1.0) << "an entity";
    {
        // The listener path delivers the same way, one borrowing entity per sample.
        auto subscription = subscriber->subscribe({}, [](Subscriber<T>&, const DataEvent<T>&) {});
        EXPECT_EQ(perSample(*subscriber, [&] { return subscriber->poll(0, 1000ms); }), 1.0) << "an entity";
        // Waiting itself: the read condition and the wait sets are the subscriber's, made at its first wait.
        before = allocations();
        EXPECT_EQ(subscriber->poll(0, 150ms) + subscriber->readDataEvents({}, events, 1, 150ms), 0u);
        EXPECT_EQ(allocations() - before, 0u) << "waits that find nothing";
    }
    {
        // The listener path allocates nothing of its own: it points one borrowing entity at sample after
        // sample while no callback keeps it, and its loan guard keeps its function without an allocation.
        // The writer is in this process, so Fast DDS calls the listener on the publishing thread, inside
        // publish, which costs what Fast DDS allocates itself: 3 per sample (a publish that no reader hears
        // costs 2, and a little more as the writer's history grows).
        std::vector<std::shared_ptr<T>> kept;
        kept.reserve(200);
        bool keeping = false;
        std::vector<const T*> seen;
        seen.reserve(200);
        auto subscription = subscriber->subscribeAsync({}, [&](Subscriber<T>&, const DataEvent<T>& event) {
            seen.push_back(event.getData().get());
            if (keeping)
            {
                kept.push_back(event.getData());
            }
        });
        const auto perPublish = [&](bool keep) {
            keeping = keep;
            std::size_t counted[2] = {};
            for (const std::size_t samples : {16u, 32u, 16u, 32u})
            {
                const std::size_t start = allocations();
                for (std::size_t i = 0; i < samples; ++i)
                {
                    publisher->publish(*entity, 0ms);
                }
                counted[samples / 32] = allocations() - start;
            }
            return (counted[1] - counted[0]) / 16.0;
        };
        const double keepingCost = perPublish(true);
        EXPECT_EQ(perPublish(false), 3.0) << "Fast DDS's, and none of the plug-in's";
        EXPECT_EQ(keepingCost, 4.0) << "and an entity for each sample whose entity was kept";
        ASSERT_EQ(seen.size(), 192u);
        EXPECT_EQ(std::set<const T*>(seen.begin(), seen.begin() + 96).size(), 96u) << "every kept one apart";
        EXPECT_EQ(std::count(seen.begin() + 96, seen.end(), seen.back()), 96) << "one reused for the rest";
    }
    publisher->publish(*entity, 0ms);
    ASSERT_TRUE(Pair::waitForUnread(*subscriber, 1));
    before = allocations();
    EXPECT_NE(subscriber->loanedRead(), nullptr);
    EXPECT_EQ(allocations() - before, 1u) << "the loan, viewing the lent sample";

    auto mrv = pair.makeMrvSubscriber();
    Pair::waitUntilMatched(*publisher, *mrv, 2);
    publisher->publish(*entity, 0ms);
    ASSERT_TRUE(Pair::waitForUnread(*mrv, 1));
    before = allocations();
    EXPECT_EQ(mrv->readMostRecent(0ms).size(), 1u);
    EXPECT_EQ(allocations() - before, 2u) << "the vector and the entity";
}

}  // namespace
