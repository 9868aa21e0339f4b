#include "LogCapture.hpp"
#include "Matching.hpp"
#include "PlainDds.hpp"
#include "Plugin.hpp"
#include "PubSubPair.hpp"
#include "SampleValues.hpp"
#include "TopicTypes.hpp"

#include "ps/DdsPublisherDelegator.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using qara::nimb::Uri;
using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 220;

using QoSList = std::vector<std::shared_ptr<qara::nimb::ps::qos::QoS>>;

template <class TopicType>
class PublisherFixture : public ::testing::Test
{
protected:
    using T = typename TopicType::Interface;
    using ST = typename TopicType::Entity;
    using W = typename TopicType::Wire;
    using Reader = PlainReader<W, typename TopicType::PubSub>;
    using Pair = PubSubPair<TopicType>;

    std::unique_ptr<qara::nimb::ps::Publisher<T>> makePublisher(const std::string& uri, const QoSList& qos = {},
                                                                const qara::nimb::Nimb::Properties& properties = {})
    {
        auto* entry = plugin().function<PublisherEntry<T>>(entryName("Publisher", TopicType::name()));
        return std::unique_ptr<qara::nimb::ps::Publisher<T>>(entry(nimb, Uri(uri), qos, properties));
    }

    static std::string topicOf(const std::string& uri) { return qara::nimb::DdsUriHelper::topic(Uri(uri), true); }

    using Delegator = qara::nimb::ps::DdsPublisherDelegator<T, ST>;

    static const Delegator& delegatorOf(const qara::nimb::ps::Publisher<T>& publisher)
    {
        return dynamic_cast<const Delegator&>(publisher);
    }

    // Both ends must have matched before a volatile writer's samples can reach the reader.
    static void waitUntilMatched(const qara::nimb::ps::Publisher<T>& publisher, Reader& reader)
    {
        ASSERT_TRUE(waitUntil([&] { return matchedCount(reader.reader()) >= 1; }, 10s));
        auto& writer = *delegatorOf(publisher).publisher()->writer();
        ASSERT_TRUE(waitUntil([&] { return matchedCount(writer) >= 1; }, 10s)) << "the writer never matched the reader";
    }

    std::shared_ptr<eprosima::fastdds::dds::DomainParticipant> participantOf(const std::string& uri)
    {
        return static_cast<qara::nimb::DdsNimb&>(*nimb).getDomainParticipant(Uri(uri), {});
    }

    std::shared_ptr<qara::nimb::Nimb> nimb = std::make_shared<qara::nimb::DdsNimb>();
};

template <class TopicType>
class EveryTopicPublisher : public PublisherFixture<TopicType>
{
};

TYPED_TEST_SUITE(EveryTopicPublisher, AllTopics, TopicNames);

TYPED_TEST(EveryTopicPublisher, DeliversEveryFieldAndTheSourceTime)
{
    using W = typename TestFixture::W;
    const std::string uri = uniqueUri(kDomain, "pub");
    typename TestFixture::Reader reader(kDomain, this->topicOf(uri));
    auto publisher = this->makePublisher(uri);
    this->waitUntilMatched(*publisher, reader);

    const W plain = makeDistinctSample<W>(1);
    const W stamped = makeDistinctSample<W>(2);
    publisher->publish(*TestFixture::Pair::entity(*publisher, plain), 0ms);
    publisher->publish(1.5, *TestFixture::Pair::entity(*publisher, stamped), 0ms);

    const auto received = reader.take(2);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(fieldBytes(received[0].sample), fieldBytes(plain));
    EXPECT_EQ(fieldBytes(received[1].sample), fieldBytes(stamped));
    EXPECT_EQ(received[1].info.source_timestamp.seconds(), 1);
    EXPECT_EQ(received[1].info.source_timestamp.nanosec(), 500000000u);
}

TEST(SourceTime, SplitsSecondsByFloor)
{
    const auto positive = qara::nimb::ps::sourceTimeOf(1.5);
    EXPECT_EQ(positive.seconds, 1);
    EXPECT_EQ(positive.nanosec, 500000000u);
    const auto negative = qara::nimb::ps::sourceTimeOf(-0.25);
    EXPECT_EQ(negative.seconds, -1);
    EXPECT_EQ(negative.nanosec, 750000000u);
}

class MediumPublisher : public PublisherFixture<Medium>
{
};

