// Publishers and subscribers of the plug-in against each other and against plain Fast DDS peers: what they
// deliver, to which filters, with which QoS, and what they refuse in words.
#include "Deliveries.hpp"
#include "LogCapture.hpp"
#include "PlainDds.hpp"
#include "PubSubPair.hpp"
#include "SampleValues.hpp"

#include "entry/Factories.hpp"
#include "generated/dds/DecodeFailures.hpp"
#include "icd/dds/FastDdsCompat.hpp"
#include "ps/DdsSubscription.hpp"
#include "ps/internal/DdsBasePubSub.hpp"

#include <fastdds/LibrarySettings.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <numeric>
#include <tuple>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::InstanceEvent;
using qara::nimb::ps::InstanceState;
using qara::nimb::ps::Subscriber;
namespace qos = qara::nimb::ps::qos;
namespace edds = eprosima::fastdds::dds;
namespace fdds = qara::nimb::icd::dds::fastdds;

namespace {

constexpr uint32_t kDomain = 225;
using Bytes = std::vector<unsigned char>;

template <class TopicType>
class PubSub : public ::testing::Test
{
protected:
    using Pair = PubSubPair<TopicType>;
    using T = typename Pair::T;
    using W = typename Pair::W;

    std::vector<Bytes> publish(qara::nimb::ps::Publisher<T>& publisher, uint32_t count, uint32_t seed)
    {
        std::vector<Bytes> sent;
        for (uint32_t i = 0; i < count; ++i)
        {
            const W sample = makeDistinctSample<W>(seed + i);
            publisher.publish(*pair.entity(publisher, sample), 0ms);
            sent.push_back(fieldBytes(sample));
        }
        return sent;
    }

    static Bytes bytesOf(const T& entity) { return fieldBytes(Pair::wireOf(entity)); }

