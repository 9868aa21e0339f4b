#include "Deliveries.hpp"
#include "LogCapture.hpp"
#include "Matching.hpp"
#include "PubSubPair.hpp"
#include "SampleValues.hpp"

#include <qara/nimb/Exceptions.hpp>

#include <gtest/gtest.h>

#include <mutex>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::InstanceEvent;
using qara::nimb::ps::InstanceState;
using qara::nimb::ps::Subscriber;

namespace {

constexpr uint32_t kDomain = 225;

template <class TopicType>
class EveryTopicSubscriber : public ::testing::Test
{
protected:
    using Pair = PubSubPair<TopicType>;
    using T = typename Pair::T;
    using W = typename Pair::W;

    EveryTopicSubscriber() : pair(uniqueUri(kDomain, "sub")) {}

    // Publishes `count` distinct samples and returns them.
    std::vector<W> publish(qara::nimb::ps::Publisher<T>& publisher, uint32_t count, uint32_t seed = 1)
    {
        std::vector<W> sent;
        for (uint32_t i = 0; i < count; ++i)
        {
            sent.push_back(makeDistinctSample<W>(seed + i));
            publisher.publish(*pair.entity(publisher, sent.back()), 0ms);
        }
        return sent;
    }

    static void expectSame(const W& expected, const T& received)
    {
        EXPECT_EQ(fieldBytes(Pair::wireOf(received)), fieldBytes(expected));
    }

    Pair pair;
};

TYPED_TEST_SUITE(EveryTopicSubscriber, AllTopics, TopicNames);

TYPED_TEST(EveryTopicSubscriber, ReadsCopiesLoansAndEvents)
{
    auto publisher = this->pair.makePublisher();
    auto subscriber = this->pair.makeSubscriber();
    this->pair.waitUntilMatched(*publisher, *subscriber);

    auto sent = this->publish(*publisher, 3);
    ASSERT_TRUE(this->pair.waitForUnread(*subscriber, 3));
    auto copies = subscriber->read(0);
    ASSERT_EQ(copies.size(), 3u);
    for (std::size_t i = 0; i < copies.size(); ++i)
    {
        this->expectSame(sent[i], *copies[i]);
    }

    sent = this->publish(*publisher, 1, 10);
    ASSERT_TRUE(this->pair.waitForUnread(*subscriber, 1));
    auto loaned = subscriber->loanedRead();
    ASSERT_NE(loaned, nullptr);
    this->expectSame(sent[0], loaned->getData());
    loaned->close();
    loaned->close();
    EXPECT_EQ(subscriber->loanedRead(), nullptr);

    sent = this->publish(*publisher, 2, 20);
    std::vector<std::shared_ptr<DataEvent<typename TestFixture::T>>> events;
    EXPECT_EQ(subscriber->readDataEvents(DataEventFilter<typename TestFixture::T>(), events, 2, 5000ms), 2u);
    ASSERT_EQ(events.size(), 2u);
    for (std::size_t i = 0; i < events.size(); ++i)
    {
        this->expectSame(sent[i], *events[i]->getData());
        EXPECT_TRUE(events[i]->hasValidData());
        EXPECT_EQ(events[i]->getInstanceState(), InstanceState::ANY);
        EXPECT_EQ(events[i]->getInstanceEvent(), InstanceEvent::UPDATED);
        EXPECT_GT(events[i]->getSourceTimestamp(), 1.6e9);
    }
}

TYPED_TEST(EveryTopicSubscriber, DeliversToListenersNotifiersAndPoll)
{
    using T = typename TestFixture::T;
    using W = typename TestFixture::W;
    auto publisher = this->pair.makePublisher();
    auto subscriber = this->pair.makeSubscriber();
    this->pair.waitUntilMatched(*publisher, *subscriber);

    Collected<W> listened;
    std::atomic<int> notified{0};
    // Filters must not overlap: the notifier wants disposed instances, the listener alive ones.
    auto notifier = subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {}),
                                               [&](Subscriber<T>&) { ++notified; });
    auto listener = subscriber->subscribeAsync(
        DataEventFilter<T>(nullptr, InstanceState::ALIVE, {}),
        [&](Subscriber<T>&, const DataEvent<T>& event) { listened.add(TestFixture::Pair::wireOf(*event.getData())); });
    auto sent = this->publish(*publisher, 2);
    ASSERT_TRUE(listened.waitFor(2));
    EXPECT_EQ(fieldBytes(listened.values()[0]), fieldBytes(sent[0]));
    EXPECT_EQ(fieldBytes(listened.values()[1]), fieldBytes(sent[1]));
    EXPECT_EQ(notified.load(), 0) << "no sample of a disposed instance arrived";
    listener->close();
    notifier->close();

    std::vector<W> polled;
    auto sync = subscriber->subscribe(DataEventFilter<T>(), [&](Subscriber<T>&, const DataEvent<T>& event) {
        polled.push_back(TestFixture::Pair::wireOf(*event.getData()));
        // The one instance of a keyless topic was seen with the first sample already.
        EXPECT_EQ(event.getInstanceEvent(), InstanceEvent::UPDATED);
    });
    sent = this->publish(*publisher, 2, 30);
    ASSERT_TRUE(this->pair.waitForUnread(*subscriber, 2));
    EXPECT_EQ(subscriber->poll(0, 200ms), 2u);
    ASSERT_EQ(polled.size(), 2u);
    EXPECT_EQ(fieldBytes(polled[1]), fieldBytes(sent[1]));
}

