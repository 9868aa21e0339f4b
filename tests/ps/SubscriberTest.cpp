#include "Deliveries.hpp"
#include "LogCapture.hpp"
#include "PubSubPair.hpp"
#include "SampleValues.hpp"

#include "generated/dds/DecodeFailures.hpp"
#include "ps/DdsSubscription.hpp"

#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>
#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <gtest/gtest.h>

#include <future>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::InstanceEvent;
using qara::nimb::ps::InstanceState;
using qara::nimb::ps::Subscriber;
namespace edds = eprosima::fastdds::dds;

namespace {

constexpr uint32_t kDomain = 225;

template <class TopicType>
class Subscribing : public ::testing::Test
{
protected:
    using Pair = PubSubPair<TopicType>;
    using T = typename Pair::T;
    using W = typename Pair::W;
    using Impl = qara::nimb::ps::DdsSubscriber<T, typename Pair::ST>;
    using Bytes = std::vector<unsigned char>;

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

    Pair pair{uniqueUri(kDomain, "sub")};
};

TYPED_TEST_SUITE(Subscribing, AllTopics, TopicNames);

// Every way of receiving, one after the other on one subscriber, with a most-recent-value subscriber beside.
TYPED_TEST(Subscribing, ListenersReadsLoansEventsPollAndMostRecentValue)
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

using MediumSubscribing = Subscribing<Medium>;

// A batch as Fast DDS could hand it over: subscriptions are served one after the other in id order, invalid
// samples and other instance states are left out, and a subscription closed in its callback is not called
// again.
TEST_F(MediumSubscribing, SyncDeliveryFiltersAndOrdersABatch)
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

    struct Entry
    {
        bool valid;
        edds::ViewStateKind view;
        edds::InstanceStateKind state;
    };
    const Entry batch[] = {{false, edds::NOT_NEW_VIEW_STATE, edds::ALIVE_INSTANCE_STATE},
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
        infos[i].valid_data = batch[i].valid;
        infos[i].view_state = batch[i].view;
        infos[i].instance_state = batch[i].state;
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

// Registrations overlap when their instance states and their events both do; a closed one frees its filter.
TEST_F(MediumSubscribing, OverlappingRegistrationsAreRefused)
{
    auto subscriber = pair.makeSubscriber();
    auto ignore = [](Subscriber<T>&, const DataEvent<T>&) {};
    auto created =
        subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::ALIVE, {InstanceEvent::CREATED}), ignore);
    auto updated =
        subscriber->subscribe(DataEventFilter<T>(nullptr, InstanceState::ALIVE, {InstanceEvent::UPDATED}), ignore);
    auto disposed =
        subscriber->subscribeAsync(DataEventFilter<T>(nullptr, InstanceState::NOT_ALIVE, {}), [](Subscriber<T>&) {});
    for (const auto& filter : {DataEventFilter<T>(), DataEventFilter<T>(nullptr, InstanceState::ALIVE, {}),
                               DataEventFilter<T>(nullptr, InstanceState::ANY, {InstanceEvent::UPDATED})})
    {
        EXPECT_THROW(subscriber->subscribe(filter, ignore), std::runtime_error);
    }
    created->close();
    EXPECT_NO_THROW(subscriber->subscribeAsync(
        DataEventFilter<T>(nullptr, InstanceState::ALIVE, {InstanceEvent::CREATED}), ignore));
}

TEST_F(MediumSubscribing, SamplesOlderThanTheLatencyLimitAreSkippedAndRemoved)
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
TEST_F(MediumSubscribing, LoansAndHandlesOutliveTheClosedSubscriber)
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
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front().message;
}

