// Registrations, closes and subscriber closes racing deliveries and each other, many rounds each. Built and
// run under ThreadSanitizer by scripts/test.sh as well.
#include "Deliveries.hpp"
#include "PubSubPair.hpp"

#include <qara/nimb/Exceptions.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::InstanceEvent;
using qara::nimb::ps::InstanceState;
using qara::nimb::ps::Subscriber;
using qara::nimb::ps::Subscription;

namespace {

constexpr uint32_t kDomain = 231;

using Pair = PubSubPair<Medium>;
using T = Pair::T;

// Runs `other` on a second thread, both calls starting together.
template <class Mine, class Other>
void together(Mine&& mine, Other&& other)
{
    std::atomic<int> waiting{2};
    auto start = [&] {
        --waiting;
        while (waiting.load() > 0)
        {
            std::this_thread::yield();
        }
    };
    std::thread thread([&] {
        start();
        other();
    });
    start();
    mine();
    thread.join();
}

std::unique_ptr<Subscription> subscribeAs(int kind, Subscriber<T>& subscriber, const DataEventFilter<T>& filter)
{
    if (kind == 0)
    {
        return subscriber.subscribe(filter, [](Subscriber<T>&, const DataEvent<T>&) {});
    }
    if (kind == 1)
    {
        return subscriber.subscribeAsync(filter, [](Subscriber<T>&, const DataEvent<T>&) {});
    }
    return subscriber.subscribeAsync(filter, [](Subscriber<T>&) {});
}

class ConcurrentSubscriber : public ::testing::Test
{
protected:
    Pair pair{uniqueUri(kDomain, "race")};
};

// Two registrations of any two kinds at once see each other: of two overlapping filters one is refused.
TEST_F(ConcurrentSubscriber, RacingRegistrationsSeeEachOther)
{
    auto subscriber = pair.makeSubscriber();
    const DataEventFilter<T> alive(nullptr, InstanceState::ALIVE, {});
    const DataEventFilter<T> anyUpdated(nullptr, InstanceState::ANY, {InstanceEvent::UPDATED});
    const DataEventFilter<T> aliveCreated(nullptr, InstanceState::ALIVE, {InstanceEvent::CREATED});
    const DataEventFilter<T> notAlive(nullptr, InstanceState::NOT_ALIVE, {});
    // Filters overlap when their instance states and their events both do.
    const std::tuple<DataEventFilter<T>, DataEventFilter<T>, int> rows[] = {{alive, alive, 1},
                                                                            {alive, anyUpdated, 1},
                                                                            {aliveCreated, anyUpdated, 0},
                                                                            {alive, notAlive, 0},
                                                                            {{}, notAlive, 1}};
    for (int round = 0; round < 90; ++round)
    {
        for (const auto& [first, second, refusals] : rows)
        {
            std::atomic<int> refused{0};
            std::unique_ptr<Subscription> one;
            std::unique_ptr<Subscription> other;
            auto attempt = [&](int kind, const DataEventFilter<T>& filter, std::unique_ptr<Subscription>& handle) {
                try
                {
                    handle = subscribeAs(kind, *subscriber, filter);
                }
                catch (const std::runtime_error&)
                {
                    ++refused;
                }
            };
            together([&] { attempt(round % 3, first, one); }, [&] { attempt(round / 3 % 3, second, other); });
            ASSERT_EQ(refused.load(), refusals) << "round " << round;
        }
    }
}

// Listeners come and go while the listener thread delivers: every sample goes to exactly one of them, in
// order, and none after its close.
TEST_F(ConcurrentSubscriber, ListenersComeAndGoDuringDelivery)
{
    constexpr uint32_t kSamples = 300;
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    Deliveries delivered;
    std::atomic<int> callsAfterClose{0};
    std::atomic<bool> streaming{true};
    auto churn = [&] {
        while (streaming)
        {
            auto closed = std::make_shared<std::atomic<bool>>(false);
            std::unique_ptr<Subscription> handle;
            std::unique_ptr<Subscription> unmatched;
            try
            {
                unmatched = subscribeAs(0, *subscriber, DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {}));
                handle = subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::ALIVE, {}),
                                                    [&, closed](Subscriber<T>&, const DataEvent<T>& event) {
                                                        callsAfterClose += *closed ? 1 : 0;
                                                        delivered.add(numberOf(event));
                                                    });
            }
            catch (const std::runtime_error&)
            {
                continue;  // the other thread holds a filter
            }
            std::this_thread::sleep_for(1ms);
            handle->close();
            *closed = true;
        }
    };
    std::thread first(churn);
    std::thread second(churn);
    publishNumbered(*publisher, 1, kSamples, 1ms);
    streaming = false;
    first.join();
    second.join();
    // What no registration was there to take is taken by the next dispatch that has one.
    auto last = subscriber->subscribeAsync(
        {}, [&](Subscriber<T>&, const DataEvent<T>& event) { delivered.add(numberOf(event)); });
    publishNumbered(*publisher, kSamples + 1, kSamples + 1);
    ASSERT_TRUE(delivered.waitFor(kSamples + 1));
    EXPECT_EQ(callsAfterClose.load(), 0);
    EXPECT_EQ(delivered.values(), numbersUpTo(kSamples + 1));
}