TEST_F(MediumPublisher, PublishersOfOneUriShareTheTopicAndOutliveEachOther)
{
    const std::string uri = uniqueUri(kDomain, "shared");
    Reader reader(kDomain, topicOf(uri));
    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);

    auto first = makePublisher(uri);
    auto second = makePublisher(uri);
    auto participant = participantOf(uri);
    EXPECT_EQ(delegatorOf(*first).publisher()->writer()->get_topic(),
              delegatorOf(*second).publisher()->writer()->get_topic());

    first.reset();
    EXPECT_NE(participant->lookup_topicdescription(topicOf(uri)), nullptr);
    waitUntilMatched(*second, reader);
    second->publish(*Pair::entity(*second, makeDistinctSample<W>(3)), 0ms);
    EXPECT_EQ(reader.take(1).size(), 1u);
    second.reset();
    EXPECT_TRUE(errors.lines().empty());
}

TEST_F(MediumPublisher, CodeQosKeepsEverySampleAndUsesTheDeadlineRule)
{
    auto publisher = makePublisher(uniqueUri(kDomain, "qos"), {std::make_shared<qara::nimb::ps::qos::Deadline>(1500)});
    const auto qos = delegatorOf(*publisher).publisher()->writer()->get_qos();
    EXPECT_EQ(qos.history().kind, eprosima::fastdds::dds::KEEP_ALL_HISTORY_QOS);
    EXPECT_EQ(qos.history().depth, 1000);
    EXPECT_EQ(qos.resource_limits().max_samples, 40000);
    EXPECT_EQ(qos.resource_limits().max_instances, 100);
    EXPECT_EQ(qos.endpoint().history_memory_policy, eprosima::fastdds::rtps::DYNAMIC_RESERVE_MEMORY_MODE);
    EXPECT_EQ(qos.deadline().period.seconds, 1);
    EXPECT_EQ(qos.deadline().period.nanosec, 500u);

    auto withoutDeadline =
        makePublisher(uniqueUri(kDomain, "qos2"), {std::make_shared<qara::nimb::ps::qos::Latency>(10)});
    EXPECT_TRUE(delegatorOf(*withoutDeadline).publisher()->writer()->get_qos().deadline().period.is_infinite());
}

TEST_F(MediumPublisher, RejectsBadInputWithoutWriting)
{
    const std::string uri = uniqueUri(kDomain, "bad");
    Reader reader(kDomain, topicOf(uri));
    auto publisher = makePublisher(uri);
    waitUntilMatched(*publisher, reader);
    auto entity = Pair::entity(*publisher, makeDistinctSample<W>(4));

    try
    {
        publisher->publish(*entity, -1ms);
        FAIL() << "negative time-out accepted";
    }
    catch (const qara::nimb::NimbException& e)
    {
        EXPECT_STREQ(e.what(), ("Negative timeout given to publish Uri:" + uri).c_str());
    }
    EXPECT_THROW(publisher->publish(2.0, *entity, -1ms), qara::nimb::NimbException);

    const W good = makeDistinctSample<W>(5);
    publisher->publish(*Pair::entity(*publisher, good), 0ms);

    // Only the one good sample arrives: nothing was written by the failures.
    auto received = reader.take(2, 1s);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(fieldBytes(received[0].sample), fieldBytes(good));
}

TEST_F(MediumPublisher, ClosedPublisherRefusesWorkButKeepsItsHost)
{
    const std::string uri = uniqueUri(kDomain, "closed");
    auto publisher = makePublisher(uri);
    auto entity = publisher->createDataEntity();
    LogCapture errors("nimbDdsBasePubSub", log4cplus::ERROR_LOG_LEVEL);
    publisher->close();
    publisher->close();
    EXPECT_EQ(publisher->getNimb(), nimb);
    try
    {
        publisher->publish(*entity, 0ms);
        FAIL() << "closed publisher published";
    }
    catch (const qara::nimb::IllegalStateException& e)
    {
        EXPECT_STREQ(e.what(), ("Entity closed Uri: " + uri).c_str());
    }
    EXPECT_THROW(publisher->createDataEntity(), qara::nimb::IllegalStateException);
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, "Entity closed Uri: " + uri));
    // Closing released the writer and the topic.
    EXPECT_EQ(participantOf(uri)->lookup_topicdescription(topicOf(uri)), nullptr);
}

