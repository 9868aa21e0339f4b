#include "Deliveries.hpp"
#include "LogCapture.hpp"
#include "Matching.hpp"
#include "PubSubPair.hpp"
#include "SampleValues.hpp"

#include "ps/DdsSubscription.hpp"

#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::InstanceEvent;
using qara::nimb::ps::InstanceState;
using qara::nimb::ps::Subscriber;
using qara::nimb::ps::Subscription;
namespace edds = eprosima::fastdds::dds;

namespace {

constexpr uint32_t kDomain = 232;

class EdgeSubscriber : public ::testing::Test
{
protected:
    using Pair = PubSubPair<Medium>;
    using T = Pair::T;
    using ST = Pair::ST;
    using W = Pair::W;
    using Impl = qara::nimb::ps::DdsSubscriber<T, ST>;
    using Events = std::vector<std::shared_ptr<DataEvent<T>>>;

    EdgeSubscriber() : pair(uniqueUri(kDomain, "edge")) {}

    static const std::shared_ptr<Impl>& implOf(Subscriber<T>& subscriber)
    {
        return dynamic_cast<qara::nimb::ps::DdsSubscriberDelegator<T, ST>&>(subscriber).subscriber();
    }

    static const std::string& idOf(const Subscription& handle)
    {
        return dynamic_cast<const qara::nimb::ps::DdsSubscription<T, ST>&>(handle).id();
    }

    Pair pair;
};

// Fast DDS gives every sample of one instance in a take the same view state, and never hands a reader of
// a keyless topic an invalid sample; so the batch poll delivers is built here, to see both.
TEST_F(EdgeSubscriber, PollDeliversSubscriptionAfterSubscriptionInIdOrderAndDropsInvalidSamples)
{
    auto subscriber = pair.makeSubscriber();
    std::vector<std::pair<std::string, uint32_t>> calls;
    std::string createdId;
    std::string updatedId;
    auto created = subscriber->subscribe(
        DataEventFilter<T>(nullptr, InstanceState::ANY, {InstanceEvent::CREATED}),
        [&](Subscriber<T>&, const DataEvent<T>& event) { calls.emplace_back(createdId, numberOf(event)); });
    auto updated = subscriber->subscribe(
        DataEventFilter<T>(nullptr, InstanceState::ANY, {InstanceEvent::UPDATED}),
        [&](Subscriber<T>&, const DataEvent<T>& event) { calls.emplace_back(updatedId, numberOf(event)); });
    createdId = idOf(*created);
    updatedId = idOf(*updated);

    struct Entry
    {
        bool valid;
        edds::ViewStateKind view;
    };
    const Entry batch[] = {{true, edds::NOT_NEW_VIEW_STATE},  {true, edds::NEW_VIEW_STATE},
                           {false, edds::NOT_NEW_VIEW_STATE}, {true, edds::NOT_NEW_VIEW_STATE},
                           {false, edds::NEW_VIEW_STATE},     {true, edds::NEW_VIEW_STATE}};
    Impl::Samples samples;
    edds::SampleInfoSeq infos;
    samples.length(std::size(batch));
    infos.length(std::size(batch));
    for (std::size_t i = 0; i < std::size(batch); ++i)
    {
        samples[i] = makeDistinctSample<W>(static_cast<uint32_t>(i));
        infos[i].valid_data = batch[i].valid;
        infos[i].view_state = batch[i].view;
        infos[i].instance_state = edds::ALIVE_INSTANCE_STATE;
        infos[i].source_timestamp = edds::Time_t(static_cast<int32_t>(i + 1), 0);
    }
    implOf(*subscriber)->subscriptionManager()->deliverToSyncSubscriptions(samples, infos);

    const std::vector<std::pair<std::string, uint32_t>> createdCalls{{createdId, 2}, {createdId, 6}};
    const std::vector<std::pair<std::string, uint32_t>> updatedCalls{{updatedId, 1}, {updatedId, 4}};
    auto expected = createdId < updatedId ? createdCalls : updatedCalls;
    const auto& then = createdId < updatedId ? updatedCalls : createdCalls;
    expected.insert(expected.end(), then.begin(), then.end());
    EXPECT_EQ(calls, expected);
}

TEST_F(EdgeSubscriber, HandlesKeepTheSubscriberAliveAfterTheDelegatorIsGone)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    const std::weak_ptr<Impl> impl = implOf(*subscriber);
    Deliveries delivered;
    auto listener =
        subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::ALIVE, {}),
                                   [&](Subscriber<T>&, const DataEvent<T>& event) { delivered.add(numberOf(event)); });
    auto notifier =
        subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {}), [](Subscriber<T>&) {});
    subscriber.reset();
    ASSERT_FALSE(impl.expired());

    publishNumbered(*publisher, 1, 2);
    ASSERT_TRUE(delivered.waitFor(2));
    EXPECT_EQ(delivered.values(), numbersUpTo(2));

    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);
    impl.lock()->close();
    EXPECT_NO_THROW(listener->close());
    EXPECT_NO_THROW(notifier->close());
    EXPECT_NO_THROW(listener->close());
    EXPECT_FALSE(impl.expired()) << "closed handles still hold the subscriber until they are dropped";
    listener.reset();
    notifier.reset();
    EXPECT_TRUE(impl.expired());
    EXPECT_TRUE(errors.lines().empty());
}