TYPED_TEST(EveryTopicSubscriber, MostRecentValueIsTheLatestSample)
{
    auto publisher = this->pair.makePublisher();
    auto mrv = this->pair.makeMrvSubscriber();
    auto subscriber = this->pair.makeSubscriber();
    this->pair.waitUntilMatched(*publisher, *mrv, 2);
    EXPECT_TRUE(mrv->readMostRecent(0ms).empty());

    const auto sent = this->publish(*publisher, 2);
    ASSERT_TRUE(this->pair.waitForUnread(*subscriber, 2));
    for (int call = 0; call < 2; ++call)
    {
        const auto latest = mrv->readMostRecent(10ms);
        ASSERT_EQ(latest.size(), 1u);
        this->expectSame(sent[1], *latest[0]);
    }
    // The ordinary subscriber reads independently: it still holds both.
    EXPECT_EQ(subscriber->read(0).size(), 2u);
}

TYPED_TEST(EveryTopicSubscriber, KeylessTopicsHaveNoInstanceReads)
{
    auto subscriber = this->pair.makeSubscriber();
    auto instance = subscriber->createDataEntity();
    auto out = subscriber->createDataEntity();
    for (auto read : {+[](Subscriber<typename TestFixture::T>&s, typename TestFixture::T&i, typename TestFixture::T&) {
                          s.readInstance(i);
                      },
                      +[](Subscriber<typename TestFixture::T>&s, typename TestFixture::T&i, typename TestFixture::T&o) {
                          s.readInstance(i, o);
                      },
                      +[](Subscriber<typename TestFixture::T>&s, typename TestFixture::T&i, typename TestFixture::T&) {
                          s.loanedReadInstance(i);
                      }})
    {
        try
        {
            read(*subscriber, *instance, *out);
            FAIL() << "instance read on a keyless topic";
        }
        catch (const std::runtime_error& e)
        {
            EXPECT_STREQ(e.what(), "Lookup instance key failed code:-1");
        }
    }
}

class MediumSubscriber : public EveryTopicSubscriber<Medium>
{
};

TEST_F(MediumSubscriber, WaitingReadsKeepToTheirTime)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    publish(*publisher, 4);
    ASSERT_TRUE(pair.waitForUnread(*subscriber, 4));

    std::vector<std::shared_ptr<DataEvent<T>>> events;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(subscriber->readDataEvents(DataEventFilter<T>(), events, 10, 200ms), 4u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 190ms) << "returned before its time-out with 4 of 10";

    EXPECT_EQ(subscriber->poll(0, 0ms), 0u);
    publish(*publisher, 3, 40);
    ASSERT_TRUE(pair.waitForUnread(*subscriber, 3));
    // No synchronous subscription: poll still takes, and counts what nobody accepted.
    EXPECT_EQ(subscriber->poll(0, 300ms), 3u);
    EXPECT_TRUE(subscriber->read(0).empty());

    EXPECT_THROW(subscriber->poll(0, -1ms), qara::nimb::NimbException);
    EXPECT_THROW(subscriber->readDataEvents(DataEventFilter<T>(), events, 0, -1ms), qara::nimb::NimbException);
}

TEST_F(MediumSubscriber, SamplesOlderThanTheLatencyLimitAreSkippedAndRemoved)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber({std::make_shared<qara::nimb::ps::qos::Latency>(1000)});
    pair.waitUntilMatched(*publisher, *subscriber);
    const double old = static_cast<double>(std::time(nullptr)) - 60.0;
    publisher->publish(old, *pair.entity(*publisher, makeDistinctSample<W>(1)), 0ms);
    ASSERT_TRUE(pair.waitForUnread(*subscriber, 1));
    EXPECT_TRUE(subscriber->read(0).empty());
    EXPECT_EQ(pair.readerOf(*subscriber).get_unread_count(), 0u) << "the stale sample stays in the reader";
}

