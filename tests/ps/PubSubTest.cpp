// Publishers and subscribers of the plug-in against each other and against plain Fast DDS peers, and
// subscribers racing their own deliveries.
#include "Deliveries.hpp"
#include "LogCapture.hpp"
#include "PlainDds.hpp"
#include "PubSubPair.hpp"
#include "SampleValues.hpp"

#include "generated/dds/DecodeFailures.hpp"
#include "ps/DdsSubscription.hpp"
#include "ps/internal/DdsBasePubSub.hpp"

#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <tuple>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::InstanceEvent;
using qara::nimb::ps::InstanceState;
using qara::nimb::ps::Subscriber;
using qara::nimb::ps::Subscription;
namespace qos = qara::nimb::ps::qos;
namespace edds = eprosima::fastdds::dds;

namespace {

constexpr uint32_t kDomain = 225;

template <class TopicType>
class PubSub : public ::testing::Test
{
protected:
    using Pair = PubSubPair<TopicType>;
    using T = typename Pair::T;
    using W = typename Pair::W;
    using Impl = qara::nimb::ps::DdsSubscriber<T, typename Pair::ST>;
    using Bytes = std::vector<unsigned char>;
    using Reader = PlainReader<W, typename TopicType::PubSub>;

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

    static const std::shared_ptr<Impl>& implOf(Subscriber<T>& subscriber)
    {
        return dynamic_cast<qara::nimb::ps::DdsSubscriberDelegator<T, typename Pair::ST>&>(subscriber).subscriber();
    }

    std::string topic() const { return qara::nimb::DdsUriHelper::topic(qara::nimb::Uri(pair.uri), true); }

    void waitUntilMatched(qara::nimb::ps::Publisher<T>& publisher, Reader& reader)
    {
        ASSERT_TRUE(waitUntil([&] { return matchedCount(reader.reader()) > 0; }, 10s));
        ASSERT_TRUE(waitUntil([&] { return matchedCount(Pair::writerOf(publisher)) > 0; }, 10s));
    }