    Pair pair{uniqueUri(kDomain, "pubsub")};
};

// Samples between participants of this process travel through the transports while it lives, as between
// processes; it must outlive every participant made meanwhile.
struct ThroughTransports
{
    ThroughTransports() { deliver(eprosima::fastdds::INTRAPROCESS_OFF); }
    ~ThroughTransports() { deliver(eprosima::fastdds::INTRAPROCESS_FULL); }
    static void deliver(eprosima::fastdds::IntraprocessDeliveryType delivery)
    {
        eprosima::fastdds::LibrarySettings settings;
        settings.intraprocess_delivery = delivery;
        EXPECT_EQ(edds::DomainParticipantFactory::get_instance()->set_library_settings(settings), fdds::kOk);
    }
};

// Another implementation of the interface than this library's.
class Foreign : public Medium::Interface
{
public:
    std::unique_ptr<Medium::Interface> clone() const override { return nullptr; }
    bool keyEquals(const Medium::Interface&) const override { return false; }
    std::unique_ptr<Medium::Interface> cloneKey() const override { return nullptr; }
    bool hasKey() const override { return false; }
    int32_t getImplementations_fb_main_cell_sttlm_esaactuatorstate() const override { return 0; }
    void setImplementations_fb_main_cell_sttlm_esaactuatorstate(int32_t) override {}
    int32_t getImplementations_fb_main_cell_sttlm_esapowerstate() const override { return 0; }
    void setImplementations_fb_main_cell_sttlm_esapowerstate(int32_t) override {}
    int32_t getImplementations_fb_main_cell_sttlm_econtrolstate() const override { return 0; }
    void setImplementations_fb_main_cell_sttlm_econtrolstate(int32_t) override {}
    bool getImplementations_fb_main_cell_sttlm_stdegradedmode_bsa_degradedmodeenable() const override { return false; }
    void setImplementations_fb_main_cell_sttlm_stdegradedmode_bsa_degradedmodeenable(bool) override {}
    int32_t getImplementations_fb_main_cell_sttlm_stsimulationmode_esasimulationmode() const override { return 0; }
    void setImplementations_fb_main_cell_sttlm_stsimulationmode_esasimulationmode(int32_t) override {}
};

TYPED_TEST_SUITE(PubSub, AllTopics, TopicNames);
using MediumPubSub = PubSub<Medium>;

// Limits in milliseconds: the later entry of a kind wins, the check is at its exact boundary, and the
// deadline's nanoseconds carry into its seconds.
TEST(QosLimits, EntriesAndBoundaries)
{
    using Base = qara::nimb::ps::internal::DdsBasePubSub<Medium::Interface, Medium::Entity>;
    const std::pair<Base::QoSList, std::pair<int32_t, int32_t>> lists[] = {
        {{std::make_shared<qos::Deadline>(100), std::make_shared<qos::Deadline>(200)}, {200, 0}},
        {{std::make_shared<qos::Latency>(5), std::make_shared<qos::Deadline>(3), std::make_shared<qos::Latency>(7)},
         {3, 7}},
        {{}, {0, 0}},
        {{std::make_shared<qos::QoS>(), nullptr}, {0, 0}},
    };
    for (const auto& [list, expected] : lists)
    {
        EXPECT_EQ(Base::getDeadlineAndLatencyDuration(list), expected);
    }
    // Whole seconds of a source time by floor.
    EXPECT_EQ(qara::nimb::ps::sourceTimeOf(-0.25).seconds, -1);
    EXPECT_EQ(qara::nimb::ps::sourceTimeOf(-0.25).nanosec, 750000000u);
    struct Row
    {
        int32_t deadline, latency;
        int64_t sourceSeconds, sourceNanos;
        std::chrono::nanoseconds now;
        bool exceeded;
    };
    const Row rows[] = {
        {1200, 0, 10, 900000000, 12s + 99999999ns, false},
        {1200, 0, 10, 900000000, 12s + 100000000ns, true},
        {1200, 0, 10, 900000000, 13s, true},
        {0, 500, 10, 0, 10s + 500ms, false},
        {0, 500, 10, 0, 10s + 501ms, true},
        {0, 0, 0, 0, 1000000s, false},
    };
    for (const Row& r : rows)
    {
        EXPECT_EQ(qara::nimb::ps::internal::qosExceeded(r.deadline, r.latency, r.sourceSeconds, r.sourceNanos, r.now),
                  r.exceeded)
            << r.deadline << " " << r.latency << " " << r.now.count();
    }
}

// The QoS built in code for writers, readers and most-recent-value readers, number by number, and the wait
// for acknowledgements a property sets.
TEST_F(MediumPubSub, CodeQosOfWritersAndReaders)
{
    const std::pair<qara::nimb::Nimb::Properties, long> waits[] = {
        {{}, 5000}, {{{"dds.wait_for_ack.timeout_ms", "250"}}, 250}, {{{"dds.wait_for_ack.timeout_ms", "5s"}}, 5000}};
    for (const auto& [properties, expected] : waits)
    {
        using Delegator = qara::nimb::ps::DdsPublisherDelegator<Medium::Interface, Medium::Entity>;
        EXPECT_EQ(dynamic_cast<Delegator&>(*pair.makePublisher({}, properties)).publisher()->waitForAckTimeout(),
                  expected);
    }
    const Pair::QoSList deadline{std::make_shared<qos::Deadline>(1500)};
    const auto writer = Pair::writerOf(*pair.makePublisher(deadline)).get_qos();
    const auto reader = Pair::readerOf(*pair.makeSubscriber(deadline)).get_qos();
    const auto mrv = Pair::readerOf(*pair.makeMrvSubscriber()).get_qos();
    const edds::DataReaderQos plain;
    namespace rtps = eprosima::fastdds::rtps;
    const auto periodOf = [](const edds::DeadlineQosPolicy& d) {
        return d.period.seconds * 1000000000LL + d.period.nanosec;
    };
    const std::tuple<const char*, int64_t, int64_t> numbers[] = {
        {"writer reliability", writer.reliability().kind, edds::RELIABLE_RELIABILITY_QOS},
        {"writer history", writer.history().kind, edds::KEEP_ALL_HISTORY_QOS},
        {"writer depth", writer.history().depth, 1000},
        {"writer samples", writer.resource_limits().max_samples, 40000},
        {"writer instances", writer.resource_limits().max_instances, 100},
        {"writer memory", writer.endpoint().history_memory_policy, rtps::DYNAMIC_RESERVE_MEMORY_MODE},
        {"writer deadline ns", periodOf(writer.deadline()), 1000000500},
        {"reader history", reader.history().kind, edds::KEEP_ALL_HISTORY_QOS},
        {"reader depth", reader.history().depth, 1000},
        {"reader samples", reader.resource_limits().max_samples, 40000},
        {"reader instances", reader.resource_limits().max_instances, 100},
        {"reader memory", reader.endpoint().history_memory_policy, rtps::DYNAMIC_REUSABLE_MEMORY_MODE},
        {"reader deadline ns", periodOf(reader.deadline()), 1000000500},
        {"mrv history", mrv.history().kind, edds::KEEP_LAST_HISTORY_QOS},
        {"mrv depth", mrv.history().depth, 1},
        {"mrv samples", mrv.resource_limits().max_samples, plain.resource_limits().max_samples},
        {"mrv memory", mrv.endpoint().history_memory_policy, rtps::DYNAMIC_REUSABLE_MEMORY_MODE},
        {"mrv deadline ns", periodOf(mrv.deadline()), periodOf(plain.deadline())}};
    for (const auto& [what, actual, expected] : numbers)
    {
        EXPECT_EQ(actual, expected) << what;
    }
}

// A subscriber's latency limit and its deadline each drop a sample by its source time, alone or together;
// a subscriber without limits keeps every sample.
TEST_F(MediumPubSub, LatencyAndDeadlineLimitsDropLateSamplesEachOnItsOwn)
{
    const auto wallSeconds = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    const Pair::QoSList minute{std::make_shared<qos::Deadline>(60000)};
    auto publisher = pair.makePublisher(minute);
    std::unique_ptr<Subscriber<T>> subscribers[] = {pair.makeSubscriber({std::make_shared<qos::Latency>(60000)}),
                                                    pair.makeSubscriber(minute), pair.makeSubscriber()};
    for (auto& subscriber : subscribers)
    {
        Pair::waitUntilMatched(*publisher, *subscriber, 3);
    }
    const auto entity = publisher->createDataEntity();
    publisher->publish(wallSeconds() - 3600, *entity, 0ms);
    publisher->publish(wallSeconds(), *entity, 0ms);
    std::vector<std::size_t> kept;
    for (auto& subscriber : subscribers)
    {
        EXPECT_TRUE(Pair::waitForUnread(*subscriber, 2));
        kept.push_back(subscriber->read(0).size());
    }
    EXPECT_EQ(kept, std::vector<std::size_t>({1, 1, 2})) << "latency alone, deadline alone, no limit";
}

// The topic is held by both publishers of one URI: the last one to close deletes it. Closing waits for a
// reliable reader's acknowledgements, so nothing published just before is lost; the samples travel through
// the transports, as only there the writer can be deleted with samples on their way (a reader that stops
// answering is the fault tests' case).
TEST_F(MediumPubSub, SharedTopicGoesWithItsLastHolderAndClosingDrainsToReliableReaders)
{
    const ThroughTransports transports;
    auto first = pair.makePublisher();
    auto second = pair.makePublisher();
    auto participant =
        static_cast<qara::nimb::DdsNimb&>(*pair.publishingHost).getDomainParticipant(qara::nimb::Uri(pair.uri), {});
    first.reset();
    EXPECT_NE(participant->lookup_topicdescription(pair.topicName()), nullptr);
    // Made after the first writer went: a match that either end counts is then one with the second writer,
    // and each end has to know the other before anything is sent or kept.
    PlainReader<W, Medium::PubSub> reader(kDomain, pair.topicName());
    ASSERT_TRUE(waitUntil(
        [&] { return matchedCount(reader.reader()) == 1 && matchedCount(Pair::writerOf(*second)) == 1; }, 10s));
    for (uint32_t i = 0; i < 300; ++i)
    {
        second->publish(*pair.entity(*second, makeDistinctSample<W>(i, false)), 0ms);
    }
    auto entity = second->createDataEntity();
    second->close();
    second->close();
    const auto received = reader.take(300);
    ASSERT_EQ(received.size(), 300u);
    EXPECT_EQ(fieldBytes(received.back().sample), fieldBytes(makeDistinctSample<W>(299, false)));
    EXPECT_EQ(participant->lookup_topicdescription(pair.topicName()), nullptr);
    EXPECT_EQ(thrown([&] { second->publish(*entity, 0ms); }), "IllegalState Entity closed Uri: " + pair.uri);
    EXPECT_EQ(thrown([&] { second->createDataEntity(); }), "IllegalState Entity closed Uri: " + pair.uri);
}

// Every way of receiving, one after the other on one subscriber, with a most-recent-value subscriber beside.
// Samples arrive one by one, delivered inside publish.
TYPED_TEST(PubSub, ListenersReadsLoansEventsPollAndMostRecentValue)
{
    using Data = typename TestFixture::T;
    using Filter = DataEventFilter<Data>;
    auto publisher = this->pair.makePublisher();
    auto subscriber = this->pair.makeSubscriber();
    auto mrv = this->pair.makeMrvSubscriber();
    this->pair.waitUntilMatched(*publisher, *subscriber, 2);
    this->pair.waitUntilMatched(*publisher, *mrv, 2);
    EXPECT_TRUE(mrv->readMostRecent(0ms).empty());

    // The notifier of the instance's first sample is called before the listener of the updates.
    Collected<Bytes> calls;
    auto notifier = subscriber->subscribeAsync(Filter(nullptr, InstanceState::ALIVE, {InstanceEvent::CREATED}),
                                               [&](Subscriber<Data>&) { calls.add({}); });
    auto listener = subscriber->subscribeAsync(
        Filter(nullptr, InstanceState::ANY, {InstanceEvent::UPDATED}),
        [&](Subscriber<Data>&, const DataEvent<Data>& event) { calls.add(this->bytesOf(*event.getData())); });
    auto sent = this->publish(*publisher, 2, 1);
    ASSERT_TRUE(calls.waitFor(3));
    EXPECT_EQ(calls.values(), (std::vector<Bytes>{{}, sent[0], sent[1]}));
    listener->close();
    notifier->close();

    // Alone, a notifier is called once per arrival and leaves the samples in the reader. A waiting read
    // wakes for a sample the notifier has read; plain reads take n, then all.
    std::atomic<int> notified{0};
    notifier = subscriber->subscribeAsync({}, [&](Subscriber<Data>&) { ++notified; });
    sent = this->publish(*publisher, 3, 10);
    EXPECT_EQ(notified.load(), 3);
    notifier->close();
    std::vector<std::shared_ptr<DataEvent<Data>>> events;
    EXPECT_EQ(subscriber->readDataEvents(Filter(nullptr, InstanceState::ALIVE, {}), events, 1, 5000ms), 1u);
    std::vector<Bytes> copies{this->bytesOf(*events.at(0)->getData())};
    EXPECT_TRUE(events[0]->hasValidData());
    EXPECT_EQ(events[0]->getInstanceState(), InstanceState::ALIVE);
    EXPECT_EQ(events[0]->getInstanceEvent(), InstanceEvent::UPDATED);
    for (const std::size_t n : {1, 0})
    {
        for (const auto& copy : subscriber->read(n))
        {
            copies.push_back(this->bytesOf(*copy));
        }
    }
    EXPECT_EQ(copies, sent);

    sent = this->publish(*publisher, 1, 20);
    auto loaned = subscriber->loanedRead();
    ASSERT_NE(loaned, nullptr);
    EXPECT_EQ(this->bytesOf(loaned->getData()), sent[0]);
    loaned->close();
    loaned->close();
    EXPECT_EQ(subscriber->loanedRead(), nullptr);

    // Until a count, without a time-out; the events report the filter's state.
    sent = this->publish(*publisher, 2, 30);
    events.clear();
    EXPECT_EQ(subscriber->readDataEvents({}, events, 2, 0ms), 2u);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1]->getInstanceState(), InstanceState::ANY);
    EXPECT_EQ((std::vector<Bytes>{this->bytesOf(*events[0]->getData()), this->bytesOf(*events[1]->getData())}), sent);
    const auto latest = mrv->readMostRecent(10ms);
    ASSERT_EQ(latest.size(), 1u);
    EXPECT_EQ(this->bytesOf(*latest[0]), sent[1]);

    // One sample a batch: while the first is delivered, the second is still unread in the reader.
    std::vector<std::pair<Bytes, uint64_t>> polled;
    auto sync = subscriber->subscribe(
        Filter(nullptr, InstanceState::ALIVE, {}), [&](Subscriber<Data>&, const DataEvent<Data>& event) {
            EXPECT_EQ(event.getInstanceState(), InstanceState::ALIVE);
            polled.emplace_back(this->bytesOf(*event.getData()),
                                TestFixture::Pair::readerOf(*subscriber).get_unread_count());
        });
    sent = this->publish(*publisher, 2, 40);
    EXPECT_EQ(subscriber->poll(1, 200ms), 2u);
    EXPECT_EQ(polled, (std::vector<std::pair<Bytes, uint64_t>>{{sent[0], 1}, {sent[1], 0}}));
}

