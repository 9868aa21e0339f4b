// Processes that die or stop in the middle of a stream: the survivors keep working and nothing waits
// longer than it was told to.
#include "Deliveries.hpp"
#include "LogCapture.hpp"
#include "Matching.hpp"
#include "PeerProcess.hpp"
#include "PubSubPair.hpp"
#include "SampleCheck.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <sstream>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::InstanceState;
using qara::nimb::ps::Subscriber;
namespace edds = eprosima::fastdds::dds;

namespace {

constexpr uint32_t kDomain = 222;
const std::string kProfiles = TARVEX_PS_TEST_DATA "/Reliable.xml";

using Pair = PubSubPair<Medium>;
using T = Pair::T;
using W = Pair::W;

// Reads `count` "<number> <checksum>" lines of a listening peer and returns the numbers; each checksum must
// be that of the sample the number was made from.
std::vector<uint32_t> receivedBy(Peer& listener, std::size_t count)
{
    std::vector<uint32_t> numbers;
    while (numbers.size() < count)
    {
        const auto line = listener.readLine(30s);
        if (!line)
        {
            ADD_FAILURE() << "the listener stopped after " << numbers.size() << " samples";
            break;
        }
        std::istringstream fields(*line);
        uint32_t number = 0;
        std::string sum;
        fields >> number >> sum;
        EXPECT_EQ(sum, checksum(makeDistinctSample<W>(number))) << "sample " << number;
        numbers.push_back(number);
    }
    return numbers;
}

TEST(Faults, SubscriberProcessKilledMidStreamIsReplacedAndTheStreamGoesOn)
{
    const std::string uri = uniqueUri(kDomain, "subscriberkilled");
    Peer publisher({"stream", Medium::name(), uri, "5"});
    uint32_t lastBeforeKill = 0;
    {
        Peer listener({"listen", Medium::name(), uri});
        ASSERT_TRUE(listener.waitForLine("matched", 30s));
        lastBeforeKill = receivedBy(listener, 20).back();
        listener.signal(SIGKILL);
        EXPECT_EQ(listener.exitCode(10s), -1) << "killed, not exited";
    }
    Peer restarted({"listen", Medium::name(), uri});
    ASSERT_TRUE(restarted.waitForLine("matched", 30s));
    const auto numbers = receivedBy(restarted, 20);
    ASSERT_FALSE(numbers.empty());
    EXPECT_GT(numbers.front(), lastBeforeKill) << "the publisher went on streaming";
    for (std::size_t i = 1; i < numbers.size(); ++i)
    {
        EXPECT_EQ(numbers[i], numbers[i - 1] + 1) << "a gap in what the new subscriber received";
    }

    publisher.closeInput();
    EXPECT_EQ(publisher.exitCode(30s), 0) << "the publisher closes cleanly after losing its reader";
}

// Every kind of subscription of a subscriber that outlives the publisher process: a notifier that wants any
// instance state, a listener and a polled subscription. The publisher runs with a short participant lease,
// so that its loss is noticed in seconds.
class PublisherLoss : public ::testing::Test
{
protected:
    PublisherLoss() : pair(uniqueUri(kDomain, "publisherkilled")) {}

    Peer startPublisher()
    {
        return Peer({"stream", Medium::name(), pair.uri, "5", "dds.xml.profiles.file=" + kProfiles,
                     "dds.participant.profile=short_lease"});
    }

    void subscribe()
    {
        notified = pair.makeSubscriber();
        listened = pair.makeSubscriber();
        polled = pair.makeSubscriber();
        const DataEventFilter<T> any(nullptr, InstanceState::ANY, {});
        handles.push_back(notified->subscribeAsync(any, [this](Subscriber<T>&) { ++notifications; }));
        handles.push_back(listened->subscribeAsync(
            any, [this](Subscriber<T>&, const DataEvent<T>& event) { record(listenedNumbers, event); }));
        handles.push_back(polled->subscribe(
            any, [this](Subscriber<T>&, const DataEvent<T>& event) { record(polledNumbers, event); }));
    }

    void record(Deliveries& deliveries, const DataEvent<T>& event)
    {
        if (!event.hasValidData())
        {
            ++invalidEvents;
        }
        deliveries.add(numberOf(event));
    }

    // Polls while waiting, as an application's loop would.
    bool pollUntil(const std::function<bool()>& done, std::chrono::seconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done())
        {
            if (std::chrono::steady_clock::now() > deadline)
            {
                return false;
            }
            polled->poll(0, 50ms);
        }
        return true;
    }

    bool allHeardSince(int notificationsBefore, std::size_t listenedBefore, std::size_t polledBefore, std::size_t count)
    {
        return notifications > notificationsBefore && listenedNumbers.values().size() >= listenedBefore + count &&
               polledNumbers.values().size() >= polledBefore + count;
    }

    // Declared first, so that they outlive the subscriptions that fill them.
    std::atomic<int> notifications{0};
    std::atomic<int> invalidEvents{0};
    Deliveries listenedNumbers;
    Deliveries polledNumbers;

    Pair pair;
    std::unique_ptr<Subscriber<T>> notified;
    std::unique_ptr<Subscriber<T>> listened;
    std::unique_ptr<Subscriber<T>> polled;
    std::vector<std::unique_ptr<qara::nimb::ps::Subscription>> handles;
};