    Pair pair{uniqueUri(kDomain, "pubsub")};
};

TYPED_TEST_SUITE(PubSub, AllTopics, TopicNames);
using MediumPubSub = PubSub<Medium>;

TYPED_TEST(PubSub, DeliversEveryFieldAndTheSourceTime)
{
    using W = typename TestFixture::W;
    typename TestFixture::Reader reader(kDomain, this->topic());
    auto publisher = this->pair.makePublisher();
    this->waitUntilMatched(*publisher, reader);
    const W plain = makeDistinctSample<W>(1);
    const W stamped = makeDistinctSample<W>(2);
    publisher->publish(*this->pair.entity(*publisher, plain), 0ms);
    publisher->publish(1.5, *this->pair.entity(*publisher, stamped), 0ms);
    EXPECT_THROW(publisher->publish(*this->pair.entity(*publisher, plain), -1ms), qara::nimb::NimbException);

    const auto received = reader.take(3, 2s);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(fieldBytes(received[0].sample), fieldBytes(plain));
    EXPECT_EQ(fieldBytes(received[1].sample), fieldBytes(stamped));
    EXPECT_EQ(received[1].info.source_timestamp.seconds(), 1);
    EXPECT_EQ(received[1].info.source_timestamp.nanosec(), 500000000u);
}

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

TEST_F(MediumPubSub, CodeQosAndTheWaitForAcknowledgements)
{
    const std::pair<qara::nimb::Nimb::Properties, long> rows[] = {
        {{}, 5000}, {{{"dds.wait_for_ack.timeout_ms", "250"}}, 250}, {{{"dds.wait_for_ack.timeout_ms", "5s"}}, 5000}};
    for (const auto& [properties, expected] : rows)
    {
        auto publisher = pair.makePublisher({std::make_shared<qos::Deadline>(1500)}, properties);
        using Delegator = qara::nimb::ps::DdsPublisherDelegator<Medium::Interface, Medium::Entity>;
        EXPECT_EQ(dynamic_cast<Delegator&>(*publisher).publisher()->waitForAckTimeout(), expected);
        const auto qos = Pair::writerOf(*publisher).get_qos();
        EXPECT_EQ(qos.reliability().kind, edds::RELIABLE_RELIABILITY_QOS);
        EXPECT_EQ(qos.history().kind, edds::KEEP_ALL_HISTORY_QOS);
        EXPECT_EQ(qos.resource_limits().max_samples, 40000);
        EXPECT_EQ(qos.deadline().period.seconds, 1);
        EXPECT_EQ(qos.deadline().period.nanosec, 500u);
    }
}

// The topic is held by both publishers of one URI: the last one to close deletes it. Closing waits for a
// reliable reader's acknowledgements, so nothing published just before is lost (a reader that stops
// answering is the fault tests' case).
TEST_F(MediumPubSub, SharedTopicGoesWithItsLastHolderAndClosingDrainsToReliableReaders)
{
    Reader reader(kDomain, topic());
    auto first = pair.makePublisher();
    auto second = pair.makePublisher();
    auto participant =
        static_cast<qara::nimb::DdsNimb&>(*pair.publishingHost).getDomainParticipant(qara::nimb::Uri(pair.uri), {});
    first.reset();
    EXPECT_NE(participant->lookup_topicdescription(topic()), nullptr);
    waitUntilMatched(*second, reader);
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
    EXPECT_EQ(participant->lookup_topicdescription(topic()), nullptr);
    EXPECT_THROW(second->publish(*entity, 0ms), qara::nimb::IllegalStateException);
    EXPECT_THROW(second->createDataEntity(), qara::nimb::IllegalStateException);
}

// An entity of another implementation of the interface cannot be published: refused in words and logged.
TEST_F(MediumPubSub, AForeignEntityIsRefusedAndLogged)
{
    using T = Medium::Interface;
    class Foreign : public T
    {
    public:
        std::unique_ptr<T> clone() const override { return nullptr; }
        bool keyEquals(const T&) const override { return false; }
        std::unique_ptr<T> cloneKey() const override { return nullptr; }
        bool hasKey() const override { return false; }
        int32_t getImplementations_fb_main_cell_sttlm_esaactuatorstate() const override { return 0; }
        void setImplementations_fb_main_cell_sttlm_esaactuatorstate(int32_t) override {}
        int32_t getImplementations_fb_main_cell_sttlm_esapowerstate() const override { return 0; }
        void setImplementations_fb_main_cell_sttlm_esapowerstate(int32_t) override {}
        int32_t getImplementations_fb_main_cell_sttlm_econtrolstate() const override { return 0; }
        void setImplementations_fb_main_cell_sttlm_econtrolstate(int32_t) override {}
        bool getImplementations_fb_main_cell_sttlm_stdegradedmode_bsa_degradedmodeenable() const override
        {
            return false;
        }
        void setImplementations_fb_main_cell_sttlm_stdegradedmode_bsa_degradedmodeenable(bool) override {}
        int32_t getImplementations_fb_main_cell_sttlm_stsimulationmode_esasimulationmode() const override { return 0; }
        void setImplementations_fb_main_cell_sttlm_stsimulationmode_esasimulationmode(int32_t) override {}
    };
    auto publisher = pair.makePublisher();
    LogCapture errors("nimbDdsPublisher", log4cplus::ERROR_LOG_LEVEL);
    const std::string message = "Data type for instance or value is incorrect. Not a DDS supported type";
    EXPECT_THROW(publisher->publish(Foreign(), 0ms), qara::nimb::IllegalStateException);
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, message));
}