// The host lets go of its subscriber and the callback then drops its own handle, the last owner: the
// delivery must return, the subscriber go, and its reader, which Fast DDS cannot delete inside the callback,
// go with the next call into the library.
TEST_F(EdgeSubscriber, ACallbackMayDropTheLastOwnerOfItsSubscriber)
{
    auto publisher = pair.makePublisher();
    for (const bool notifier : {false, true})
    {
        SCOPED_TRACE(notifier ? "notifier" : "listener");
        auto subscriber = pair.makeSubscriber();
        pair.waitUntilMatched(*publisher, *subscriber);
        const std::weak_ptr<Impl> impl = implOf(*subscriber);
        std::unique_ptr<Subscription> handle;
        std::atomic<int> calls{0};
        auto dropHandle = [&] {
            ++calls;
            handle.reset();
        };
        const DataEventFilter<T> any;
        handle = notifier ? subscriber->subscribeAsync(any, [&](Subscriber<T>&) { dropHandle(); })
                          : subscriber->subscribeAsync(any, [&](Subscriber<T>&, const DataEvent<T>&) { dropHandle(); });
        subscriber.reset();

        auto published = std::async(std::launch::async, [&] { publishNumbered(*publisher, 1, 1); });
        ASSERT_EQ(published.wait_for(20s), std::future_status::ready) << "the delivering thread hangs";
        ASSERT_TRUE(waitUntil([&] { return impl.expired(); }, 10s));
        EXPECT_EQ(calls.load(), 1);
        pair.makeSubscriber().reset();
        EXPECT_TRUE(waitUntil([&] { return matchedCount(Pair::writerOf(*publisher)) == 0; }, 10s));
    }
}

// Fast DDS refuses to delete a reader while loans are out; the reader, and the topic this subscriber
// created, must go with the last loan, and quietly.
TEST_F(EdgeSubscriber, ClosingWithLoansOutReleasesReaderAndTopicWithTheLastLoan)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    publishNumbered(*publisher, 1, 2);
    ASSERT_TRUE(pair.waitForUnread(*subscriber, 2));
    const auto participant = implOf(*subscriber)->participant();
    const std::string topic = implOf(*subscriber)->topicName();
    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);

    auto first = subscriber->loanedRead();
    auto second = subscriber->loanedRead();
    ASSERT_TRUE(first && second);
    subscriber->close();
    first.reset();
    EXPECT_NE(participant->lookup_topicdescription(topic), nullptr) << "a loan is still out";
    second.reset();
    EXPECT_EQ(participant->lookup_topicdescription(topic), nullptr);
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front().message;
}