// The host lets go of its subscriber and the callback then drops its own handle, the last owner: the
// delivery must return and the subscriber go, its reader with the next call into the library.
TEST_F(MediumSubscribing, ACallbackMayDropTheLastOwnerOfItsSubscriber)
{
    auto publisher = pair.makePublisher();
    for (const bool notifier : {false, true})
    {
        SCOPED_TRACE(notifier ? "notifier" : "listener");
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

// Sends whatever bytes it is given under a real type name, as a broken or hostile peer would.
class RawBytesType : public edds::TopicDataType
{
public:
    using Bytes = std::vector<unsigned char>;

    explicit RawBytesType(const std::string& typeName)
    {
        set_name(typeName);
        max_serialized_type_size = 2048;
        is_compute_key_provided = false;
    }

    bool serialize(const void* const data, eprosima::fastdds::rtps::SerializedPayload_t& payload,
                   edds::DataRepresentationId_t) override
    {
        const auto& bytes = *static_cast<const Bytes*>(data);
        std::copy(bytes.begin(), bytes.end(), payload.data);
        payload.length = static_cast<uint32_t>(bytes.size());
        payload.encapsulation = CDR_LE;
        return true;
    }
    bool deserialize(eprosima::fastdds::rtps::SerializedPayload_t&, void*) override { return false; }
    uint32_t calculate_serialized_size(const void* const data, edds::DataRepresentationId_t) override
    {
        return static_cast<uint32_t>(static_cast<const Bytes*>(data)->size());
    }
    void* create_data() override { return new Bytes(); }
    void delete_data(void* data) override { delete static_cast<Bytes*>(data); }
    bool compute_key(eprosima::fastdds::rtps::SerializedPayload_t&, edds::InstanceHandle_t&, bool) override
    {
        return false;
    }
    bool compute_key(const void* const, edds::InstanceHandle_t&, bool) override { return false; }
};

using HostileTopics = ::testing::Types<Medium, Fast>;
template <class TopicType>
using HostileInput = Subscribing<TopicType>;
TYPED_TEST_SUITE(HostileInput, HostileTopics, TopicNames);

// Truncated payloads: reads and listeners never hand them out, the notes of the failed decodes go with the
// readers, and a whole sample still arrives.
TYPED_TEST(HostileInput, CorruptPayloadsNeverArriveAsData)
{
    using T = typename TestFixture::T;
    using W = typename TestFixture::W;
    using Bytes = typename TestFixture::Bytes;
    // A valid sample cut short at several lengths, the encapsulation header alone among them.
    typename TestFixture::Pair::ST::PubSubType typeSupport;
    const W whole = makeDistinctSample<W>(9);
    eprosima::fastdds::rtps::SerializedPayload_t payload(
        typeSupport.calculate_serialized_size(&whole, edds::XCDR2_DATA_REPRESENTATION));
    ASSERT_TRUE(typeSupport.serialize(&whole, payload, edds::XCDR2_DATA_REPRESENTATION));
    std::vector<Bytes> garbage;
    // Then the whole one, from the same writer so that it arrives last.
    for (const uint32_t length : {0u, 2u, 4u, 7u, payload.length / 2, payload.length - 1, payload.length})
    {
        garbage.emplace_back(payload.data, payload.data + length);
    }
    const std::size_t notesBefore = generated::dds_::DecodeFailures::size();
    auto reading = this->pair.makeSubscriber();
    auto listening = this->pair.makeSubscriber();
    Collected<Bytes> heard;
    auto handle = listening->subscribeAsync(
        {}, [&](Subscriber<T>&, const DataEvent<T>& e) { heard.add(this->bytesOf(*e.getData())); });
    auto* participant =
        edds::DomainParticipantFactory::get_instance()->create_participant(kDomain, edds::PARTICIPANT_QOS_DEFAULT);
    edds::TypeSupport rawType(new RawBytesType(TestFixture::Pair::ST::PubSubType::typeName));
    rawType.register_type(participant);
    auto* topic = participant->create_topic(qara::nimb::DdsUriHelper::topic(qara::nimb::Uri(this->pair.uri), true),
                                            rawType.get_type_name(), edds::TOPIC_QOS_DEFAULT);
    auto* raw = participant->create_publisher(edds::PUBLISHER_QOS_DEFAULT)
                    ->create_datawriter(topic, edds::DATAWRITER_QOS_DEFAULT);
    ASSERT_TRUE(waitUntil(
        [&] {
            return matchedCount(*raw) >= 2 && matchedCount(TestFixture::Pair::readerOf(*reading)) > 0 &&
                   matchedCount(TestFixture::Pair::readerOf(*listening)) > 0;
        },
        10s));

    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);
    for (const auto& bytes : garbage)
    {
        ASSERT_EQ(raw->write(&bytes), edds::RETCODE_OK);
    }
    const Bytes valid = fieldBytes(whole);
    std::vector<Bytes> read;
    waitUntil(
        [&] {
            for (const auto& sample : reading->read(0))
            {
                read.push_back(this->bytesOf(*sample));
            }
            return std::count(read.begin(), read.end(), valid) > 0;
        },
        5s);
    std::vector<Bytes> listened;
    waitUntil(
        [&] {
            listened = heard.values();
            return std::count(listened.begin(), listened.end(), valid) > 0;
        },
        5s);
    EXPECT_EQ(read, std::vector<Bytes>{valid});
    EXPECT_EQ(listened, std::vector<Bytes>{valid});
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front().message;
    participant->delete_contained_entities();
    edds::DomainParticipantFactory::get_instance()->delete_participant(participant);
    handle.reset();
    reading.reset();
    listening.reset();
    EXPECT_EQ(generated::dds_::DecodeFailures::size(), notesBefore);
}

}  // namespace