TEST_F(PublisherLoss, SubscriberOutlivesAKilledPublisherAndHearsItsSuccessor)
{
    subscribe();
    {
        Peer publisher = startPublisher();
        ASSERT_TRUE(pollUntil([&] { return allHeardSince(0, 0, 0, 10); }, 30s));
        publisher.signal(SIGKILL);
        EXPECT_EQ(publisher.exitCode(10s), -1);
    }
    // Nothing more comes from the dead process once what was in flight has arrived.
    pollUntil([] { return false; }, 1s);
    const int notificationsBeforeLoss = notifications;
    const std::size_t listenedBeforeLoss = listenedNumbers.values().size();

    for (auto* subscriber : {notified.get(), listened.get(), polled.get()})
    {
        ASSERT_TRUE(waitUntil([&] { return matchedCount(Pair::readerOf(*subscriber)) == 0; }, 15s))
            << "the killed writer was never noticed as gone";
    }
    pollUntil([] { return false; }, 1s);
    std::cout << "notifications: " << notificationsBeforeLoss << " before the loss, " << notifications << " after it"
              << std::endl;
    // Keyless topics in Fast DDS 3.1: the loss of the writer changes the instance state of the samples already
    // in the reader but brings no sample and no data-available call, so the notifier is not called again.
    EXPECT_EQ(notifications, notificationsBeforeLoss);
    edds::DataReader& notifiedReader = Pair::readerOf(*notified);
    qara::nimb::ps::DdsSubscriber<T, Pair::ST>::Samples samples;
    edds::SampleInfoSeq infos;
    ASSERT_EQ(notifiedReader.read(samples, infos), edds::RETCODE_OK);
    EXPECT_EQ(infos[infos.length() - 1].instance_state, edds::NOT_ALIVE_NO_WRITERS_INSTANCE_STATE);
    notifiedReader.return_loan(samples, infos);
    EXPECT_EQ(listenedNumbers.values().size(), listenedBeforeLoss);
    EXPECT_EQ(invalidEvents, 0) << "a listener or poll callback was given a sample without data";

    // Every subscription hears the successor, which numbers its samples afresh.
    Peer successor = startPublisher();
    const std::size_t listenedAtRestart = listenedNumbers.values().size();
    const std::size_t polledAtRestart = polledNumbers.values().size();
    ASSERT_TRUE(
        pollUntil([&] { return allHeardSince(notificationsBeforeLoss, listenedAtRestart, polledAtRestart, 10); }, 30s));
    const auto listened = listenedNumbers.values();
    for (std::size_t i = listenedAtRestart + 1; i < listened.size(); ++i)
    {
        EXPECT_EQ(listened[i], listened[i - 1] + 1) << "a gap in what came from the successor";
    }
    EXPECT_EQ(invalidEvents, 0);
    successor.closeInput();
    EXPECT_EQ(successor.exitCode(30s), 0);
}

// A reliable reader in a process that has stopped answering: closing the publisher waits for its
// acknowledgements only as long as the property allows.
TEST(Faults, ClosingAPublisherWaitsForAStoppedReliableReaderNoLongerThanTheProperty)
{
    const std::string uri = uniqueUri(kDomain, "stoppedreader");
    const qara::nimb::Nimb::Properties reliable{{"dds.qos.profile.library", "reliable"},
                                                {"dds.wait_for_ack.timeout_ms", "1000"}};
    Peer listener(
        {"listen", Medium::name(), uri, "dds.xml.profiles.file=" + kProfiles, "dds.qos.profile.library=reliable"});
    Pair pair(uri);
    pair.publishingHost =
        std::make_shared<qara::nimb::DdsNimb>(qara::nimb::Nimb::Properties{{"dds.xml.profiles.file", kProfiles}});
    auto publisher = pair.makePublisher({}, reliable);
    // Each end learns of the other on its own: both must have matched before the first sample.
    ASSERT_TRUE(listener.waitForLine("matched", 30s));
    ASSERT_TRUE(waitUntil([&] { return matchedCount(Pair::writerOf(*publisher)) == 1; }, 30s));
    auto entity = publisher->createDataEntity();
    for (uint32_t seed = 1; seed <= 3; ++seed)
    {
        static_cast<Pair::ST&>(*entity) = makeDistinctSample<W>(seed);
        publisher->publish(static_cast<double>(seed), *entity, 0ms);
    }
    EXPECT_EQ(receivedBy(listener, 3), numbersUpTo(3)) << "the reader is really reliable and matched";

    listener.signal(SIGSTOP);
    for (uint32_t seed = 4; seed <= 50; ++seed)
    {
        static_cast<Pair::ST&>(*entity) = makeDistinctSample<W>(seed);
        publisher->publish(static_cast<double>(seed), *entity, 0ms);
    }
    LogCapture warnings("nimbDdsPublisher", log4cplus::WARN_LOG_LEVEL);
    const auto start = std::chrono::steady_clock::now();
    publisher->close();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    listener.signal(SIGCONT);

    EXPECT_TRUE(warnings.contains(log4cplus::WARN_LOG_LEVEL, "Writer waiting for acknowledgment failed code:1"));
    EXPECT_GE(elapsed, 900ms) << "did not wait for the stopped reader at all";
    EXPECT_LT(elapsed, 3000ms) << "waited well beyond the 1000 ms asked for";
}

}  // namespace
