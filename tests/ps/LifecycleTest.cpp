// Subscribers racing their own deliveries, their closes and each other, and the host's calls from inside
// callbacks, many rounds each; run again over the transports, and under ThreadSanitizer by scripts/test.sh.
#include "Deliveries.hpp"
#include "PubSubPair.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <tuple>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::InstanceEvent;
using qara::nimb::ps::InstanceState;
using qara::nimb::ps::Subscriber;
using qara::nimb::ps::Subscription;

namespace {

using Pair = PubSubPair<Medium>;
using T = Pair::T;
const DataEventFilter<T> kAlive(nullptr, InstanceState::ALIVE, {});
const DataEventFilter<T> kNotAlive(nullptr, InstanceState::NOT_ALIVE, {});

class ConcurrentSubscriber : public ::testing::Test
{
protected:
    Pair pair{uniqueUri(229, "lifecycle")};
};

// Kind 0 synchronous, 1 a listener, 2 a notifier; the callback does nothing.
std::unique_ptr<Subscription> subscribeAs(int kind, Subscriber<T>& subscriber, const DataEventFilter<T>& filter)
{
    if (kind == 2)
    {
        return subscriber.subscribeAsync(filter, [](Subscriber<T>&) {});
    }
    const auto nothing = [](Subscriber<T>&, const DataEvent<T>&) {};
    return kind == 0 ? subscriber.subscribe(filter, nothing) : subscriber.subscribeAsync(filter, nothing);
}

// Publishes until the publisher's writer has no reader left: the readers of closed subscribers go.
bool readersGo(qara::nimb::ps::Publisher<T>& publisher)
{
    return waitUntil([&] { return publishNumbered(publisher, 9, 9), matchedCount(Pair::writerOf(publisher)) == 0; },
                     10s);
}

// Two registrations of any two kinds at once see each other: of two overlapping filters one is refused.
TEST_F(ConcurrentSubscriber, RacingRegistrationsSeeEachOther)
{
    auto subscriber = pair.makeSubscriber();
    const DataEventFilter<T> anyUpdated(nullptr, InstanceState::ANY, {InstanceEvent::UPDATED});
    const DataEventFilter<T> aliveCreated(nullptr, InstanceState::ALIVE, {InstanceEvent::CREATED});
    const DataEventFilter<T> named(std::make_shared<Pair::ST>(), InstanceState::ANY, {});
    // Filters overlap when their instances, their instance states and their events all do; two that name
    // an instance each never do here, where no two entities have equal keys.
    const std::tuple<DataEventFilter<T>, DataEventFilter<T>, int> rows[] = {
        {kAlive, kAlive, 1},    {kAlive, anyUpdated, 1}, {aliveCreated, anyUpdated, 0},
        {kAlive, kNotAlive, 0}, {{}, kNotAlive, 1},      {named, named, 0},
        {named, {}, 1}};
    for (int round = 0; round < 90; ++round)
    {
        for (const auto& [first, second, refusals] : rows)
        {
            std::unique_ptr<Subscription> handles[2];
            std::string outcomes[2];
            together(
                [&] { outcomes[0] = thrown([&] { handles[0] = subscribeAs(round % 3, *subscriber, first); }); },
                [&] { outcomes[1] = thrown([&] { handles[1] = subscribeAs(round / 3 % 3, *subscriber, second); }); });
            ASSERT_EQ(int(!outcomes[0].empty()) + int(!outcomes[1].empty()), refusals) << "round " << round;
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
            // Fails while the other thread holds a filter.
            thrown([&] {
                unmatched = subscribeAs(0, *subscriber, kNotAlive);
                handle = subscriber->subscribeAsync(kAlive, [&, closed](Subscriber<T>&, const DataEvent<T>& event) {
                    callsAfterClose += *closed ? 1 : 0;
                    delivered.add(numberOf(event));
                });
            });
            std::this_thread::sleep_for(1ms);
            if (handle)
            {
                handle->close();
                *closed = true;
            }
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

// A call that was running when close began has ended when it returns, and none starts after.
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
        for (uint32_t number = 1; streaming; number += 10)
        {
            publishNumbered(*publisher, number, number + 9, 1ms);
        }
    });
    ASSERT_TRUE(waitUntil([&] { return entered.load() >= 3; }, 20s));
    subscriber->close();
    const int calls = entered.load();
    EXPECT_EQ(left.load(), calls);
    publishNumbered(*publisher, 1, 50, 1ms);
    streaming = false;
    stream.join();
    EXPECT_EQ(entered.load(), calls);
}

// A normal shutdown: the host closes the subscriber while a worker drops its handles and registers one more.
TEST_F(ConcurrentSubscriber, HandlesAndRegistrationsRaceTheSubscribersClose)
{
    for (int round = 0; round < 300; ++round)
    {
        auto subscriber = pair.makeSubscriber();
        std::vector<std::unique_ptr<Subscription>> handles;
        handles.push_back(subscribeAs(0, *subscriber, kAlive));
        handles.push_back(subscribeAs(1, *subscriber, kNotAlive));
        std::unique_ptr<Subscription> late;
        together([&] { subscriber->close(); },
                 [&] { handles.clear(), thrown([&] { late = subscribeAs(round % 3, *subscriber, {}); }); });
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
    Deliveries received;
    auto handle =
        finder->subscribeAsync({}, [&](Subscriber<T>&, const DataEvent<T>& event) { received.add(numberOf(event)); });
    // The writer may still count a closed round's reader as matched: publish until the finder hears one.
    EXPECT_TRUE(waitUntil([&] { return publishNumbered(*publisher, 1, 1), received.waitFor(1, 100ms); }, 20s));
}

// The host lets go of its subscriber and the callback then drops its own handle, the last owner: the
// delivery returns, the subscriber goes, and its reader with the next call into the library, made by the
// publish that delivered or, over the transports, by the next one. The process only publishes from then on.
TEST_F(ConcurrentSubscriber, ASubscriberDroppedInItsCallbackTakesItsReaderWithTheNextCall)
{
    auto publisher = pair.makePublisher();
    for (int round = 0; round < 20; ++round)
    {
        SCOPED_TRACE(round);
        auto subscriber = pair.makeSubscriber();
        pair.waitUntilMatched(*publisher, *subscriber);
        const std::weak_ptr<qara::nimb::ps::DdsSubscriber<T, Pair::ST>> impl = Pair::implOf(*subscriber);
        std::unique_ptr<Subscription> handle;
        std::atomic<int> calls{0};
        auto drop = [&] { ++calls, handle.reset(); };
        handle = round % 2 == 1 ? subscriber->subscribeAsync({}, [&](Subscriber<T>&) { drop(); })
                                : subscriber->subscribeAsync({}, [&](Subscriber<T>&, const DataEvent<T>&) { drop(); });
        subscriber.reset();
        auto published = std::async(std::launch::async, [&] { publishNumbered(*publisher, 1, 1); });
        ASSERT_EQ(published.wait_for(20s), std::future_status::ready) << "the delivering thread hangs";
        ASSERT_TRUE(waitUntil([&] { return impl.expired(); }, 10s));
        EXPECT_EQ(calls.load(), 1);
        ASSERT_TRUE(readersGo(*publisher)) << "the dropped subscriber's reader is still matched";
    }
}

// A callback that answers on its own topic: its publish returns, and the answer is delivered after the
// sample in hand, in order.
TEST_F(ConcurrentSubscriber, ACallbackPublishingOnItsOwnTopicHearsItsAnswerNext)
{
    constexpr uint32_t kSamples = 60;
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    Deliveries heard;
    auto handle = subscriber->subscribeAsync({}, [&](Subscriber<T>&, const DataEvent<T>& event) {
        heard.add(numberOf(event));
        numberOf(event) % 2 == 1 ? publishNumbered(*publisher, numberOf(event) + 1, numberOf(event) + 1) : void();
    });
    for (uint32_t number = 1; number < kSamples; number += 2)
    {
        auto published = std::async(std::launch::async, [&] { publishNumbered(*publisher, number, number); });
        ASSERT_EQ(published.wait_for(20s), std::future_status::ready) << "a publish inside a callback hangs";
        ASSERT_TRUE(heard.waitFor(number + 1));
    }
    EXPECT_EQ(heard.values(), numbersUpTo(kSamples));
    // Or closes the publisher whose write delivered to it: the writer goes once that write has returned.
    handle->close();
    handle = subscriber->subscribeAsync({}, [&](Subscriber<T>&, const DataEvent<T>&) { publisher->close(); });
    publishNumbered(*publisher, 1, 1);
    EXPECT_TRUE(waitUntil([&] { return !thrown([&] { publisher->createDataEntity(); }).empty(); }, 10s));
    EXPECT_EQ(thrown([&] { publishNumbered(*publisher, 1, 1); }), "IllegalState Entity closed Uri: " + pair.uri);
}

// From inside callbacks of either kind: a handle of the other kind may be closed (its filter is free at
// once), and what could wait for a delivery that waits for this thread is refused in words.
TEST_F(ConcurrentSubscriber, CallbacksMayCloseHandlesButNotWaitForThemselves)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    auto other = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber, 2);
    Collected<std::string> outcomes;
    std::unique_ptr<Subscription> target = subscribeAs(2, *subscriber, kNotAlive);
    const auto tryAll = [&](Subscriber<T>& self, const DataEvent<T>&) {
        outcomes.add(thrown([&] { target->close(); }));
        outcomes.add(thrown([&] { self.close(); }));
        outcomes.add(thrown([&] { subscribeAs(0, *other, {}); }));
        outcomes.add(thrown([&] { self.poll(0, 10ms); }));
    };
    auto handle = subscriber->subscribe(kAlive, tryAll);
    publishNumbered(*publisher, 1, 1);
    EXPECT_EQ(subscriber->poll(0, 1000ms), 1u);
    target = subscribeAs(0, *subscriber, kNotAlive);
    handle->close();
    handle = subscriber->subscribeAsync(kAlive, tryAll);
    publishNumbered(*publisher, 2, 2);
    ASSERT_TRUE(outcomes.waitFor(8));
    EXPECT_EQ(thrown([&] { subscribeAs(2, *subscriber, kNotAlive); }), "");
    const std::string closing = "IllegalState Cannot close a subscriber from inside one of its own callbacks";
    const std::string subscribing = "IllegalState Cannot subscribe from inside a subscription callback";
    const std::string polling = "IllegalState Cannot poll from inside a subscription callback";
    EXPECT_EQ(outcomes.values(),
              (std::vector<std::string>{"", closing, subscribing, polling, "", closing, subscribing, polling}));
}