// The read test of the data-event reads against the delivery test of poll and the listeners and the
// notifiers' test, over samples as Fast DDS could describe them: fresh, invalid, too old, not decoded.
TEST(SampleAcceptance, ReadTestDeliveryTestAndNotifierTest)
{
    using Acceptance = qara::nimb::ps::internal::SampleAcceptance<Medium::Interface, Medium::Entity>;
    using F = DataEventFilter<Medium::Interface>;
    const std::shared_ptr<Medium::Interface> named = std::make_shared<Medium::Entity>();
    const auto alive = edds::ALIVE_INSTANCE_STATE, disposed = edds::NOT_ALIVE_DISPOSED_INSTANCE_STATE;
    const auto isNew = edds::NEW_VIEW_STATE, notNew = edds::NOT_NEW_VIEW_STATE;
    const std::tuple<F, char, edds::InstanceStateKind, edds::ViewStateKind, std::string> rows[] = {
        {F(), 'f', alive, isNew, "read delivered notified"},
        {F(nullptr, InstanceState::ALIVE, {}), 'f', disposed, notNew, "read"},
        {F(nullptr, InstanceState::ALIVE, {}), 'i', alive, isNew, "notified"},
        {F(), 'o', alive, isNew, "notified"},
        {F(), 'u', alive, isNew, "notified"},
        {F(nullptr, InstanceState::NOT_ALIVE, {}), 'f', edds::NOT_ALIVE_NO_WRITERS_INSTANCE_STATE, notNew, "read"},
        {F(nullptr, InstanceState::NOT_ALIVE, {}), 'f', disposed, notNew, "read delivered notified"},
        {F(nullptr, InstanceState::NOT_ALIVE, {InstanceEvent::CREATED}), 'f', alive, notNew, "read"},
        {F(nullptr, InstanceState::ANY, {InstanceEvent::DELETED}), 'f', disposed, isNew, "read"},
        {F(named, InstanceState::ALIVE, {InstanceEvent::UPDATED}), 'f', alive, isNew, "read"},
        {F(named, InstanceState::NOT_ALIVE, {InstanceEvent::UPDATED}), 'f', alive, notNew, "read"},
        {F(named, InstanceState::NOT_ALIVE, {InstanceEvent::UPDATED}), 'f', alive, isNew, ""}};
    const Acceptance acceptance(0, 1000);
    const auto now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
    for (const auto& [filter, kind, state, view, passes] : rows)
    {
        const Medium::Wire sample;
        edds::SampleInfo info;
        info.valid_data = kind != 'i';
        info.instance_state = state;
        info.view_state = view;
        info.source_timestamp = edds::Time_t(static_cast<int32_t>(now.count() - (kind == 'o' ? 60 : 0)), 0);
        if (kind == 'u')
        {
            generated::dds_::DecodeFailures::record(&sample);
        }
        const std::string outcome = std::string(acceptance.passesReadTest(filter, info, sample) ? "read " : "") +
                                    (acceptance.passesDeliveryTest(filter, info, sample) ? "delivered " : "") +
                                    (Acceptance::matches(filter, info, sample) ? "notified " : "");
        EXPECT_EQ(outcome, passes.empty() ? "" : passes + " ") << &filter - &std::get<0>(rows[0]);
        generated::dds_::DecodeFailures::forget(&sample);
    }
}

