// Samples over Fast DDS's lossy test transport: UDP that drops a fifth of the DATA, HEARTBEAT and ACKNACK
// messages each participant sends. The application puts it into its participants through the host's
// participant QoS hook, since XML cannot name it.
#include "Deliveries.hpp"
#include "PubSubPair.hpp"

#include <fastdds/LibrarySettings.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/domain/qos/DomainParticipantQos.hpp>
#include <fastdds/rtps/transport/test_UDPv4TransportDescriptor.hpp>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

namespace edds = eprosima::fastdds::dds;
using eprosima::fastdds::rtps::test_UDPv4TransportDescriptor;

constexpr uint32_t kDomain = 221;
constexpr uint8_t kDropPercent = 20;
constexpr uint32_t kSamples = 200;

// A host whose participants send through the lossy transport only.
class LossyHost
{
public:
    LossyHost() : m_transport(std::make_shared<test_UDPv4TransportDescriptor>())
    {
        m_transport->dropDataMessagesPercentage = kDropPercent;
        m_transport->dropHeartbeatMessagesPercentage = kDropPercent;
        m_transport->dropAckNackMessagesPercentage = kDropPercent;
        // Enough of a record to tell that drops happened.
        m_transport->dropLogLength = 16;
        nimb = std::make_shared<qara::nimb::DdsNimb>(
            qara::nimb::Nimb::Properties{{"dds.xml.profiles.file", TARVEX_PS_TEST_DATA "/Reliable.xml"}},
            [transport = m_transport](edds::DomainParticipantQos& qos) {
                qos.transport().use_builtin_transports = false;
                qos.transport().user_transports = {transport};
            });
    }

    bool dropped() const { return !m_transport->test_transport_options->test_UDPv4Transport_DropLog.empty(); }

    std::shared_ptr<qara::nimb::Nimb> nimb;

private:
    std::shared_ptr<test_UDPv4TransportDescriptor> m_transport;
};

template <class TopicType>
class LossyTransport : public ::testing::Test
{
protected:
    using T = typename TopicType::Interface;

    // Within one process Fast DDS would hand samples over directly, past the transport.
    static void SetUpTestSuite()
    {
        eprosima::fastdds::LibrarySettings settings;
        settings.intraprocess_delivery = eprosima::fastdds::INTRAPROCESS_OFF;
        ASSERT_EQ(edds::DomainParticipantFactory::get_instance()->set_library_settings(settings), edds::RETCODE_OK);
    }

    // Sends kSamples numbered samples and returns the numbers that arrived within `limit`, in arrival order.
    std::vector<uint32_t> exchange(const std::string& topic, const qara::nimb::Nimb::Properties& properties,
                                   std::chrono::milliseconds limit)
    {
        PubSubPair<TopicType> pair(uniqueUri(kDomain, topic));
        pair.publishingHost = publishing.nimb;
        pair.subscribingHost = subscribing.nimb;
        auto publisher = pair.makePublisher({}, properties);
        auto subscriber = pair.makeSubscriber({}, properties);
        pair.waitUntilMatched(*publisher, *subscriber);
        publishNumbered(*publisher, 1, kSamples, 1ms);

        std::vector<std::shared_ptr<qara::nimb::ps::DataEvent<T>>> events;
        subscriber->readDataEvents(qara::nimb::ps::DataEventFilter<T>(), events, kSamples, limit);
        std::vector<uint32_t> numbers;
        for (const auto& event : events)
        {
            numbers.push_back(numberOf(*event));
        }
        EXPECT_TRUE(publishing.dropped() || subscribing.dropped()) << "nothing was dropped: the test proves nothing";
        return numbers;
    }

    LossyHost publishing;
    LossyHost subscribing;
};

using LossyTopics = ::testing::Types<Topic<generated::ddsimpl::tarvex::PsMeasurements>, Fast>;
TYPED_TEST_SUITE(LossyTransport, LossyTopics, TopicNames);

TYPED_TEST(LossyTransport, ReliableReaderGetsEverySampleInOrder)
{
    const auto numbers = this->exchange("reliable", {{"dds.qos.profile.library", "reliable"}}, 30s);
    EXPECT_EQ(numbers, numbersUpTo(kSamples));
    std::cout << TypeParam::name() << " reliable at " << int{kDropPercent} << "% drop: sent " << kSamples
              << ", received " << numbers.size() << std::endl;
}

// The code QoS reader is best effort: what the transport drops stays lost. The loss is measured, and what
// does arrive is in order and without repeats.
TYPED_TEST(LossyTransport, BestEffortReaderLosesWhatTheTransportDrops)
{
    const auto numbers = this->exchange("besteffort", {}, 3s);
    std::cout << TypeParam::name() << " best effort at " << int{kDropPercent} << "% drop: sent " << kSamples
              << ", received " << numbers.size() << std::endl;
    this->RecordProperty("received", static_cast<int>(numbers.size()));
    EXPECT_LT(numbers.size(), kSamples);
    EXPECT_GT(numbers.size(), kSamples / 2);
    for (std::size_t i = 1; i < numbers.size(); ++i)
    {
        EXPECT_LT(numbers[i - 1], numbers[i]);
    }
}

}  // namespace