TEST_F(ConcurrentSubscriber, ClosingDuringADeliveryWaitsForItAndStopsTheCallbacks)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    std::atomic<int> entered{0};
    std::atomic<int> left{0};
    auto handle = subscriber->subscribeAsync({}, [&](Subscriber<T>&, const DataEvent<T>&) {
        ++entered;
        std::this_thread::sleep_for(20ms);
        ++left;
    });
    std::atomic<bool> streaming{true};
    std::thread stream([&] {
        for (uint32_t number = 1; streaming && number < 20000; number += 10)
        {
            publishNumbered(*publisher, number, number + 9, 1ms);
        }
    });
    ASSERT_TRUE(waitUntil([&] { return entered.load() >= 3; }, 20s));
    subscriber->close();
    // A call that was running when close began has ended; none started since.
    const int calls = entered.load();
    EXPECT_EQ(left.load(), calls);
    std::this_thread::sleep_for(200ms);
    streaming = false;
    stream.join();
    EXPECT_EQ(entered.load(), calls);
    handle->close();
}

// A normal shutdown: the host closes the subscriber while a worker drops its handles and registers one more.
TEST_F(ConcurrentSubscriber, HandlesAndRegistrationsRaceTheSubscribersClose)
{
    for (int round = 0; round < 300; ++round)
    {
        auto subscriber = pair.makeSubscriber();
        std::vector<std::unique_ptr<Subscription>> handles;
        handles.push_back(subscribeAs(0, *subscriber, DataEventFilter<T>(nullptr, InstanceState::ALIVE, {})));
        handles.push_back(subscribeAs(1, *subscriber, DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {})));
        std::unique_ptr<Subscription> late;
        together([&] { subscriber->close(); },
                 [&] {
                     handles.clear();
                     try
                     {
                         late = subscribeAs(round % 3, *subscriber, {});
                     }
                     catch (const qara::nimb::IllegalStateException&)
                     {
                     }
                 });
    }
}

// The subscriber that created the topic closes while another of the same URI looks the topic up: the finder
// must never be left holding a deleted topic.
TEST_F(ConcurrentSubscriber, TopicCreatorClosingRacesAFinder)
{
    auto publisher = pair.makePublisher();
    std::unique_ptr<Subscriber<T>> finder;
    for (int round = 0; round < 100; ++round)
    {
        auto creator = pair.makeSubscriber();
        together([&] { creator->close(); }, [&] { finder = pair.makeSubscriber(); });
        ASSERT_NE(Pair::readerOf(*finder).get_topicdescription()->get_name(), "") << "round " << round;
    }
    pair.waitUntilMatched(*publisher, *finder);
    Deliveries received;
    auto handle =
        finder->subscribeAsync({}, [&](Subscriber<T>&, const DataEvent<T>& event) { received.add(numberOf(event)); });
    publishNumbered(*publisher, 1, 1);
    EXPECT_TRUE(received.waitFor(1));
}

// A poll's callback closing a listener while a listener closes a synchronous subscription would take the two
// mutexes in opposite orders: ThreadSanitizer sees the inversion even from these two separate runs.
TEST_F(ConcurrentSubscriber, CallbacksOfEitherKindMayCloseAHandleOfTheOther)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    const DataEventFilter<T> alive(nullptr, InstanceState::ALIVE, {});
    const DataEventFilter<T> notAlive(nullptr, InstanceState::NOT_ALIVE, {});
    std::atomic<Subscription*> target{nullptr};
    auto closeTarget = [&] {
        if (Subscription* handle = target.exchange(nullptr))
        {
            handle->close();
        }
    };
    auto sync = subscriber->subscribe(alive, [&](Subscriber<T>&, const DataEvent<T>&) { closeTarget(); });
    publishNumbered(*publisher, 1, 1);
    ASSERT_TRUE(pair.waitForUnread(*subscriber, 1));
    auto closedBySync = subscribeAs(1, *subscriber, notAlive);
    target = closedBySync.get();
    EXPECT_EQ(subscriber->poll(0, 200ms), 1u);
    EXPECT_NO_THROW(subscribeAs(2, *subscriber, notAlive)) << "closed in a callback, yet its filter is taken";
    sync->close();

    auto closedByListener = subscribeAs(0, *subscriber, notAlive);
    target = closedByListener.get();
    Deliveries listened;
    auto listener = subscriber->subscribeAsync(alive, [&](Subscriber<T>&, const DataEvent<T>& event) {
        closeTarget();
        listened.add(numberOf(event));
    });
    publishNumbered(*publisher, 2, 2);
    ASSERT_TRUE(listened.waitFor(1));
    EXPECT_NO_THROW(subscribeAs(0, *subscriber, notAlive));
}

}  // namespace
