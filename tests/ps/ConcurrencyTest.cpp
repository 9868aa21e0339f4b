// Registrations, closes, polls and subscriber closes racing the Fast DDS listener thread. Built and run
// under ThreadSanitizer by scripts/test.sh as well.
#include "Deliveries.hpp"
#include "LogCapture.hpp"
#include "Matching.hpp"
#include "PubSubPair.hpp"

#include <qara/nimb/Exceptions.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

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

enum class Kind
{
    Sync,
    Async,
    Notifier
};

const char* nameOf(Kind kind)
{
    switch (kind)
    {
        case Kind::Sync:
            return "sync";
        case Kind::Async:
            return "async";
        case Kind::Notifier:
            return "notifier";
    }
    return "?";
}

// Lets the threads of one round start their calls together.
class StartLine
{
public:
    explicit StartLine(int runners) : m_waiting(runners) {}

    void arriveAndWait()
    {
        --m_waiting;
        while (m_waiting.load() > 0)
        {
            std::this_thread::yield();
        }
    }

private:
    std::atomic<int> m_waiting;
};

class ConcurrentSubscriber : public ::testing::Test
{
protected:
    using Pair = PubSubPair<Medium>;
    using T = Pair::T;

    ConcurrentSubscriber() : pair(uniqueUri(kDomain, "race")) {}

    static std::unique_ptr<Subscription> subscribeAs(Kind kind, Subscriber<T>& subscriber,
                                                     const DataEventFilter<T>& filter)
    {
        switch (kind)
        {
            case Kind::Sync:
                return subscriber.subscribe(filter, [](Subscriber<T>&, const DataEvent<T>&) {});
            case Kind::Async:
                return subscriber.subscribeAsync(filter, [](Subscriber<T>&, const DataEvent<T>&) {});
            case Kind::Notifier:
                return subscriber.subscribeAsync(filter, [](Subscriber<T>&) {});
        }
        return nullptr;
    }

    // Registers with both filters from two threads at once; returns how many were refused.
    static int race(Subscriber<T>& subscriber, Kind first, const DataEventFilter<T>& firstFilter, Kind second,
                    const DataEventFilter<T>& secondFilter)
    {
        std::atomic<int> refused{0};
        StartLine start(2);
        auto attempt = [&](Kind kind, const DataEventFilter<T>& filter, std::unique_ptr<Subscription>& handle) {
            start.arriveAndWait();
            try
            {
                handle = subscribeAs(kind, subscriber, filter);
            }
            catch (const std::runtime_error&)
            {
                ++refused;
            }
        };
        std::unique_ptr<Subscription> one;
        std::unique_ptr<Subscription> other;
        std::thread a(attempt, first, std::cref(firstFilter), std::ref(one));
        std::thread b(attempt, second, std::cref(secondFilter), std::ref(other));
        a.join();
        b.join();
        return refused.load();
    }

    // Lets the last delivery end before the test tears down: drops the writer, waits for the reader to see
    // it go and then takes the dispatch mutex once, by a registration. Teardown racing a delivery has a test
    // of its own.
    static void stopDeliveries(std::unique_ptr<qara::nimb::ps::Publisher<T>>& publisher, Subscriber<T>& subscriber)
    {
        publisher.reset();
        waitUntil([&] { return matchedCount(Pair::readerOf(subscriber)) == 0; }, 10s);
        subscriber.subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {InstanceEvent::DELETED}),
                                  [](Subscriber<T>&) {});
    }

    Pair pair;
};