// Every way of receiving, one after the other on one subscriber, with a most-recent-value subscriber beside.
TYPED_TEST(PubSub, ListenersReadsLoansEventsPollAndMostRecentValue)
{
    using T = typename TestFixture::T;
    using Bytes = typename TestFixture::Bytes;
    auto publisher = this->pair.makePublisher();
    auto subscriber = this->pair.makeSubscriber();
    auto mrv = this->pair.makeMrvSubscriber();
    this->pair.waitUntilMatched(*publisher, *subscriber, 2);
    this->pair.waitUntilMatched(*publisher, *mrv, 2);
    EXPECT_TRUE(mrv->readMostRecent(0ms).empty());

    Collected<Bytes> listened;
    std::atomic<int> notified{0};
    auto notifier = subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {}),
                                               [&](Subscriber<T>&) { ++notified; });
    auto listener = subscriber->subscribeAsync(
        DataEventFilter<T>(nullptr, InstanceState::ALIVE, {}),
        [&](Subscriber<T>&, const DataEvent<T>& event) { listened.add(this->bytesOf(*event.getData())); });
    auto sent = this->publish(*publisher, 2, 1);
    ASSERT_TRUE(listened.waitFor(2));
    EXPECT_EQ(listened.values(), sent);
    EXPECT_EQ(notified.load(), 0);
    listener->close();
    notifier->close();

    sent = this->publish(*publisher, 3, 10);
    ASSERT_TRUE(this->pair.waitForUnread(*subscriber, 3));
    std::vector<Bytes> copies;
    for (const auto& copy : subscriber->read(0))
    {
        copies.push_back(this->bytesOf(*copy));
    }
    EXPECT_EQ(copies, sent);

    sent = this->publish(*publisher, 1, 20);
    ASSERT_TRUE(this->pair.waitForUnread(*subscriber, 1));
    auto loaned = subscriber->loanedRead();
    ASSERT_NE(loaned, nullptr);
    EXPECT_EQ(this->bytesOf(loaned->getData()), sent[0]);
    loaned->close();
    loaned->close();
    EXPECT_EQ(subscriber->loanedRead(), nullptr);

    sent = this->publish(*publisher, 2, 30);
    std::vector<std::shared_ptr<DataEvent<T>>> events;
    EXPECT_EQ(subscriber->readDataEvents(DataEventFilter<T>(), events, 2, 5000ms), 2u);
    ASSERT_EQ(events.size(), 2u);
    for (std::size_t i = 0; i < events.size(); ++i)
    {
        EXPECT_EQ(this->bytesOf(*events[i]->getData()), sent[i]);
        EXPECT_TRUE(events[i]->hasValidData());
        EXPECT_EQ(events[i]->getInstanceEvent(), InstanceEvent::UPDATED);
    }
    const auto latest = mrv->readMostRecent(10ms);
    ASSERT_EQ(latest.size(), 1u);
    EXPECT_EQ(this->bytesOf(*latest[0]), sent[1]);

    std::vector<Bytes> polled;
    auto sync = subscriber->subscribe(DataEventFilter<T>(), [&](Subscriber<T>&, const DataEvent<T>& event) {
        polled.push_back(this->bytesOf(*event.getData()));
    });
    sent = this->publish(*publisher, 2, 40);
    ASSERT_TRUE(this->pair.waitForUnread(*subscriber, 2));
    EXPECT_EQ(subscriber->poll(0, 200ms), 2u);
    EXPECT_EQ(polled, sent);
}