TEST_F(MediumSubscriber, OverlappingFiltersAreRefused)
{
    auto subscriber = pair.makeSubscriber();
    auto ignore = [](Subscriber<T>&, const DataEvent<T>&) {};
    auto created =
        subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::ALIVE, {InstanceEvent::CREATED}), ignore);
    // Same state, disjoint events: no overlap.
    auto updated =
        subscriber->subscribe(DataEventFilter<T>(nullptr, InstanceState::ALIVE, {InstanceEvent::UPDATED}), ignore);
    // Different states: no overlap.
    auto disposed =
        subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {}), [](Subscriber<T>&) {});
    LogCapture errors("nimbDdsSubscriptionManager", log4cplus::ERROR_LOG_LEVEL);
    for (const auto& filter : {DataEventFilter<T>(), DataEventFilter<T>(nullptr, InstanceState::ALIVE, {}),
                               DataEventFilter<T>(nullptr, InstanceState::ANY, {InstanceEvent::UPDATED})})
    {
        try
        {
            subscriber->subscribe(filter, ignore);
            FAIL() << "overlapping filter accepted";
        }
        catch (const std::runtime_error& e)
        {
            EXPECT_STREQ(e.what(), "Filter intersects with an already registered subscription");
        }
    }
    EXPECT_EQ(errors.lines().size(), 3u);
    // A closed registration no longer blocks its filter.
    created->close();
    EXPECT_NO_THROW(subscriber->subscribeAsync(
        DataEventFilter<T>(nullptr, InstanceState::ALIVE, {InstanceEvent::CREATED}), ignore));
}

TEST_F(MediumSubscriber, HandlesAndLoansOutliveTheirSubscriber)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    publish(*publisher, 1);
    ASSERT_TRUE(pair.waitForUnread(*subscriber, 1));

    auto loaned = subscriber->loanedRead();
    ASSERT_NE(loaned, nullptr);
    auto handle = subscriber->subscribe(DataEventFilter<T>(), [](Subscriber<T>&, const DataEvent<T>&) {});
    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);
    subscriber->close();
    subscriber->close();
    subscriber.reset();
    // The loan still views its sample, and gives it back once, to the reader kept for it.
    EXPECT_EQ(loaned->getData().getImplementations_fb_main_cell_sttlm_esaactuatorstate(),
              makeDistinctSample<W>(1).implementations_fb_main_cell_sttlm_esaactuatorstate());
    loaned->close();
    loaned.reset();
    handle->close();
    handle.reset();
    EXPECT_TRUE(errors.lines().empty());
}

TEST_F(MediumSubscriber, AThrowingCallbackDoesNotStopDelivery)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    Collected<W> inbox;
    std::atomic<int> calls{0};
    auto handle = subscriber->subscribeAsync(DataEventFilter<T>(), [&](Subscriber<T>&, const DataEvent<T>& event) {
        if (++calls == 1)
        {
            throw std::runtime_error("callback failure");
        }
        inbox.add(Pair::wireOf(*event.getData()));
    });
    LogCapture errors("nimbDdsSubscriptionManager", log4cplus::ERROR_LOG_LEVEL);
    const auto sent = publish(*publisher, 1);
    waitUntil([&] { return calls.load() > 0; }, 1s);
    publish(*publisher, 1, 2);
    ASSERT_TRUE(inbox.waitFor(1));
    EXPECT_EQ(fieldBytes(inbox.values()[0]), fieldBytes(makeDistinctSample<W>(2)));
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, "errMsg:Subscription callback failed: callback failure"));
}

TEST_F(MediumSubscriber, AHandleMayCloseItselfInsideItsCallback)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    std::atomic<int> calls{0};
    std::unique_ptr<qara::nimb::ps::Subscription> handle;
    std::mutex handleMutex;
    {
        std::lock_guard<std::mutex> lock(handleMutex);
        handle = subscriber->subscribeAsync(DataEventFilter<T>(), [&](Subscriber<T>& s, const DataEvent<T>&) {
            ++calls;
            std::lock_guard<std::mutex> inner(handleMutex);
            handle->close();
            EXPECT_THROW(s.close(), qara::nimb::IllegalStateException);
            // Registering either kind from a callback is refused: see Subscriber.hpp for why.
            const DataEventFilter<T> notAlive(nullptr, InstanceState::NOT_ALIVE, {});
            EXPECT_THROW(s.subscribe(notAlive, [](Subscriber<T>&, const DataEvent<T>&) {}),
                         qara::nimb::IllegalStateException);
            EXPECT_THROW(s.subscribeAsync(notAlive, [](Subscriber<T>&) {}), qara::nimb::IllegalStateException);
        });
    }
    publish(*publisher, 3);
    waitUntil([&] { return calls.load() > 0; }, 1s);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls.load(), 1) << "a closed handle was called again";
}

}  // namespace