TEST_F(ConcurrentSubscriber, RacingRegistrationsOfEveryPairOfKindsSeeEachOther)
{
    auto subscriber = pair.makeSubscriber();
    // One filter twice, different filters that overlap, and two that do not.
    const DataEventFilter<T> any;
    const DataEventFilter<T> alive(nullptr, InstanceState::ALIVE, {});
    const DataEventFilter<T> anyUpdated(nullptr, InstanceState::ANY, {InstanceEvent::UPDATED});
    const DataEventFilter<T> aliveCreated(nullptr, InstanceState::ALIVE, {InstanceEvent::CREATED});
    const DataEventFilter<T> aliveUpdated(nullptr, InstanceState::ALIVE, {InstanceEvent::UPDATED});
    LogCapture refusals("nimbDdsSubscriptionManager", log4cplus::ERROR_LOG_LEVEL);
    const Kind kinds[] = {Kind::Sync, Kind::Async, Kind::Notifier};
    int expectedRefusals = 0;
    for (Kind first : kinds)
    {
        for (Kind second : kinds)
        {
            for (int round = 0; round < 30; ++round)
            {
                ASSERT_EQ(race(*subscriber, first, any, second, any), 1)
                    << nameOf(first) << " and " << nameOf(second) << " with one filter, round " << round;
                ASSERT_EQ(race(*subscriber, first, alive, second, anyUpdated), 1)
                    << nameOf(first) << " against " << nameOf(second) << ", round " << round;
                ASSERT_EQ(race(*subscriber, first, aliveCreated, second, aliveUpdated), 0)
                    << nameOf(first) << " beside " << nameOf(second) << ", round " << round;
                expectedRefusals += 2;
            }
        }
    }
    EXPECT_EQ(refusals.lines().size(), static_cast<std::size_t>(expectedRefusals));
}

TEST_F(ConcurrentSubscriber, ListenersComeAndGoWhileTheListenerThreadDelivers)
{
    constexpr uint32_t kSamples = 300;
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);

    Deliveries delivered;
    std::atomic<int> callsAfterClose{0};
    std::atomic<bool> streaming{true};
    // Both threads want the same filter: at most one of them holds it at any time.
    auto churnListener = [&] {
        while (streaming)
        {
            auto closed = std::make_shared<std::atomic<bool>>(false);
            std::unique_ptr<Subscription> handle;
            try
            {
                handle = subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::ALIVE, {}),
                                                    [&, closed](Subscriber<T>&, const DataEvent<T>& event) {
                                                        if (*closed)
                                                        {
                                                            ++callsAfterClose;
                                                        }
                                                        delivered.add(numberOf(event));
                                                    });
            }
            catch (const std::runtime_error&)
            {
                std::this_thread::yield();
                continue;
            }
            std::this_thread::sleep_for(1ms);
            handle->close();
            *closed = true;
        }
    };
    // Registrations that never match keep the maps changing under the dispatch.
    auto churnOthers = [&] {
        while (streaming)
        {
            auto notifier = subscriber->subscribeAsync(
                DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {InstanceEvent::CREATED}), [](Subscriber<T>&) {});
            auto sync =
                subscriber->subscribe(DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {InstanceEvent::UPDATED}),
                                      [](Subscriber<T>&, const DataEvent<T>&) {});
            notifier->close();
        }
    };
    std::thread first(churnListener);
    std::thread second(churnListener);
    std::thread others(churnOthers);
    publishNumbered(*publisher, 1, kSamples, 1ms);
    streaming = false;
    first.join();
    second.join();
    others.join();

    // What no registration was there to take is taken by the next dispatch that has one.
    auto last =
        subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::ALIVE, {}),
                                   [&](Subscriber<T>&, const DataEvent<T>& event) { delivered.add(numberOf(event)); });
    publishNumbered(*publisher, kSamples + 1, kSamples + 1);
    ASSERT_TRUE(delivered.waitForLatest(kSamples + 1));
    EXPECT_EQ(callsAfterClose.load(), 0);
    // Every sample went to exactly one registration, in order.
    EXPECT_EQ(delivered.values(), numbersUpTo(kSamples + 1));
}

