// Processes that die or stop in the middle of a stream: the survivors keep working and nothing waits
// longer than it was told to.
#include "Deliveries.hpp"
#include "LogCapture.hpp"
#include "Matching.hpp"
#include "PubSubPair.hpp"
#include "TarvexProcess.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::InstanceState;
using qara::nimb::ps::Subscriber;

namespace {

constexpr uint32_t kDomain = 222;
const std::string kProfiles = TARVEX_PS_TEST_DATA "/Reliable.xml";
const std::string kMedium = Medium::name();

using Pair = PubSubPair<Medium>;
using T = Pair::T;

// The sequence number `tarvex perf` puts in a sample of SaMeasurements_medium.
uint32_t sequenceOf(const DataEvent<T>& event)
{
    return static_cast<uint32_t>(event.getData()->getImplementations_fb_main_cell_sttlm_esaactuatorstate());
}

TEST(Faults, SubscriberProcessKilledMidStreamIsReplacedAndTheStreamGoesOn)
{
    const std::string uri = uniqueUri(kDomain, "subscriberkilled");
    TarvexProcess publisher(perf("pub", kMedium, uri, {"--rate", "100"}));
    {
        TarvexProcess killed(perf("sub", kMedium, uri));
        ASSERT_TRUE(killed.waitForReceived(20)) << killed.output();
        killed.signal(SIGKILL);
        EXPECT_EQ(killed.exitCode(10s), -1) << "killed, not exited";
    }
    const auto received = TarvexProcess(perf("sub", kMedium, uri, {"--count", "20"})).result();
    EXPECT_EQ(received["exit"], 0) << received["output"];
    EXPECT_GT(received["first"], 20) << "the publisher went on streaming";
    EXPECT_EQ(received["lost"], 0);
    EXPECT_EQ(received["out_of_order"], 0);

    publisher.signal(SIGTERM);
    const auto sent = publisher.result(30s);
    EXPECT_EQ(sent["exit"], 0) << "the publisher closes cleanly after losing its reader";
    EXPECT_GE(sent["sent"], 40);
}

// A best-effort subscriber whose process stops while the stream goes on: what its receive buffers cannot
// hold is lost, and it counts exactly that.
TEST(Faults, StoppedBestEffortSubscriberCountsWhatItLost)
{
    const std::string uri = uniqueUri(kDomain, "subscriberstopped");
    // Over UDP the kernel drops what the socket cannot hold; shared memory would give up on the reader.
    const std::vector<std::string> udp = {"FASTDDS_BUILTIN_TRANSPORTS=UDPv4"};
    TarvexProcess subscriber(perf("sub", "SaMeasurements_fast", uri), udp);
    TarvexProcess publisher(perf("pub", "SaMeasurements_fast", uri, {"--rate", "2000", "--count", "12000"}), udp);
    ASSERT_TRUE(subscriber.waitForReceived(100)) << subscriber.output();
    subscriber.signal(SIGSTOP);
    std::this_thread::sleep_for(3s);
    subscriber.signal(SIGCONT);
    const auto sent = publisher.result();
    // The last samples get a moment to arrive.
    std::this_thread::sleep_for(1s);
    subscriber.signal(SIGINT);
    const auto received = subscriber.result();
    EXPECT_EQ(received["exit"], 0) << received["output"];
    EXPECT_EQ(received["first"], 1);
    EXPECT_GT(received["lost"], 0) << "nothing was dropped: the test proves nothing";
    EXPECT_EQ(received["received"].get<int>() + received["lost"].get<int>(), sent["sent"].get<int>()) << sent["output"];
    EXPECT_EQ(received["duplicates"], 0);
}

// Every kind of subscription of a subscriber that outlives the publisher process: a notifier that wants any
// instance state, a listener and a polled subscription. The publisher runs with a short participant lease,
// so that its loss is noticed in seconds.
TEST(Faults, SubscriberOutlivesAKilledPublisherAndHearsItsSuccessor)
{
    // Declared first, so that they outlive the subscriptions that fill them.
    std::atomic<int> notifications{0};
    std::atomic<int> invalid{0};
    Deliveries listened;
    Deliveries polled;
    const auto record = [&](Deliveries& deliveries, const DataEvent<T>& event) {
        invalid += event.hasValidData() ? 0 : 1;
        if (event.hasValidData())
        {
            deliveries.add(sequenceOf(event));
        }
    };
    Pair pair(uniqueUri(kDomain, "publisherkilled"));
    auto notifiedSubscriber = pair.makeSubscriber();
    auto listenedSubscriber = pair.makeSubscriber();
    auto polledSubscriber = pair.makeSubscriber();
    const DataEventFilter<T> any(nullptr, InstanceState::ANY, {});
    std::vector<std::unique_ptr<qara::nimb::ps::Subscription>> handles;
    handles.push_back(notifiedSubscriber->subscribeAsync(any, [&](Subscriber<T>&) { ++notifications; }));
    handles.push_back(listenedSubscriber->subscribeAsync(
        any, [&](Subscriber<T>&, const DataEvent<T>& event) { record(listened, event); }));
    handles.push_back(
        polledSubscriber->subscribe(any, [&](Subscriber<T>&, const DataEvent<T>& event) { record(polled, event); }));
    // Polls while waiting, as an application's loop would.
    const auto pollUntil = [&](const std::function<bool()>& done, std::chrono::seconds limit) {
        return waitUntil(
            [&] {
                polledSubscriber->poll(0, 50ms);
                return done();
            },
            limit);
    };
    const auto heardSince = [&](int notified, std::size_t listenedCount, std::size_t polledCount) {
        return notifications > notified && listened.values().size() >= listenedCount + 10 &&
               polled.values().size() >= polledCount + 10;
    };
    const std::vector<std::string> shortLease = {"--readers",  "0",
                                                 "--rate",     "200",
                                                 "--property", "dds.xml.profiles.file=" + kProfiles,
                                                 "--property", "dds.participant.profile=short_lease"};
    {
        TarvexProcess publisher(perf("pub", kMedium, pair.uri, shortLease));
        ASSERT_TRUE(pollUntil([&] { return heardSince(0, 0, 0); }, 30s)) << publisher.output();
        publisher.signal(SIGKILL);
        EXPECT_EQ(publisher.exitCode(10s), -1);
    }
    for (auto* subscriber : {notifiedSubscriber.get(), listenedSubscriber.get(), polledSubscriber.get()})
    {
        ASSERT_TRUE(waitUntil([&] { return matchedCount(Pair::readerOf(*subscriber)) == 0; }, 15s))
            << "the killed writer was never noticed as gone";
    }
    const int notifiedBefore = notifications;
    const std::size_t listenedBefore = listened.values().size();
    const std::size_t polledBefore = polled.values().size();
    // Every subscription hears the successor, which numbers its samples afresh, without a gap.
    TarvexProcess successor(perf("pub", kMedium, pair.uri, shortLease));
    ASSERT_TRUE(pollUntil([&] { return heardSince(notifiedBefore, listenedBefore, polledBefore); }, 30s));
    const auto numbers = listened.values();
    for (std::size_t i = listenedBefore + 1; i < numbers.size(); ++i)
    {
        EXPECT_EQ(numbers[i], numbers[i - 1] + 1) << "a gap in what came from the successor";
    }
    EXPECT_EQ(invalid, 0) << "a listener or poll callback was given a sample without data";
    successor.signal(SIGTERM);
    EXPECT_EQ(successor.result(30s)["exit"], 0);
}

// A reliable reader in a process that has stopped answering: closing the publisher waits for its
// acknowledgements only as long as the property allows.
TEST(Faults, ClosingAPublisherWaitsForAStoppedReliableReaderNoLongerThanTheProperty)
{
    const std::string uri = uniqueUri(kDomain, "stoppedreader");
    TarvexProcess reader(
        perf("sub", kMedium, uri,
             {"--property", "dds.xml.profiles.file=" + kProfiles, "--property", "dds.qos.profile.library=reliable"}));
    Pair pair(uri);
    pair.publishingHost =
        std::make_shared<qara::nimb::DdsNimb>(qara::nimb::Nimb::Properties{{"dds.xml.profiles.file", kProfiles}});
    auto publisher =
        pair.makePublisher({}, {{"dds.qos.profile.library", "reliable"}, {"dds.wait_for_ack.timeout_ms", "1000"}});
    ASSERT_TRUE(waitUntil([&] { return matchedCount(Pair::writerOf(*publisher)) == 1; }, 30s));
    // The reader drops what comes before it has matched the writer in turn: publish until it has some.
    const auto entity = publisher->createDataEntity();
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    do
    {
        publisher->publish(*entity, 0ms);
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << reader.output();
    } while (!reader.waitForReceived(3, 200ms));

    reader.signal(SIGSTOP);
    publishNumbered(*publisher, 4, 50);
    LogCapture warnings("nimbDdsPublisher", log4cplus::WARN_LOG_LEVEL);
    const auto start = std::chrono::steady_clock::now();
    publisher->close();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    reader.signal(SIGCONT);

    EXPECT_TRUE(warnings.contains(log4cplus::WARN_LOG_LEVEL, "Writer waiting for acknowledgment failed code:1"));
    EXPECT_GE(elapsed, 900ms) << "did not wait for the stopped reader at all";
    EXPECT_LT(elapsed, 3000ms) << "waited well beyond the 1000 ms asked for";
}

}  // namespace