// A batch as Fast DDS could hand it over: the synchronous subscriptions are served one after the other in id
// order, and one that closes itself in its callback is not called again. The subscriber comes from this
// binary's own copy of the library, with which the delivery is faked: a thread's callback state is per copy.
TEST_F(MediumPubSub, SyncDeliveryServesSubscriptionsInIdOrder)
{
    std::unique_ptr<Subscriber<T>> subscriber(qara::nimb::entry::createSubscriber<T, Pair::ST>(
        pair.subscribingHost, qara::nimb::Uri(pair.uri), {}, {}));
    std::vector<std::string> calls;
    std::unique_ptr<qara::nimb::ps::Subscription> handles[2];
    std::string ids[2];
    for (const int i : {0, 1})
    {
        handles[i] = subscriber->subscribe(
            DataEventFilter<T>(nullptr, InstanceState::ANY, {i == 0 ? InstanceEvent::CREATED : InstanceEvent::UPDATED}),
            [&, i](Subscriber<T>&, const DataEvent<T>& event) {
                calls.push_back(ids[i] + std::to_string(numberOf(event)));
                i == 1 ? handles[1]->close() : void();
            });
        ids[i] = dynamic_cast<qara::nimb::ps::DdsSubscription<T, Pair::ST>&>(*handles[i]).id();
    }
    qara::nimb::ps::DdsSubscriber<T, Pair::ST>::Samples samples;
    edds::SampleInfoSeq infos;
    for (uint32_t i = 0; i < 4; ++i)
    {
        samples.length(i + 1), infos.length(i + 1), infos[i].valid_data = true;
        infos[i].view_state = i % 2 == 0 ? edds::NEW_VIEW_STATE : edds::NOT_NEW_VIEW_STATE;
        infos[i].source_timestamp = edds::Time_t(static_cast<int32_t>(i + 1), 0);
    }
    Pair::implOf(*subscriber)->subscriptionManager()->deliverToSyncSubscriptions(samples, infos);
    const std::vector<std::string> expected = ids[0] < ids[1]
                                                  ? std::vector<std::string>{ids[0] + "1", ids[0] + "3", ids[1] + "2"}
                                                  : std::vector<std::string>{ids[1] + "2", ids[0] + "1", ids[0] + "3"};
    EXPECT_EQ(calls, expected);
}