TEST_F(ConcurrentSubscriber, AHandleClosingItselfMakesRoomForTheNextWhileSamplesKeepComing)
{
    constexpr std::size_t kHandles = 12;
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);

    std::mutex mutex;
    std::condition_variable closedOne;
    std::condition_variable stored;
    std::vector<std::unique_ptr<Subscription>> handles(kHandles);
    std::vector<int> calls(kHandles, 0);
    std::size_t selfClosed = 0;
    Deliveries delivered;
    auto callbackOf = [&](std::size_t index) {
        return [&, index](Subscriber<T>&, const DataEvent<T>& event) {
            delivered.add(numberOf(event));
            std::unique_lock<std::mutex> lock(mutex);
            // The first call may come before the registrar has stored the handle.
            stored.wait(lock, [&] { return handles[index] != nullptr; });
            ++calls[index];
            handles[index]->close();
            selfClosed = index + 1;
            closedOne.notify_all();
        };
    };
    std::atomic<int> refused{0};
    // Each registration waits for its predecessor to close itself. It overlaps the predecessor, so it only
    // succeeds if the deferred removal is complete before the dispatch lets go of the mutex.
    std::thread registrar([&] {
        for (std::size_t index = 0; index < kHandles; ++index)
        {
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (!closedOne.wait_for(lock, 20s, [&] { return selfClosed == index; }))
                {
                    return;
                }
            }
            // Not under the test's lock: the callbacks take it while the dispatch holds the subscriber's.
            std::unique_ptr<Subscription> handle;
            try
            {
                handle = subscriber->subscribeAsync(DataEventFilter<T>(), callbackOf(index));
            }
            catch (const std::runtime_error&)
            {
                ++refused;
                return;
            }
            std::lock_guard<std::mutex> lock(mutex);
            handles[index] = std::move(handle);
            stored.notify_all();
        }
    });
    std::atomic<bool> streaming{true};
    std::thread stream([&] {
        for (uint32_t number = 1; streaming && number < 20000; number += 10)
        {
            publishNumbered(*publisher, number, number + 9, 2ms);
        }
    });
    registrar.join();
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(closedOne.wait_for(lock, 20s, [&] { return selfClosed == kHandles; }));
    }
    // Later samples must not reach any of the closed handles.
    std::this_thread::sleep_for(100ms);
    streaming = false;
    stream.join();
    stopDeliveries(publisher, *subscriber);

    EXPECT_EQ(refused.load(), 0);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(calls, std::vector<int>(kHandles, 1));
    const auto numbers = delivered.values();
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end());
}

TEST_F(ConcurrentSubscriber, PollRunsWhileAnotherThreadRegistersAndClosesSynchronousSubscriptions)
{
    constexpr uint32_t kSamples = 300;
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);

    Deliveries delivered;
    std::atomic<int> callsAfterClose{0};
    std::atomic<int> callsOffThePoller{0};
    std::atomic<bool> polling{true};
    std::thread::id poller;
    std::size_t polled = 0;
    std::thread poll([&] {
        poller = std::this_thread::get_id();
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (polled < kSamples && std::chrono::steady_clock::now() < deadline)
        {
            polled += subscriber->poll(0, 20ms);
        }
        polling = false;
    });
    std::thread registrar([&] {
        while (polling)
        {
            auto closed = std::make_shared<std::atomic<bool>>(false);
            auto handle = subscriber->subscribe(DataEventFilter<T>(nullptr, InstanceState::ALIVE, {}),
                                                [&, closed](Subscriber<T>&, const DataEvent<T>& event) {
                                                    if (*closed)
                                                    {
                                                        ++callsAfterClose;
                                                    }
                                                    if (std::this_thread::get_id() != poller)
                                                    {
                                                        ++callsOffThePoller;
                                                    }
                                                    delivered.add(numberOf(event));
                                                });
            auto unmatched = subscriber->subscribe(DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {}),
                                                   [](Subscriber<T>&, const DataEvent<T>&) {});
            std::this_thread::sleep_for(1ms);
            handle->close();
            *closed = true;
        }
    });
    publishNumbered(*publisher, 1, kSamples, 1ms);
    poll.join();
    registrar.join();
    stopDeliveries(publisher, *subscriber);

    // poll counts what it took, delivered or not.
    EXPECT_EQ(polled, kSamples);
    EXPECT_EQ(callsAfterClose.load(), 0);
    EXPECT_EQ(callsOffThePoller.load(), 0);
    const auto numbers = delivered.values();
    EXPECT_FALSE(numbers.empty());
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end());
}