// A batch as Fast DDS could hand it over: subscriptions are served one after the other in id order, invalid
// samples and other instance states are left out, and a subscription closed in its callback is not called
// again.
TEST_F(MediumPubSub, SyncDeliveryFiltersAndOrdersABatch)
{
    auto subscriber = pair.makeSubscriber();
    std::vector<std::pair<std::string, uint32_t>> calls;
    std::string createdId;
    std::string updatedId;
    std::unique_ptr<qara::nimb::ps::Subscription> updated;
    auto created = subscriber->subscribe(
        DataEventFilter<T>(nullptr, InstanceState::ALIVE, {InstanceEvent::CREATED}),
        [&](Subscriber<T>&, const DataEvent<T>& event) { calls.emplace_back(createdId, numberOf(event)); });
    updated = subscriber->subscribe(DataEventFilter<T>(nullptr, InstanceState::ANY, {InstanceEvent::UPDATED}),
                                    [&](Subscriber<T>&, const DataEvent<T>& event) {
                                        calls.emplace_back(updatedId, numberOf(event));
                                        updated->close();
                                    });
    using Delegated = qara::nimb::ps::DdsSubscription<T, Pair::ST>;
    createdId = dynamic_cast<Delegated&>(*created).id();
    updatedId = dynamic_cast<Delegated&>(*updated).id();

    const std::tuple<bool, edds::ViewStateKind, edds::InstanceStateKind> batch[] = {
        {false, edds::NOT_NEW_VIEW_STATE, edds::ALIVE_INSTANCE_STATE},
        {true, edds::NEW_VIEW_STATE, edds::ALIVE_INSTANCE_STATE},
        {true, edds::NEW_VIEW_STATE, edds::NOT_ALIVE_DISPOSED_INSTANCE_STATE},
        {true, edds::NOT_NEW_VIEW_STATE, edds::ALIVE_INSTANCE_STATE},
        {false, edds::NEW_VIEW_STATE, edds::ALIVE_INSTANCE_STATE},
        {true, edds::NEW_VIEW_STATE, edds::NOT_ALIVE_NO_WRITERS_INSTANCE_STATE},
        {true, edds::NEW_VIEW_STATE, edds::ALIVE_INSTANCE_STATE},
        {true, edds::NOT_NEW_VIEW_STATE, edds::ALIVE_INSTANCE_STATE}};
    Impl::Samples samples;
    edds::SampleInfoSeq infos;
    samples.length(std::size(batch));
    infos.length(std::size(batch));
    for (std::size_t i = 0; i < std::size(batch); ++i)
    {
        samples[i] = makeDistinctSample<W>(static_cast<uint32_t>(i));
        std::tie(infos[i].valid_data, infos[i].view_state, infos[i].instance_state) = batch[i];
        infos[i].source_timestamp = edds::Time_t(static_cast<int32_t>(i + 1), 0);
    }
    implOf(*subscriber)->subscriptionManager()->deliverToSyncSubscriptions(samples, infos);

    const std::vector<std::pair<std::string, uint32_t>> createdCalls{{createdId, 2}, {createdId, 7}};
    const std::vector<std::pair<std::string, uint32_t>> updatedCalls{{updatedId, 4}};
    auto expected = createdId < updatedId ? createdCalls : updatedCalls;
    const auto& then = createdId < updatedId ? updatedCalls : createdCalls;
    expected.insert(expected.end(), then.begin(), then.end());
    EXPECT_EQ(calls, expected);
}

