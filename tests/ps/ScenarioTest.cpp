// Scenarios between processes: `tarvex perf` publishers and subscribers in processes of their own, some of
// which die or stop in the middle of a stream (the survivors keep working and nothing waits longer than it
// was told to) or are secured.
#include "Deliveries.hpp"
#include "LogCapture.hpp"
#include "PubSubPair.hpp"
#include "TarvexProcess.hpp"

#include <fastdds/dds/domain/DomainParticipantFactory.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <tuple>

using namespace std::chrono_literals;
using namespace tarvex_test;
using qara::nimb::ps::DataEvent;
using qara::nimb::ps::DataEventFilter;
using qara::nimb::ps::InstanceState;
using qara::nimb::ps::Subscriber;
namespace edds = eprosima::fastdds::dds;

namespace {

constexpr uint32_t kFaultDomain = 222;
const std::string kProfiles = TARVEX_PS_TEST_DATA "/Reliable.xml";
const std::string kMedium = Medium::name();

using Pair = PubSubPair<Medium>;
using T = Pair::T;

// Every kind of subscription of a subscriber that outlives the publisher process: a notifier that wants any
// instance state, a listener and a polled subscription. The publisher runs with a short participant lease,
// so that its loss is noticed in seconds.
TEST(Faults, SubscriberOutlivesAKilledPublisherAndHearsItsSuccessor)
{
    // Declared first, so that they outlive the subscriptions that fill them: notified, listened, polled.
    Deliveries heard[3];
    std::atomic<int> invalid{0};
    Pair pair(uniqueUri(kFaultDomain, "publisherkilled"));
    std::unique_ptr<Subscriber<T>> subscribers[3] = {pair.makeSubscriber(), pair.makeSubscriber(),
                                                     pair.makeSubscriber()};
    const DataEventFilter<T> any(nullptr, InstanceState::ANY, {});
    // The sequence number `tarvex perf` puts in a sample of SaMeasurements_medium.
    const auto record = [&](Deliveries& deliveries) {
        return [&](Subscriber<T>&, const DataEvent<T>& event) {
            invalid += event.hasValidData() ? 0 : 1;
            event.hasValidData() ? deliveries.add(static_cast<uint32_t>(
                                       event.getData()->getImplementations_fb_main_cell_sttlm_esaactuatorstate()))
                                 : void();
        };
    };
    std::unique_ptr<qara::nimb::ps::Subscription> handles[] = {
        subscribers[0]->subscribeAsync(any, [&](Subscriber<T>&) { heard[0].add(0); }),
        subscribers[1]->subscribeAsync(any, record(heard[1])), subscribers[2]->subscribe(any, record(heard[2]))};
    // Polls while waiting, as an application's loop would, until every subscription has heard more.
    const auto heardMore = [&] {
        const std::size_t before[3] = {heard[0].values().size(), heard[1].values().size(), heard[2].values().size()};
        return waitUntil(
            [&] {
                subscribers[2]->poll(0, 50ms);
                return heard[0].values().size() > before[0] && heard[1].values().size() >= before[1] + 10 &&
                       heard[2].values().size() >= before[2] + 10;
            },
            30s);
    };
    const std::vector<std::string> shortLease = {"--readers",  "0",
                                                 "--rate",     "200",
                                                 "--property", "dds.xml.profiles.file=" + kProfiles,
                                                 "--property", "dds.participant.profile=short_lease"};
    {
        TarvexProcess publisher(perf("pub", kMedium, pair.uri, shortLease));
        ASSERT_TRUE(heardMore()) << publisher.output();
        publisher.signal(SIGKILL);
        EXPECT_EQ(publisher.exitCode(10s), -1);
    }
    for (auto& subscriber : subscribers)
    {
        ASSERT_TRUE(waitUntil([&] { return matchedCount(Pair::readerOf(*subscriber)) == 0; }, 15s))
            << "the killed writer was never noticed as gone";
    }
    // Every subscription hears the successor, which numbers its samples afresh, without a gap.
    const std::size_t listenedBefore = heard[1].values().size();
    TarvexProcess successor(perf("pub", kMedium, pair.uri, shortLease));
    ASSERT_TRUE(heardMore());
    const auto numbers = heard[1].values();
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
    const std::string uri = uniqueUri(kFaultDomain, "stoppedreader");
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
    ASSERT_TRUE(waitUntil([&] { return publishNumbered(*publisher, 1, 1), reader.waitForReceived(3, 200ms); }, 60s))
        << reader.output();

    reader.signal(SIGSTOP);
    publishNumbered(*publisher, 4, 50);
    LogCapture warnings("nimbDdsPublisher", log4cplus::WARN_LOG_LEVEL);
    const auto start = std::chrono::steady_clock::now();
    publisher->close();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    reader.signal(SIGCONT);

    EXPECT_TRUE(warnings.contains(log4cplus::WARN_LOG_LEVEL, "Writer waiting for acknowledgment failed code:1"));
    EXPECT_GE(elapsed, 900ms) << "did not wait for the stopped reader at all";
    EXPECT_LT(elapsed, 30s) << "went on waiting for the stopped reader";
}

// A publisher and subscriber in two processes, for every topic and every pairing of the plug-in and plain
// Fast DDS: the subscriber gets every sample once, in order, from the first on.
constexpr uint32_t kTwoProcessDomain = 230;
constexpr int kTwoProcessSamples = 200;

TEST(TwoProcesses, SubscriberGetsEverySampleOnceInOrder)
{
    const std::string count = std::to_string(kTwoProcessSamples);
    const std::tuple<const char*, const char*, const char*> exchanges[] = {
        {"PsMeasurements", "plugin", "plugin"},        {"SaMeasurements_slow", "plugin", "plugin"},
        {"SaMeasurements_medium", "plugin", "plugin"}, {"SaMeasurements_fast", "plugin", "plugin"},
        {"SaMeasurements_slow", "plain", "plugin"},    {"SaMeasurements_fast", "plugin", "plain"},
        {"PsMeasurements", "plain", "plain"}};
    for (const auto& [topic, pubPath, subPath] : exchanges)
    {
        SCOPED_TRACE(std::string(topic) + " " + pubPath + " to " + subPath);
        const std::string uri = uniqueUri(kTwoProcessDomain, std::string(topic) + pubPath + subPath);
        TarvexProcess subscriber(perf("sub", topic, uri, {"--path", subPath, "--count", count}));
        TarvexProcess publisher(perf("pub", topic, uri, {"--path", pubPath, "--count", count, "--rate", "500"}));
        const auto sent = publisher.result();
        const auto received = subscriber.result();
        EXPECT_EQ(sent["exit"], 0) << sent["output"];
        EXPECT_EQ(sent["sent"], kTwoProcessSamples);
        EXPECT_EQ(sent["readers"], 1);
        expectReceivedFromTheFirst(received, kTwoProcessSamples);
        EXPECT_EQ(received["out_of_order"], 0);
        EXPECT_EQ(received["duplicates"], 0);
    }
}

// DDS Security: authorised participants exchange every sample, outsiders neither receive nor inject anything,
// and a participant without permission for a topic cannot subscribe to it.
constexpr uint32_t kSecurityDomain = 227;
constexpr int kSecuritySamples = 20;

// This process's CAs, identities, signed access documents and participant profiles (Participants.xml).
// Made once per process: Fast DDS keeps the profiles it loaded until exit, so a second file could not reuse
// the profile names.
struct Credentials
{
    Credentials() : directory(::testing::TempDir() + "nimb-security-XXXXXX")
    {
        made = ::mkdtemp(directory.data()) != nullptr &&
               std::system(("sh '" TARVEX_SECURITY_DATA "/make-credentials.sh' '" + directory + "'").c_str()) == 0;
    }
    ~Credentials()
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

