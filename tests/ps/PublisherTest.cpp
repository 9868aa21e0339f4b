#include "LogCapture.hpp"
#include "PlainDds.hpp"
#include "PubSubPair.hpp"
#include "SampleValues.hpp"

#include "ps/internal/DdsBasePubSub.hpp"

#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace tarvex_test;
namespace qos = qara::nimb::ps::qos;
namespace edds = eprosima::fastdds::dds;

namespace {

constexpr uint32_t kDomain = 220;

template <class TopicType>
class Publishing : public ::testing::Test
{
protected:
    using Pair = PubSubPair<TopicType>;
    using W = typename Pair::W;
    using Reader = PlainReader<W, typename TopicType::PubSub>;

    static std::string topicOf(const std::string& uri)
    {
        return qara::nimb::DdsUriHelper::topic(qara::nimb::Uri(uri), true);
    }

    void waitUntilMatched(qara::nimb::ps::Publisher<typename Pair::T>& publisher, Reader& reader)
    {
        ASSERT_TRUE(waitUntil([&] { return matchedCount(reader.reader()) > 0; }, 10s));
        ASSERT_TRUE(waitUntil([&] { return matchedCount(Pair::writerOf(publisher)) > 0; }, 10s));
    }

    Pair pair{uniqueUri(kDomain, "pub")};
};

TYPED_TEST_SUITE(Publishing, AllTopics, TopicNames);

TYPED_TEST(Publishing, DeliversEveryFieldAndTheSourceTime)
{
    using W = typename TestFixture::W;
    typename TestFixture::Reader reader(kDomain, this->topicOf(this->pair.uri));
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

using MediumPublishing = Publishing<Medium>;

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

TEST_F(MediumPublishing, CodeQosAndTheWaitForAcknowledgements)
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

// The topic is held by both publishers of one URI: the last one to close deletes it.
TEST_F(MediumPublishing, SharedTopicGoesWithItsLastHolderAndAClosedPublisherRefusesWork)
{
    Reader reader(kDomain, topicOf(pair.uri));
    auto first = pair.makePublisher();
    auto second = pair.makePublisher();
    auto participant =
        static_cast<qara::nimb::DdsNimb&>(*pair.publishingHost).getDomainParticipant(qara::nimb::Uri(pair.uri), {});
    first.reset();
    EXPECT_NE(participant->lookup_topicdescription(topicOf(pair.uri)), nullptr);
    waitUntilMatched(*second, reader);
    second->publish(*pair.entity(*second, makeDistinctSample<W>(3)), 0ms);
    EXPECT_EQ(reader.take(1).size(), 1u);

    auto entity = second->createDataEntity();
    second->close();
    second->close();
    EXPECT_EQ(participant->lookup_topicdescription(topicOf(pair.uri)), nullptr);
    EXPECT_THROW(second->publish(*entity, 0ms), qara::nimb::IllegalStateException);
    EXPECT_THROW(second->createDataEntity(), qara::nimb::IllegalStateException);
}

// An entity of another implementation of the interface cannot be published: refused in words and logged.
TEST_F(MediumPublishing, AForeignEntityIsRefusedAndLogged)
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
    try
    {
        publisher->publish(Foreign(), 0ms);
        ADD_FAILURE() << "a foreign entity was published";
    }
    catch (const qara::nimb::IllegalStateException& e)
    {
        EXPECT_EQ(e.what(), message);
    }
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, message));
}

// Closing waits for a reliable reader's acknowledgements, so nothing published just before is lost; a
// reader that never takes makes it wait until the time set, and no longer.
TEST_F(MediumPublishing, CloseDrainsToReliableReadersWithinTheAcknowledgementWait)
{
    Reader reader(kDomain, topicOf(pair.uri));
    auto publisher = pair.makePublisher();
    waitUntilMatched(*publisher, reader);
    for (uint32_t i = 0; i < 300; ++i)
    {
        publisher->publish(*pair.entity(*publisher, makeDistinctSample<W>(i, false)), 0ms);
    }
    publisher.reset();
    const auto received = reader.take(300);
    ASSERT_EQ(received.size(), 300u);
    EXPECT_EQ(fieldBytes(received.back().sample), fieldBytes(makeDistinctSample<W>(299, false)));

    auto stuckQos = Reader::reliableQos();
    stuckQos.resource_limits().max_samples = 1;
    stuckQos.resource_limits().max_samples_per_instance = 1;
    stuckQos.resource_limits().max_instances = 1;
    Reader stuck(kDomain, topicOf(pair.uri), stuckQos);
    for (const char* wait : {"0", "300"})
    {
        auto blocked = pair.makePublisher({}, {{"dds.wait_for_ack.timeout_ms", wait}});
        // Both readers: the first alone would acknowledge everything.
        ASSERT_TRUE(waitUntil([&] { return matchedCount(Pair::writerOf(*blocked)) >= 2; }, 10s));
        ASSERT_TRUE(waitUntil([&] { return matchedCount(stuck.reader()) > 0; }, 10s));
        for (int i = 0; i < 10; ++i)
        {
            blocked->publish(*blocked->createDataEntity(), 0ms);
        }
        LogCapture warnings("nimbDdsPublisher", log4cplus::WARN_LOG_LEVEL);
        const auto start = std::chrono::steady_clock::now();
        blocked->close();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << "waited beyond " << wait << " ms";
        EXPECT_EQ(warnings.lines().size(), wait[0] == '0' ? 0u : 1u) << wait;
    }
}

}  // namespace