// Without a subscription nothing is taken, so samples stay; a listener registered later gets them all with the
// next arrival, also where they are more than one take hands out (Fast DDS's max_samples_per_read, 32 here).
TEST_F(MediumPubSub, AListenerTakesABacklogLargerThanOneTakeAtTheNextArrival)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    const auto entity = publisher->createDataEntity();
    constexpr uint32_t kBacklog = 100;
    for (uint32_t number = 1; number <= kBacklog; ++number)
    {
        publisher->publish(static_cast<double>(number), *entity, 0ms);
    }
    ASSERT_TRUE(pair.waitForUnread(*subscriber, kBacklog));
    Deliveries delivered;
    const auto listener = subscriber->subscribeAsync(
        DataEventFilter<T>(), [&](Subscriber<T>&, const DataEvent<T>& event) { delivered.add(numberOf(event)); });
    publisher->publish(static_cast<double>(kBacklog + 1), *entity, 0ms);
    ASSERT_TRUE(delivered.waitFor(kBacklog + 1, 10s)) << delivered.values().size() << " delivered";
    std::vector<uint32_t> expected(kBacklog + 1);
    std::iota(expected.begin(), expected.end(), 1u);
    EXPECT_EQ(delivered.values(), expected);
}

// What every operation refuses, in the words it refuses it with.
TEST_F(MediumPubSub, RefusalsInWords)
{
    const std::string uri = pair.uri;
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    auto mrv = pair.makeMrvSubscriber();
    auto closed = pair.makeSubscriber();
    auto closedMrv = pair.makeMrvSubscriber();
    closed->close();
    closedMrv->close();
    const auto entity = subscriber->createDataEntity();
    const auto out = subscriber->createDataEntity();
    std::vector<std::shared_ptr<DataEvent<T>>> events;
    // A publisher or subscriber made from the test's profile files; `library` and the overrides choose.
    const auto profiled = [&](bool publishing, const char* library, const char* kind) {
        Pair other(uniqueUri(kDomain, publishing ? "profiledp" : "profileds"));
        (publishing ? other.publishingHost : other.subscribingHost) =
            std::make_shared<qara::nimb::DdsNimb>(qara::nimb::Nimb::Properties{
                {"dds.xml.profiles.file", std::string(TARVEX_PS_TEST_DATA) +
                                              (publishing ? "/PublisherProfiles.xml" : "/SubscriberProfiles.xml")}});
        const qara::nimb::Nimb::Properties properties{{"dds.qos.profile.library", library},
                                                      {std::string("dds.qos.profile.") + kind, "nosuch"}};
        publishing ? void(other.makePublisher({}, properties)) : void(other.makeSubscriber({}, properties));
    };
    const std::string lookup = "runtime Lookup instance key failed code:-1";
    const std::string foreign = "Data type for instance or value is incorrect. Not a DDS supported type";
    LogCapture errors("nimbDdsPublisher", log4cplus::ERROR_LOG_LEVEL);
    const std::string profiledUri = " Uri: " + uniqueUri(kDomain, "profiledp");
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[&] { publisher->publish(*entity, -1ms); }, "Nimb Negative timeout given to publish Uri:" + uri},
        {[&] { publisher->publish(Foreign(), 0ms); }, "IllegalState " + foreign},
        {[&] { subscriber->readDataEvents({}, events, 0, -1ms); },
         "Nimb Negative timeout given to readDataEvents. Uri:" + uri},
        {[&] { subscriber->poll(0, -1ms); }, "Nimb Negative timeout given to poll. Uri:" + uri},
        {[&] { mrv->readMostRecent(-1ms); },
         "Nimb Negative timeout given to Mrv subscriber readMostRecent. Uri:" + uri},
        {[&] { subscriber->readInstance(*entity); }, lookup},
        {[&] { subscriber->readInstance(*entity, *out); }, lookup},
        {[&] { subscriber->loanedReadInstance(*entity); }, lookup},
        {[&] { publisher->createInstancePublisher(*entity); }, "IllegalState Key instance not created"},
        {[&] { closed->read(0); }, "IllegalState Entity closed Uri: " + uri},
        {[&] { closed->poll(0, 0ms); }, "IllegalState Entity closed Uri: " + uri},
        {[&] { closedMrv->readMostRecent(0ms); }, "IllegalState Entity closed Uri: " + uri},
        {[&] {
             qara::nimb::ps::internal::DdsBasePubSub<T, Pair::ST>(qara::nimb::Uri(uri), {}, {},
                                                                  Pair::implOf(*subscriber)->participant())
                 .checkState();
         },
         "IllegalState Entity is not INITIALIZED. Uri: " + uri},
        {[&] { PubSubPair<Medium>("dds.rpc://225/topic").makeSubscriber(); },
         "Nimb Uri dds.rpc://225/topic is not DDS PubSub profile"},
        {[&] { profiled(true, "nosuch", "publisher"); },
         "runtime Failed to create topic with profile:nosuch.topic" + profiledUri},
        {[&] { profiled(true, "tlib", "publisher"); },
         "runtime Failed to create publisher with profile:nosuch" + profiledUri},
        {[&] { profiled(true, "tlib", "datawriter"); }, "runtime Failed to create writer with profile:nosuch"},
        {[&] { profiled(false, "slib", "subscriber"); }, "runtime Failed to create subscriber with profile:nosuch"},
        {[&] { profiled(false, "slib", "datareader"); }, "runtime Failed to create reader with profile:nosuch"}};
    for (const auto& [call, expected] : rows)
    {
        EXPECT_EQ(thrown(call), expected);
    }
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, foreign));
    EXPECT_EQ(Pair::wireOf(*out).implementations_fb_main_cell_sttlm_esaactuatorstate(), 0) << "out was changed";
    LogCapture debug("nimbDdsMrvSubscriber", log4cplus::DEBUG_LOG_LEVEL);
    closedMrv->close();
    EXPECT_TRUE(debug.contains(log4cplus::DEBUG_LOG_LEVEL, "MrvSubscriber already closed"));
}