TEST_F(MediumPublisher, RefusesUrisThatAreNotPublishSubscribe)
{
    LogCapture errors("nimbDdsBasePubSub", log4cplus::ERROR_LOG_LEVEL);
    const std::string uri = "dds.rpc://" + std::to_string(kDomain) + "/tarvex/commands";
    try
    {
        makePublisher(uri);
        FAIL() << "rpc URI accepted";
    }
    catch (const qara::nimb::NimbException& e)
    {
        EXPECT_STREQ(e.what(), ("Uri " + uri + " is not DDS PubSub profile").c_str());
    }
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, "Uri " + uri + " is not DDS PubSub profile"));
    EXPECT_THROW(makePublisher("dds.ps://999/tarvex/x"), qara::nimb::NimbException);
}

TEST_F(MediumPublisher, RefusesAHostThatIsNotDds)
{
    nimb = std::make_shared<qara::nimb::Nimb>();
    EXPECT_THROW(makePublisher(uniqueUri(kDomain, "nohost")), qara::nimb::NimbException);
}

TEST_F(MediumPublisher, ForeignEntityIsRefusedAndLogged)
{
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
    auto publisher = makePublisher(uniqueUri(kDomain, "foreign"));
    LogCapture errors("nimbDdsPublisher", log4cplus::ERROR_LOG_LEVEL);
    const std::string message = "Data type for instance or value is incorrect. Not a DDS supported type";
    Foreign foreign;
    try
    {
        publisher->publish(foreign, 0ms);
        FAIL() << "foreign entity published";
    }
    catch (const qara::nimb::IllegalStateException& e)
    {
        EXPECT_EQ(e.what(), message);
    }
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, message));
    // Instance publishers need a key; these topics have none, so registration fails and nothing stays.
    LogCapture instanceErrors("nimbDdsInstancePublisher", log4cplus::ERROR_LOG_LEVEL);
    try
    {
        publisher->createInstancePublisher(*publisher->createDataEntity());
        FAIL() << "keyless instance registered";
    }
    catch (const qara::nimb::IllegalStateException& e)
    {
        EXPECT_STREQ(e.what(), "Key instance not created");
    }
    EXPECT_TRUE(instanceErrors.contains(log4cplus::ERROR_LOG_LEVEL, "Key instance not created"));
    EXPECT_THROW(publisher->createInstancePublisher(foreign), qara::nimb::IllegalStateException);
}

TEST_F(MediumPublisher, ClosingClosesTheRegisteredInstancePublishersOnly)
{
    class CountingInstancePublisher : public qara::nimb::ps::InstancePublisher<T>
    {
    public:
        std::shared_ptr<T> createDataEntity() override { return nullptr; }
        std::shared_ptr<qara::nimb::Nimb> getNimb() const override { return nullptr; }
        void publish(const T&, const std::chrono::milliseconds&) override {}
        void publish(double, const T&, const std::chrono::milliseconds&) override {}
        void close() override { ++closes; }
        int closes = 0;
    };
    auto publisher = makePublisher(uniqueUri(kDomain, "instances"));
    auto& impl = *delegatorOf(*publisher).publisher();
    CountingInstancePublisher kept;
    CountingInstancePublisher removed;
    impl.addInstancePublisher(&kept);
    impl.addInstancePublisher(&removed);
    impl.removeInstancePublisher(&removed);
    publisher->close();
    publisher->close();
    EXPECT_EQ(kept.closes, 1);
    EXPECT_EQ(removed.closes, 0);
}

class ProfilePublisher : public MediumPublisher
{
protected:
    void SetUp() override
    {
        nimb = std::make_shared<qara::nimb::DdsNimb>(
            qara::nimb::Nimb::Properties{{"dds.xml.profiles.file", TARVEX_PS_TEST_DATA "/PublisherProfiles.xml"}});
    }
};

TEST_F(ProfilePublisher, AsksForTopicPublisherAndWriterProfilesInThatOrder)
{
    LogCapture profiles("nimbProfiles");
    auto publisher =
        makePublisher(uniqueUri(kDomain, "profiles"), {std::make_shared<qara::nimb::ps::qos::Deadline>(1500)},
                      {{"dds.qos.profile.library", "tlib"}});
    std::vector<std::string> asked;
    for (const LogLine& line : profiles.lines())
    {
        asked.push_back(line.message);
    }
    EXPECT_EQ(asked, (std::vector<std::string>{"Profile for topic: tlib.topic", "Profile for publisher: tlib.publisher",
                                               "Profile for datawriter: tlib.datawriter"}));
    const auto qos = delegatorOf(*publisher).publisher()->writer()->get_qos();
    EXPECT_EQ(qos.reliability().kind, eprosima::fastdds::dds::BEST_EFFORT_RELIABILITY_QOS);
    // With a profile the code QoS, deadline included, is not applied.
    EXPECT_TRUE(qos.deadline().period.is_infinite());
}