// Closing a subscriber while another thread waits in it, the usual way to stop a worker: the wait ends with
// what it had (the most-recent-value read throws), and the reader, its DDS subscriber and topic go. Every
// other round closes while the waiter may still be on its way in.
TEST_F(ConcurrentSubscriber, ClosingEndsTheWaitsOfOtherThreadsAndReleasesTheReader)
{
    std::vector<std::shared_ptr<DataEvent<T>>> events;
    const std::function<std::size_t(Subscriber<T>&)> waits[] = {
        [&](Subscriber<T>& s) { return s.poll(0, 60s); },
        [&](Subscriber<T>& s) { return s.readDataEvents({}, events, 0, 60s); },
        [&](Subscriber<T>& s) { return s.readDataEvents({}, events, 5, 0ms); },
        [&](Subscriber<T>& s) { return s.readDataEvents({}, events, 5, 60s); }};
    for (int round = 0; round < 40; ++round)
    {
        SCOPED_TRACE(round);
        const bool mostRecent = round % 5 == 4;
        auto subscriber = mostRecent ? nullptr : pair.makeSubscriber();
        auto mrv = mostRecent ? pair.makeMrvSubscriber() : nullptr;
        auto participant = static_cast<qara::nimb::DdsNimb&>(*pair.subscribingHost)
                               .getDomainParticipant(qara::nimb::Uri(pair.uri), {});
        auto waiting = std::async(std::launch::async, [&] {
            return thrown(
                [&] { EXPECT_EQ(mostRecent ? mrv->readMostRecent(60s).size() : waits[round % 5](*subscriber), 0u); });
        });
        const auto inside = [&] {
            return mostRecent ? dynamic_cast<qara::nimb::ps::MrvDdsSubscriber<T, Pair::ST>&>(*mrv).readersInside()
                              : Pair::implOf(*subscriber)->readersInside();
        };
        ASSERT_TRUE(round % 2 == 1 || waitUntil([&] { return inside() > 0; }, 10s));
        mostRecent ? mrv->close() : subscriber->close();
        ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready) << "the wait goes on after close";
        const std::string outcome = waiting.get();
        EXPECT_TRUE(outcome.empty() || outcome == "IllegalState Entity closed Uri: " + pair.uri) << outcome;
        EXPECT_EQ(participant->lookup_topicdescription(pair.topicName()), nullptr);
    }
}