    std::string directory;
    bool made = false;
};

const Credentials& credentials()
{
    static const Credentials made;
    return made;
}

class Security : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(credentials().made) << "no credentials in " << credentials().directory; }

    // A perf process whose participant profile the URI names, or with `--property` when `byProperty`.
    static std::unique_ptr<TarvexProcess> start(const std::string& role, const std::string& uri,
                                                const std::string& profile, std::vector<std::string> extra = {},
                                                bool byProperty = false)
    {
        extra.insert(extra.end(), {"--count", std::to_string(kSecuritySamples), "--property",
                                   "dds.xml.profiles.file=" + credentials().directory + "/Participants.xml"});
        if (byProperty)
        {
            extra.insert(extra.end(), {"--property", "dds.participant.profile=" + profile});
        }
        return std::make_unique<TarvexProcess>(
            perf(role, "PsMeasurements", byProperty ? uri : uri + "?participant=" + profile, extra));
    }

    const std::string uri = uniqueUri(kSecurityDomain, "secured");
};

// A participant the authorised ones must not deal with, on the topic while they are. It publishes and
// subscribes too: its subscriber getting its own samples shows it live on the topic all along.
class Outsider : public Security, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(Outsider, GetsNothingAndInjectsNothingWhileTheAuthorisedExchangeEverything)
{
    auto outsiderSubscriber = start("sub", uri, GetParam());
    auto subscriber = start("sub", uri, "AuthorisedSubscriber", {}, true);
    auto outsiderPublisher = start("pub", uri, GetParam(), {"--rate", "100"});
    auto publisher = start("pub", uri, "AuthorisedPublisher", {"--rate", "100"});
    EXPECT_EQ(publisher->result()["readers"], 1) << "the authorised publisher matched more than its subscriber";
    EXPECT_EQ(outsiderPublisher->result()["readers"], 1) << "the outsider's publisher matched more than its own";
    for (auto* process : {subscriber.get(), outsiderSubscriber.get()})
    {
        const auto received = process->result();
        expectReceivedFromTheFirst(received, kSecuritySamples);
        EXPECT_EQ(received["duplicates"], 0) << "samples of another publisher came in";
    }
}

// Unsecured: no security at all. Rogue: identity from a CA the others do not trust. Forger: sound identity,
// governance and permissions signed by a CA the others do not trust.
INSTANTIATE_TEST_SUITE_P(Security, Outsider, ::testing::Values("Unsecured", "Rogue", "Forger"),
                         [](const auto& param) { return std::string(param.param); });

TEST_F(Security, SubscribingNeedsPermissionForTheTopic)
{
    // The bystander's participant publishes where it may, so the refusal below is about the topic.
    const auto allowed = start("pub", "dds.ps://227/unrelated", "Bystander", {"--readers", "0"})->result();
    EXPECT_EQ(allowed["exit"], 0) << allowed["output"];
    const auto refused = start("sub", uri, "Bystander")->result();
    EXPECT_EQ(refused["exit"], 1);
    EXPECT_NE(refused["output"].get<std::string>().find("Failed to create reader"), std::string::npos)
        << refused["output"];
}

}  // namespace