// Fast DDS refuses to delete a reader while loans are out: the reader and its topic go with the last loan,
// and handles outlive the subscriber, all quietly.
TEST_F(MediumPubSub, LoansAndHandlesOutliveTheClosedSubscriber)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber();
    pair.waitUntilMatched(*publisher, *subscriber);
    const auto sent = publish(*publisher, 2, 1);
    ASSERT_TRUE(pair.waitForUnread(*subscriber, 2));
    const auto participant = Pair::implOf(*subscriber)->participant();
    const std::string topic = Pair::implOf(*subscriber)->topicName();
    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);
    auto first = subscriber->loanedRead();
    auto second = subscriber->loanedRead();
    ASSERT_TRUE(first && second);
    auto handle = subscriber->subscribe(DataEventFilter<T>(), [](Subscriber<T>&, const DataEvent<T>&) {});
    subscriber->close();
    subscriber->close();
    subscriber.reset();
    EXPECT_EQ(bytesOf(second->getData()), sent[1]) << "the loan lost its sample";
    first.reset();
    EXPECT_NE(participant->lookup_topicdescription(topic), nullptr) << "a loan is still out";
    second.reset();
    EXPECT_EQ(participant->lookup_topicdescription(topic), nullptr);
    handle->close();
    handle.reset();
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front().second;
}