TEST_F(ConcurrentSubscriber, ClosingTheSubscriberDuringADeliveryWaitsForItAndStopsTheCallbacks)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);

    std::atomic<int> entered{0};
    std::atomic<int> left{0};
    std::atomic<bool> closed{false};
    std::atomic<int> callsAfterClose{0};
    auto handle = subscriber->subscribeAsync(DataEventFilter<T>(), [&](Subscriber<T>&, const DataEvent<T>&) {
        if (closed)
        {
            ++callsAfterClose;
        }
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
    while (entered.load() < 3)
    {
        std::this_thread::sleep_for(1ms);
    }
    subscriber->close();
    closed = true;
    // A call that was running when close began has ended; none started since.
    EXPECT_EQ(entered.load(), left.load());
    const int calls = entered.load();
    std::this_thread::sleep_for(200ms);
    streaming = false;
    stream.join();
    EXPECT_EQ(entered.load(), calls);
    EXPECT_EQ(callsAfterClose.load(), 0);
    handle->close();
}

// A normal shutdown: the host closes the subscriber while a worker drops its handles and registers one more.
TEST_F(ConcurrentSubscriber, HandlesAndRegistrationsRaceTheSubscribersClose)
{
    const DataEventFilter<T> created(nullptr, InstanceState::ALIVE, {InstanceEvent::CREATED});
    const DataEventFilter<T> updated(nullptr, InstanceState::ALIVE, {InstanceEvent::UPDATED});
    const DataEventFilter<T> notAlive(nullptr, InstanceState::NOT_ALIVE, {});
    for (int round = 0; round < 300; ++round)
    {
        auto subscriber = pair.makeSubscriber();
        std::vector<std::unique_ptr<Subscription>> handles;
        handles.push_back(subscribeAs(Kind::Sync, *subscriber, created));
        handles.push_back(subscribeAs(Kind::Async, *subscriber, updated));
        handles.push_back(subscribeAs(Kind::Notifier, *subscriber, notAlive));
        std::unique_ptr<Subscription> late;
        StartLine start(2);
        std::thread worker([&] {
            start.arriveAndWait();
            handles.clear();
            try
            {
                late = subscribeAs(static_cast<Kind>(round % 3), *subscriber, DataEventFilter<T>());
            }
            catch (const qara::nimb::IllegalStateException&)
            {
                // Closed first.
            }
        });
        start.arriveAndWait();
        subscriber->close();
        worker.join();
    }
}

// Two entities of one URI on one participant: the one that created the topic closes while the other looks
// the topic up. The finder must never be left holding a deleted topic.
TEST_F(ConcurrentSubscriber, TopicCreatorClosingRacesAFinder)
{
    auto publisher = pair.makePublisher();
    for (int round = 0; round < 100; ++round)
    {
        auto creator = pair.makeSubscriber();
        std::unique_ptr<Subscriber<T>> finder;
        StartLine start(2);
        std::thread other([&] {
            start.arriveAndWait();
            finder = pair.makeSubscriber();
        });
        start.arriveAndWait();
        creator->close();
        other.join();
        ASSERT_NE(Pair::readerOf(*finder).get_topicdescription()->get_name(), "") << "round " << round;
    }
    auto finder = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *finder);
    std::atomic<int> received{0};
    auto handle = finder->subscribeAsync(DataEventFilter<T>(), [&](Subscriber<T>&, const DataEvent<T>&) { ++received; });
    publishNumbered(*publisher, 1, 1);
    EXPECT_TRUE(waitUntil([&] { return received.load() == 1; }, 10s));
}

// Each direction on its own works. Both at once, a poll closing a listener while the listener thread closes
// a synchronous subscription, would hold one mutex each and wait for the other's: ThreadSanitizer reports
// the inverted lock order even from these two separate runs.
TEST_F(ConcurrentSubscriber, CallbacksOfEitherKindMayCloseAHandleOfTheOther)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    const DataEventFilter<T> alive(nullptr, InstanceState::ALIVE, {});
    const DataEventFilter<T> notAlive(nullptr, InstanceState::NOT_ALIVE, {});
    // The handle a callback closes, published to whichever thread runs it.
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
    // Registered after the sample arrived, so that it leaves it to poll.
    auto closedBySync = subscriber->subscribeAsync(notAlive, [](Subscriber<T>&, const DataEvent<T>&) {});
    target = closedBySync.get();
    EXPECT_EQ(subscriber->poll(0, 200ms), 1u);
    // Gone at once: its filter is free again.
    EXPECT_NO_THROW(subscriber->subscribeAsync(notAlive, [](Subscriber<T>&) {}));
    sync->close();

    auto closedByListener = subscriber->subscribe(notAlive, [](Subscriber<T>&, const DataEvent<T>&) {});
    target = closedByListener.get();
    Deliveries listened;
    auto listener = subscriber->subscribeAsync(alive, [&](Subscriber<T>&, const DataEvent<T>& event) {
        closeTarget();
        listened.add(numberOf(event));
    });
    publishNumbered(*publisher, 2, 2);
    ASSERT_TRUE(listened.waitFor(1));
    EXPECT_NO_THROW(subscriber->subscribe(notAlive, [](Subscriber<T>&, const DataEvent<T>&) {}));
}

}  // namespace