// Keyless topics in Fast DDS 3.1: when the last writer goes, the instance becomes NOT_ALIVE_NO_WRITERS but
// no sample arrives, so nothing is available to tell a notifier about, even one that wants any state.
TEST_F(EdgeSubscriber, NotifierIsNotToldWhenTheLastWriterOfAKeylessTopicGoes)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    std::atomic<int> notified{0};
    auto notifier = subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::ANY, {}),
                                               [&](Subscriber<T>&) { ++notified; });
    publishNumbered(*publisher, 1, 1);
    waitUntil([&] { return notified.load() > 0; }, 10s);
    ASSERT_EQ(notified.load(), 1);

    publisher.reset();
    auto& reader = pair.readerOf(*subscriber);
    ASSERT_TRUE(waitUntil([&] { return matchedCount(reader) == 0; }, 10s)) << "the reader still sees the writer";
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(notified.load(), 1);
    EXPECT_EQ(reader.get_unread_count(), 0u);
    // The state did change: the sample the notifier left in the reader says so.
    Impl::Samples samples;
    edds::SampleInfoSeq infos;
    ASSERT_EQ(reader.read(samples, infos), edds::RETCODE_OK);
    ASSERT_EQ(infos.length(), 1);
    EXPECT_EQ(infos[0].instance_state, edds::NOT_ALIVE_NO_WRITERS_INSTANCE_STATE);
    EXPECT_TRUE(infos[0].valid_data);
    reader.return_loan(samples, infos);

    // A new writer brings the instance back, and the notifier hears of it.
    auto another = pair.makePublisher();
    pair.waitUntilMatched(*another, *subscriber);
    publishNumbered(*another, 2, 2);
    waitUntil([&] { return notified.load() > 1; }, 10s);
    EXPECT_EQ(notified.load(), 2);
}

// A notifier only reads, to leave the samples to whoever it tells: poll and the waiting event reads must
// still find them.
TEST_F(EdgeSubscriber, SamplesANotifierHasSeenAreStillThereForPollAndWaitingReads)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    std::atomic<int> notified{0};
    auto notifier = subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::ALIVE, {}),
                                               [&](Subscriber<T>&) { ++notified; });
    publishNumbered(*publisher, 1, 2);
    waitUntil([&] { return notified.load() >= 2; }, 10s);
    ASSERT_EQ(notified.load(), 2);
    EXPECT_EQ(subscriber->poll(0, 500ms), 2u);

    publishNumbered(*publisher, 3, 4);
    Events events;
    EXPECT_EQ(subscriber->readDataEvents(DataEventFilter<T>(), events, 2, 500ms), 2u);
}

TEST_F(EdgeSubscriber, CountLimitedReadWithoutTimeoutWaitsForExactlyThatMany)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    std::thread later([&] {
        std::this_thread::sleep_for(300ms);
        publishNumbered(*publisher, 1, 5, 20ms);
    });
    Events events(1);
    const auto start = std::chrono::steady_clock::now();
    const std::size_t read = subscriber->readDataEvents(DataEventFilter<T>(), events, 3, 0ms);
    const auto waited = std::chrono::steady_clock::now() - start;
    later.join();

    EXPECT_EQ(read, 3u);
    EXPECT_GE(waited, 300ms) << "returned before the samples were published";
    ASSERT_EQ(events.size(), 4u) << "appends to what is there";
    EXPECT_EQ(events[0], nullptr);
    for (uint32_t i = 1; i <= 3; ++i)
    {
        EXPECT_EQ(numberOf(*events[i]), i);
    }
    ASSERT_TRUE(pair.waitForUnread(*subscriber, 2));
    EXPECT_EQ(subscriber->read(0).size(), 2u) << "the samples beyond the limit stay in the reader";
}

TEST_F(EdgeSubscriber, LoanedReadNeedsASharedOwnerAndTakesNothingWithoutOne)
{
    auto participant =
        static_cast<qara::nimb::DdsNimb&>(*pair.subscribingHost).getDomainParticipant(qara::nimb::Uri(pair.uri), {});
    Impl loose(qara::nimb::Uri(pair.uri), {}, {}, participant);
    auto publisher = pair.makePublisher();
    auto& writer = Pair::writerOf(*publisher);
    waitUntil([&] { return matchedCount(writer) > 0 && matchedCount(*loose.reader()) > 0; }, 10s);
    publishNumbered(*publisher, 1, 1);
    waitUntil([&] { return loose.reader()->get_unread_count() > 0; }, 10s);
    ASSERT_EQ(loose.reader()->get_unread_count(), 1u);

    EXPECT_THROW(loose.loanedRead(), std::bad_weak_ptr);
    EXPECT_EQ(loose.read(0).size(), 1u);
}