// Our type support cutting each payload it writes short, as a broken or hostile peer would send it.
template <class Support>
struct Truncating : Support
{
    bool serialize(const void* const data, eprosima::fastdds::rtps::SerializedPayload_t& payload,
                   edds::DataRepresentationId_t representation) override
    {
        const bool done = Support::serialize(data, payload, representation);
        payload.length = std::min(payload.length, length);
        return done;
    }

    uint32_t length = 0;
};

using HostileTopics = ::testing::Types<Medium, Fast>;
template <class TopicType>
using HostileInput = PubSub<TopicType>;
TYPED_TEST_SUITE(HostileInput, HostileTopics, TopicNames);

// Truncated payloads: reads and listeners never hand them out, the notes of the failed decodes go with the
// readers, and a whole sample still arrives.
TYPED_TEST(HostileInput, CorruptPayloadsNeverArriveAsData)
{
    using Data = typename TestFixture::T;
    using Wire = typename TestFixture::W;
    const std::size_t notesBefore = generated::dds_::DecodeFailures::size();
    auto reading = this->pair.makeSubscriber();
    auto listening = this->pair.makeSubscriber();
    auto mrv = this->pair.makeMrvSubscriber();
    Collected<Bytes> heard;
    Collected<Bytes> read;
    const auto readAll = [&] {
        for (const auto& sample : reading->read(0))
        {
            read.add(this->bytesOf(*sample));
        }
    };
    // A read inside a callback sees the notes of the batch it takes as any other read does.
    auto handle = listening->subscribeAsync({}, [&](Subscriber<Data>&, const DataEvent<Data>& e) {
        heard.add(this->bytesOf(*e.getData()));
        readAll();
    });
    using Support = typename TestFixture::Pair::ST::PubSubType;
    auto* participant =
        edds::DomainParticipantFactory::get_instance()->create_participant(kDomain, edds::PARTICIPANT_QOS_DEFAULT);
    auto* truncating = new Truncating<Support>();
    edds::TypeSupport type(truncating);
    type.register_type(participant);
    auto* topic = participant->create_topic(this->pair.topicName(), type.get_type_name(), edds::TOPIC_QOS_DEFAULT);
    edds::DataWriterQos qos = edds::DATAWRITER_QOS_DEFAULT;
    qos.representation().m_value = {edds::XCDR2_DATA_REPRESENTATION};
    qos.data_sharing().off();
    auto* writer = participant->create_publisher(edds::PUBLISHER_QOS_DEFAULT)->create_datawriter(topic, qos);
    ASSERT_TRUE(waitUntil([&] { return matchedCount(*writer) == 3; }, 10s));
    for (auto* reader : {&TestFixture::Pair::readerOf(*reading), &TestFixture::Pair::readerOf(*listening),
                         &TestFixture::Pair::readerOf(*mrv)})
    {
        ASSERT_TRUE(waitUntil([&] { return matchedCount(*reader) == 1; }, 10s));
    }

    // Cut at several lengths, the encapsulation header alone among them, then whole from the same writer, so
    // that it arrives last.
    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);
    const Wire whole = makeDistinctSample<Wire>(9);
    const uint32_t size = Support().calculate_serialized_size(&whole, edds::XCDR2_DATA_REPRESENTATION);
    for (const uint32_t length : {0u, 2u, 4u, 7u, size / 2, size - 1, size})
    {
        truncating->length = length;
        ASSERT_EQ(writer->write(&whole), fdds::kOk);
    }
    const Bytes valid = fieldBytes(whole);
    waitUntil([&] { return readAll(), read.waitFor(1, 0ms) && heard.waitFor(1, 0ms); }, 5s);
    EXPECT_EQ(read.values(), std::vector<Bytes>{valid});
    EXPECT_EQ(heard.values(), std::vector<Bytes>{valid});
    // The most recent value, then one cut short after it: left out, not handed out as data.
    ASSERT_EQ(mrv->readMostRecent(0ms).size(), 1u);
    EXPECT_EQ(this->bytesOf(*mrv->readMostRecent(0ms)[0]), valid);
    truncating->length = size / 2;
    ASSERT_EQ(writer->write(&whole), fdds::kOk);
    ASSERT_TRUE(TestFixture::Pair::waitForUnread(*mrv, 1));
    EXPECT_TRUE(mrv->readMostRecent(0ms).empty());
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front().second;
    participant->delete_contained_entities();
    edds::DomainParticipantFactory::get_instance()->delete_participant(participant);
    handle.reset();
    reading.reset();
    listening.reset();
    mrv.reset();
    EXPECT_EQ(generated::dds_::DecodeFailures::size(), notesBefore);
}

// A buffer the type support never deletes (a plain reader's own) keeps its note only until 1024 newer ones.
TEST(DecodeFailureNotes, AreBounded)
{
    using generated::dds_::DecodeFailures;
    static const char buffers[1100] = {};
    std::for_each(std::begin(buffers), std::end(buffers), [](const char& buffer) { DecodeFailures::record(&buffer); });
    EXPECT_EQ(DecodeFailures::size(), 1024u);
    EXPECT_FALSE(DecodeFailures::contains(&buffers[75]));
    EXPECT_TRUE(DecodeFailures::contains(&buffers[76]));
    std::for_each(std::begin(buffers), std::end(buffers), [](const char& buffer) { DecodeFailures::forget(&buffer); });
    EXPECT_EQ(DecodeFailures::size(), 0u);
}

}  // namespace