TEST_F(ProfilePublisher, UnknownProfileFailsAndReleasesWhatWasCreated)
{
    const std::string uri = uniqueUri(kDomain, "noprofile");
    // Held across the failures, so that what they leave behind would still be in it.
    auto participant = participantOf(uri);
    const bool hadEntities = participant->has_active_entities();
    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);
    try
    {
        makePublisher(uri, {}, {{"dds.qos.profile.library", "nolib"}});
        FAIL() << "unknown topic profile accepted";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), ("Failed to create topic with profile:nolib.topic Uri: " + uri).c_str());
    }
    try
    {
        makePublisher(uri, {}, {{"dds.qos.profile.library", "tlib"}, {"dds.qos.profile.datawriter", "missing"}});
        FAIL() << "unknown writer profile accepted";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "Failed to create writer with profile:missing");
    }
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, "Failed to create writer with profile:missing"));
    EXPECT_EQ(participant->lookup_topicdescription(topicOf(uri)), nullptr);
    EXPECT_EQ(participant->has_active_entities(), hadEntities);
}

class ClosingPublisher : public PublisherFixture<Fast>
{
protected:
    // A reliable reader that stores one sample and never takes it: later samples stay unacknowledged.
    static eprosima::fastdds::dds::DataReaderQos stuckReaderQos()
    {
        auto qos = Reader::reliableQos();
        qos.resource_limits().max_samples = 1;
        qos.resource_limits().max_instances = 1;
        qos.resource_limits().max_samples_per_instance = 1;
        return qos;
    }

    // Publishes to a stuck reader, then times close() with the given wait for acknowledgements.
    std::chrono::milliseconds closeWithUnacknowledgedSamples(const std::string& waitForAckMs)
    {
        const std::string uri = uniqueUri(kDomain, "stuck");
        Reader reader(kDomain, topicOf(uri), stuckReaderQos());
        auto publisher = makePublisher(uri, {}, {{"dds.wait_for_ack.timeout_ms", waitForAckMs}});
        waitUntilMatched(*publisher, reader);
        auto entity = publisher->createDataEntity();
        for (int i = 0; i < 10; ++i)
        {
            publisher->publish(*entity, 0ms);
        }
        const auto start = std::chrono::steady_clock::now();
        publisher->close();
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    }
};

TEST_F(ClosingPublisher, ReliableReaderGetsEverySamplePublishedJustBeforeClose)
{
    const std::string uri = uniqueUri(kDomain, "drain");
    Reader reader(kDomain, topicOf(uri));
    auto publisher = makePublisher(uri);
    waitUntilMatched(*publisher, reader);
    constexpr int kSamples = 300;
    auto entity = publisher->createDataEntity();
    for (int i = 0; i < kSamples; ++i)
    {
        static_cast<ST&>(*entity) = makeDistinctSample<W>(static_cast<uint32_t>(i), false);
        publisher->publish(*entity, 0ms);
    }
    publisher.reset();
    const auto received = reader.take(kSamples);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kSamples));
    EXPECT_EQ(fieldBytes(received.back().sample), fieldBytes(makeDistinctSample<W>(kSamples - 1, false)));
}

TEST_F(ClosingPublisher, WaitsForAcknowledgementsNoLongerThanTheProperty)
{
    LogCapture warnings("nimbDdsPublisher", log4cplus::WARN_LOG_LEVEL);
    const auto elapsed = closeWithUnacknowledgedSamples("300");
    // Fast DDS 3.1 reports the expired wait as RETCODE_ERROR rather than RETCODE_TIMEOUT.
    EXPECT_TRUE(warnings.contains(log4cplus::WARN_LOG_LEVEL, "Writer waiting for acknowledgment failed code:1"));
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 4000ms) << "waited well beyond the 300 ms asked for";
}

TEST_F(ClosingPublisher, ZeroWaitDoesNotWait)
{
    LogCapture warnings("nimbDdsPublisher", log4cplus::WARN_LOG_LEVEL);
    const auto elapsed = closeWithUnacknowledgedSamples("0");
    EXPECT_TRUE(warnings.lines().empty());
    EXPECT_LT(elapsed, 2500ms) << "a zero wait must not fall back to the 5 s default";
}

}  // namespace
