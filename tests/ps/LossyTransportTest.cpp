// Samples over Fast DDS's lossy test transport: UDP that drops a fifth of the DATA, HEARTBEAT and ACKNACK
// messages each participant sends, put into the participants through the host's participant QoS hook.
#include "Deliveries.hpp"
#include "PubSubPair.hpp"

#include <fastdds/LibrarySettings.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/rtps/transport/test_UDPv4TransportDescriptor.hpp>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

namespace edds = eprosima::fastdds::dds;

constexpr uint32_t kDomain = 221;
constexpr uint32_t kSamples = 200;

std::shared_ptr<qara::nimb::Nimb> lossyHost(
    const std::shared_ptr<eprosima::fastdds::rtps::test_UDPv4TransportDescriptor>& transport)
{
    transport->dropDataMessagesPercentage = 20;
    transport->dropHeartbeatMessagesPercentage = 20;
    transport->dropAckNackMessagesPercentage = 20;
    transport->dropLogLength = 16;  // enough to tell that drops happened
    return std::make_shared<qara::nimb::DdsNimb>(
        qara::nimb::Nimb::Properties{{"dds.xml.profiles.file", TARVEX_PS_TEST_DATA "/Reliable.xml"}},
        [transport](edds::DomainParticipantQos& qos) {
            qos.transport().use_builtin_transports = false;
            qos.transport().user_transports = {transport};
        });
}

TEST(LossyTransport, ReliableReaderGetsEverySampleInOrder)
{
    // Within one process Fast DDS would hand samples over directly, past the transport.
    eprosima::fastdds::LibrarySettings settings;
    settings.intraprocess_delivery = eprosima::fastdds::INTRAPROCESS_OFF;
    ASSERT_EQ(edds::DomainParticipantFactory::get_instance()->set_library_settings(settings), edds::RETCODE_OK);
    auto sending = std::make_shared<eprosima::fastdds::rtps::test_UDPv4TransportDescriptor>();
    auto receiving = std::make_shared<eprosima::fastdds::rtps::test_UDPv4TransportDescriptor>();
    PubSubPair<Fast> pair(uniqueUri(kDomain, "reliable"));
    pair.publishingHost = lossyHost(sending);
    pair.subscribingHost = lossyHost(receiving);
    const qara::nimb::Nimb::Properties reliable{{"dds.qos.profile.library", "reliable"}};
    auto publisher = pair.makePublisher({}, reliable);
    auto subscriber = pair.makeSubscriber({}, reliable);
    pair.waitUntilMatched(*publisher, *subscriber);
    publishNumbered(*publisher, 1, kSamples, 1ms);

    std::vector<std::shared_ptr<qara::nimb::ps::DataEvent<Fast::Interface>>> events;
    subscriber->readDataEvents({}, events, kSamples, 30s);
    std::vector<uint32_t> numbers;
    for (const auto& event : events)
    {
        numbers.push_back(numberOf(*event));
    }
    EXPECT_EQ(numbers, numbersUpTo(kSamples));
    EXPECT_FALSE(sending->test_transport_options->test_UDPv4Transport_DropLog.empty() &&
                 receiving->test_transport_options->test_UDPv4Transport_DropLog.empty())
        << "nothing was dropped: the test proves nothing";
}

}  // namespace