TEST_F(EdgeSubscriber, FailedReadInstanceLeavesTheTargetAlone)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    publishNumbered(*publisher, 1, 1);
    ASSERT_TRUE(pair.waitForUnread(*subscriber, 1));
    const W before = makeDistinctSample<W>(7);
    auto out = subscriber->createDataEntity();
    static_cast<ST&>(*out) = before;
    const auto instance = subscriber->createDataEntity();

    EXPECT_THROW(subscriber->readInstance(*instance, *out), std::runtime_error);
    EXPECT_EQ(fieldBytes(Pair::wireOf(*out)), fieldBytes(before));
    EXPECT_EQ(pair.readerOf(*subscriber).get_unread_count(), 1u);
    subscriber->close();
    EXPECT_THROW(subscriber->readInstance(*instance, *out), qara::nimb::IllegalStateException);
    EXPECT_EQ(fieldBytes(Pair::wireOf(*out)), fieldBytes(before));
}

TEST_F(EdgeSubscriber, DeadlineOfOneAndAHalfSecondsGivesTheReaderOneSecondAnd500Nanoseconds)
{
    auto subscriber = pair.makeSubscriber({std::make_shared<qara::nimb::ps::qos::Deadline>(1500)});
    const auto period = pair.readerOf(*subscriber).get_qos().deadline().period;
    EXPECT_EQ(period.seconds, 1);
    EXPECT_EQ(period.nanosec, 500u);
}

class ProfileSubscriber : public EdgeSubscriber
{
protected:
    void SetUp() override
    {
        pair.subscribingHost = std::make_shared<qara::nimb::DdsNimb>(
            qara::nimb::Nimb::Properties{{"dds.xml.profiles.file", TARVEX_PS_TEST_DATA "/SubscriberProfiles.xml"}});
    }
};

TEST_F(ProfileSubscriber, AsksForTheSubscriberThenTheReaderProfile)
{
    LogCapture profiles("nimbProfiles");
    auto subscriber = pair.makeSubscriber({std::make_shared<qara::nimb::ps::qos::Deadline>(1500)},
                                          {{"dds.qos.profile.library", "slib"}});
    std::vector<std::string> asked;
    for (const LogLine& line : profiles.lines())
    {
        EXPECT_EQ(line.level, log4cplus::TRACE_LOG_LEVEL);
        asked.push_back(line.message);
    }
    EXPECT_EQ(asked,
              (std::vector<std::string>{"Profile for topic: slib.topic", "Profile for subscriber: slib.subscriber",
                                        "Profile for datareader: slib.datareader"}));
    const auto qos = pair.readerOf(*subscriber).get_qos();
    EXPECT_EQ(qos.reliability().kind, edds::RELIABLE_RELIABILITY_QOS);
    EXPECT_TRUE(qos.deadline().period.is_infinite()) << "the code QoS is not applied over a profile";
}

TEST_F(ProfileSubscriber, UnknownReaderProfileFailsAndReleasesWhatWasCreated)
{
    auto participant =
        static_cast<qara::nimb::DdsNimb&>(*pair.subscribingHost).getDomainParticipant(qara::nimb::Uri(pair.uri), {});
    const bool hadEntities = participant->has_active_entities();
    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);
    try
    {
        pair.makeSubscriber({}, {{"dds.qos.profile.library", "slib"}, {"dds.qos.profile.datareader", "missing"}});
        FAIL() << "unknown reader profile accepted";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "Failed to create reader with profile:missing");
    }
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, "Failed to create reader with profile:missing"));
    EXPECT_EQ(participant->lookup_topicdescription(qara::nimb::DdsUriHelper::topic(qara::nimb::Uri(pair.uri), true)),
              nullptr);
    EXPECT_EQ(participant->has_active_entities(), hadEntities);
}

TEST_F(EdgeSubscriber, MostRecentValueSubscriberRefusesNegativeTimeoutsAndUseAfterClose)
{
    auto mrv = pair.makeMrvSubscriber();
    try
    {
        mrv->readMostRecent(-1ms);
        FAIL() << "negative timeout accepted";
    }
    catch (const qara::nimb::NimbException& e)
    {
        EXPECT_EQ(std::string(e.what()), "Negative timeout given to Mrv subscriber readMostRecent. Uri:" + pair.uri);
    }
    LogCapture debug("nimbDdsMrvSubscriber", log4cplus::DEBUG_LOG_LEVEL);
    mrv->close();
    EXPECT_THROW(mrv->readMostRecent(0ms), qara::nimb::IllegalStateException);
    EXPECT_FALSE(debug.contains(log4cplus::DEBUG_LOG_LEVEL, "MrvSubscriber already closed"));
    mrv->close();
    EXPECT_TRUE(debug.contains(log4cplus::DEBUG_LOG_LEVEL, "MrvSubscriber already closed"));
}

}  // namespace