// Two subscribers, each of whose callbacks closes the other's handle and then the other while both deliver
// on two threads: no close waits for the other's delivery, both end, and the readers go.
TEST_F(ConcurrentSubscriber, TwoSubscribersMayCloseEachOtherFromTheirCallbacks)
{
    Pair pairs[2] = {Pair(pair.uri + "a"), Pair(pair.uri + "b")};
    std::unique_ptr<qara::nimb::ps::Publisher<T>> publishers[2] = {pairs[0].makePublisher(), pairs[1].makePublisher()};
    for (int round = 0; round < 10; ++round)
    {
        SCOPED_TRACE(round);
        std::unique_ptr<Subscriber<T>> subscribers[2] = {pairs[0].makeSubscriber(), pairs[1].makeSubscriber()};
        std::atomic<int> inside{0};
        std::unique_ptr<Subscription> handles[2];
        for (int i = 0; i < 2; ++i)
        {
            pairs[i].waitUntilMatched(*publishers[i], *subscribers[i]);
            handles[i] = subscribers[i]->subscribeAsync({}, [&, i](Subscriber<T>&, const DataEvent<T>&) {
                ++inside;
                waitUntil([&] { return inside.load() == 2; }, 2s);
                handles[1 - i]->close();
                subscribers[1 - i]->close();
            });
        }
        auto published = std::async(std::launch::async, [&] {
            together([&] { publishNumbered(*publishers[0], 1, 1); }, [&] { publishNumbered(*publishers[1], 1, 1); });
        });
        ASSERT_EQ(published.wait_for(20s), std::future_status::ready) << "the two closes wait for each other";
        subscribers[0]->close();  // not yet closed where a sample was lost over the transports
        subscribers[1]->close();
        EXPECT_TRUE(readersGo(*publishers[0]) && readersGo(*publishers[1]));
    }
}

}  // namespace