TEST_F(MediumPubSub, SamplesOlderThanTheLatencyLimitAreSkippedAndRemoved)
{
    auto publisher = pair.makePublisher();
    auto subscriber = pair.makeSubscriber({std::make_shared<qara::nimb::ps::qos::Latency>(1000)});
    pair.waitUntilMatched(*publisher, *subscriber);
    const double old = static_cast<double>(std::time(nullptr)) - 60.0;
    publisher->publish(old, *pair.entity(*publisher, makeDistinctSample<W>(1)), 0ms);
    ASSERT_TRUE(pair.waitForUnread(*subscriber, 1));
    EXPECT_TRUE(subscriber->read(0).empty());
    EXPECT_EQ(pair.readerOf(*subscriber).get_unread_count(), 0u);
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
    const auto participant = implOf(*subscriber)->participant();
    const std::string topic = implOf(*subscriber)->topicName();
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

// The host lets go of its subscriber and the callback then drops its own handle, the last owner: the
// delivery must return and the subscriber go, its reader with the next call into the library.
TEST_F(MediumPubSub, ACallbackMayDropTheLastOwnerOfItsSubscriber)
{
    auto publisher = pair.makePublisher();
    for (int round = 0; round < 20; ++round)
    {
        const bool notifier = round % 2 == 1;
        SCOPED_TRACE(round);
        auto subscriber = pair.makeSubscriber();
        pair.waitUntilMatched(*publisher, *subscriber);
        const std::weak_ptr<Impl> impl = implOf(*subscriber);
        std::unique_ptr<qara::nimb::ps::Subscription> handle;
        std::atomic<int> calls{0};
        auto drop = [&] {
            ++calls;
            handle.reset();
        };
        handle = notifier ? subscriber->subscribeAsync({}, [&](Subscriber<T>&) { drop(); })
                          : subscriber->subscribeAsync({}, [&](Subscriber<T>&, const DataEvent<T>&) { drop(); });
        subscriber.reset();
        auto published = std::async(std::launch::async, [&] { publishNumbered(*publisher, 1, 1); });
        ASSERT_EQ(published.wait_for(20s), std::future_status::ready) << "the delivering thread hangs";
        ASSERT_TRUE(waitUntil([&] { return impl.expired(); }, 10s));
        EXPECT_EQ(calls.load(), 1);
        pair.makeSubscriber().reset();
        EXPECT_TRUE(waitUntil([&] { return matchedCount(Pair::writerOf(*publisher)) == 0; }, 10s));
    }
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
    using T = typename TestFixture::T;
    using W = typename TestFixture::W;
    using Bytes = typename TestFixture::Bytes;
    const std::size_t notesBefore = generated::dds_::DecodeFailures::size();
    auto reading = this->pair.makeSubscriber();
    auto listening = this->pair.makeSubscriber();
    Collected<Bytes> heard;
    auto handle = listening->subscribeAsync(
        {}, [&](Subscriber<T>&, const DataEvent<T>& e) { heard.add(this->bytesOf(*e.getData())); });
    using Support = typename TestFixture::Pair::ST::PubSubType;
    auto* participant =
        edds::DomainParticipantFactory::get_instance()->create_participant(kDomain, edds::PARTICIPANT_QOS_DEFAULT);
    auto* truncating = new Truncating<Support>();
    edds::TypeSupport type(truncating);
    type.register_type(participant);
    auto* topic = participant->create_topic(this->topic(), type.get_type_name(), edds::TOPIC_QOS_DEFAULT);
    edds::DataWriterQos qos = edds::DATAWRITER_QOS_DEFAULT;
    qos.representation().m_value = {edds::XCDR2_DATA_REPRESENTATION};
    qos.data_sharing().off();
    auto* writer = participant->create_publisher(edds::PUBLISHER_QOS_DEFAULT)->create_datawriter(topic, qos);
    ASSERT_TRUE(waitUntil(
        [&] {
            return matchedCount(*writer) >= 2 && matchedCount(TestFixture::Pair::readerOf(*reading)) > 0 &&
                   matchedCount(TestFixture::Pair::readerOf(*listening)) > 0;
        },
        10s));

    // Cut at several lengths, the encapsulation header alone among them, then whole from the same writer, so
    // that it arrives last.
    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);
    const W whole = makeDistinctSample<W>(9);
    const uint32_t size = Support().calculate_serialized_size(&whole, edds::XCDR2_DATA_REPRESENTATION);
    for (const uint32_t length : {0u, 2u, 4u, 7u, size / 2, size - 1, size})
    {
        truncating->length = length;
        ASSERT_EQ(writer->write(&whole), edds::RETCODE_OK);
    }
    const Bytes valid = fieldBytes(whole);
    std::vector<Bytes> read;
    waitUntil(
        [&] {
            for (const auto& sample : reading->read(0))
            {
                read.push_back(this->bytesOf(*sample));
            }
            return !read.empty() && read.back() == valid && heard.waitFor(1, 0ms) && heard.values().back() == valid;
        },
        5s);
    EXPECT_EQ(read, std::vector<Bytes>{valid});
    EXPECT_EQ(heard.values(), std::vector<Bytes>{valid});
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front().second;
    participant->delete_contained_entities();
    edds::DomainParticipantFactory::get_instance()->delete_participant(participant);
    handle.reset();
    reading.reset();
    listening.reset();
    EXPECT_EQ(generated::dds_::DecodeFailures::size(), notesBefore);
}

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

using T = Medium::Interface;

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

// Registrations, closes and subscriber closes racing deliveries and each other, many rounds each; run again
// over the transports, and under ThreadSanitizer by scripts/test.sh.
class ConcurrentSubscriber : public MediumPubSub
{
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
    Deliveries received;
    auto handle =
        finder->subscribeAsync({}, [&](Subscriber<T>&, const DataEvent<T>& event) { received.add(numberOf(event)); });
    // The writer may still count a closed round's reader as matched: publish until the finder hears one.
    EXPECT_TRUE(waitUntil([&] { return publishNumbered(*publisher, 1, 1), received.waitFor(1, 100ms); }, 20s));
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
