#include "LogCapture.hpp"
#include "PubSubPair.hpp"
#include "SampleCheck.hpp"

#include <qara/nimb/DdsNimb.hpp>

#include <fastdds/dds/domain/DomainParticipantFactory.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 227;
constexpr uint32_t kSamples = 20;
// The submessage that wraps a whole protected RTPS message.
constexpr unsigned char kSrtpsPrefix = 0x33;
constexpr std::size_t kRtpsHeaderSize = 20;

using Ps = Topic<generated::ddsimpl::tarvex::PsMeasurements>;
using Pair = PubSubPair<Ps>;
using T = Ps::Interface;
using W = Ps::Wire;
using Message = std::vector<unsigned char>;
using qara::nimb::ps::Publisher;
using qara::nimb::ps::Subscriber;

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void replaceAll(std::string& text, const std::string& placeholder, const std::string& value)
{
    for (auto at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
    {
        text.replace(at, placeholder.size(), value);
    }
}

// This process's CAs, identities, signed access documents and participant profiles, and a socket on the
// multicast group that watched subscribers receive on. Made once per process: Fast DDS keeps the profiles it
// loaded until exit, so a second file could not reuse the profile names.
struct Credentials
{
    Credentials()
    {
        std::string pattern = ::testing::TempDir() + "nimb-security-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
        {
            problem = "no temporary directory";
            return;
        }
        directory = pattern;
        const std::string command = "sh '" TARVEX_SECURITY_DATA "/make-credentials.sh' '" + directory + "'";
        const int status = std::system(command.c_str());
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        {
            problem = "failed: " + command;
            return;
        }
        if (!openWatch())
        {
            problem = "cannot listen on a multicast group";
            return;
        }
        std::string text = readFile(TARVEX_SECURITY_DATA "/Participants.xml.in");
        replaceAll(text, "@CREDENTIALS@", directory);
        replaceAll(text, "@WATCH_GROUP@", group);
        replaceAll(text, "@WATCH_PORT@", std::to_string(port));
        profiles = directory + "/Participants.xml";
        std::ofstream(profiles) << text;
    }

    ~Credentials()
    {
        if (watch >= 0)
        {
            ::close(watch);
        }
        if (!directory.empty())
        {
            std::error_code ignored;
            std::filesystem::remove_all(directory, ignored);
        }
    }

    // Group and port depend on the process, for runs side by side.
    bool openWatch()
    {
        const auto pid = static_cast<unsigned>(::getpid());
        group = "239.255.227." + std::to_string(1 + pid % 254);
        watch = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int yes = 1;
        ::setsockopt(watch, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        // 200 above a domain's port base is beyond the offsets Fast DDS uses for a handful of participants.
        for (unsigned attempt = 0; attempt < 200; ++attempt)
        {
            port = static_cast<uint16_t>(7400 + 250 * (20 + (pid + attempt) % 200) + 200);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_ANY);
            if (::bind(watch, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0)
            {
                ip_mreq membership{};
                ::inet_pton(AF_INET, group.c_str(), &membership.imr_multiaddr);
                membership.imr_interface.s_addr = htonl(INADDR_ANY);
                return ::setsockopt(watch, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof(membership)) == 0;
            }
        }
        return false;
    }

    std::string problem;
    std::string directory;
    std::string profiles;
    std::string group;
    uint16_t port = 0;
    int watch = -1;
};

Credentials& credentials()
{
    static Credentials made;
    return made;
}

// Collects the RTPS messages arriving on the watched group while it lives.
class WireWatch
{
public:
    explicit WireWatch(int socket) : m_socket(socket), m_thread([this] { run(); }) {}

    ~WireWatch()
    {
        m_stop = true;
        m_thread.join();
    }

    // Those sent by the participant with this GUID prefix.
    std::vector<Message> from(const eprosima::fastdds::rtps::GuidPrefix_t& prefix)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Message> found;
        for (const auto& message : m_messages)
        {
            if (std::equal(prefix.value, prefix.value + prefix.size, message.begin() + 8))
            {
                found.push_back(message);
            }
        }
        return found;
    }

private:
    void run()
    {
        Message buffer(65536);
        while (!m_stop)
        {
            pollfd ready{m_socket, POLLIN, 0};
            if (::poll(&ready, 1, 20) != 1)
            {
                continue;
            }
            const auto size = ::recv(m_socket, buffer.data(), buffer.size(), 0);
            if (size > static_cast<ssize_t>(kRtpsHeaderSize) && std::equal(buffer.begin(), buffer.begin() + 4, "RTPS"))
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_messages.emplace_back(buffer.begin(), buffer.begin() + size);
            }
        }
    }

    int m_socket;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<Message> m_messages;
    std::thread m_thread;
};

// Runs of a sample's bytes too long to turn up by chance in ciphertext: its array fields.
std::vector<Message> plaintextOf(const W& sample)
{
    std::vector<Message> runs;
    sample.visitFields([&](const char*, const auto& field) {
        if constexpr (sizeof(field) >= 16)
        {
            const auto* begin = reinterpret_cast<const unsigned char*>(&field);
            runs.emplace_back(begin, begin + sizeof(field));
        }
    });
    return runs;
}

bool contains(const Message& message, const Message& run)
{
    return std::search(message.begin(), message.end(), run.begin(), run.end()) != message.end();
}

class Security : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(credentials().problem, "");
        host = std::make_shared<qara::nimb::DdsNimb>(
            qara::nimb::Nimb::Properties{{"dds.xml.profiles.file", credentials().profiles}});
    }

    // The profile named by the URI.
    std::unique_ptr<Publisher<T>> publisherOn(const std::string& profile)
    {
        Pair pair(uri + "?participant=" + profile);
        pair.publishingHost = host;
        return pair.makePublisher();
    }

    std::unique_ptr<Subscriber<T>> subscriberOn(const std::string& profile)
    {
        Pair pair(uri + "?participant=" + profile);
        pair.subscribingHost = host;
        return pair.makeSubscriber();
    }

    // The profile named by the property.
    std::unique_ptr<Subscriber<T>> subscriberWithProperty(const std::string& profile)
    {
        Pair pair(uri);
        pair.subscribingHost = host;
        return pair.makeSubscriber({}, {{"dds.participant.profile", profile}});
    }

    // Publishes the distinct sample of `seed` and returns its checksum. The pause lets best-effort readers
    // keep up.
    static std::string publish(Publisher<T>& publisher, uint32_t seed)
    {
        const auto sample = makeDistinctSample<W>(seed);
        auto entity = publisher.createDataEntity();
        static_cast<Ps::Entity&>(*entity) = sample;
        publisher.publish(*entity, 1000ms);
        std::this_thread::sleep_for(10ms);
        return checksum(sample);
    }

    static std::vector<std::string> received(Subscriber<T>& subscriber)
    {
        std::vector<std::string> sums;
        for (const auto& entity : subscriber.read(0))
        {
            sums.push_back(checksum(Pair::wireOf(*entity)));
        }
        return sums;
    }

    const std::string uri = uniqueUri(kDomain, "secured");
    std::shared_ptr<qara::nimb::Nimb> host;
};

// Both ends secured, the subscriber receiving on the watched group: every sample arrives, and what crossed
// the wire was protected.
TEST_F(Security, SamplesCrossTheWireEncrypted)
{
    WireWatch watch(credentials().watch);
    auto publisher = publisherOn("AuthorisedPublisher");
    auto subscriber = subscriberWithProperty("WatchedAuthorisedSubscriber");
    Pair::waitUntilMatched(*publisher, *subscriber);
    std::vector<std::string> sent;
    for (uint32_t seed = 1; seed <= kSamples; ++seed)
    {
        sent.push_back(publish(*publisher, seed));
    }
    ASSERT_TRUE(Pair::waitForUnread(*subscriber, kSamples));
    EXPECT_EQ(received(*subscriber), sent);

    const auto messages = watch.from(Pair::writerOf(*publisher).guid().guidPrefix);
    EXPECT_GE(messages.size(), kSamples);
    for (const auto& message : messages)
    {
        ASSERT_EQ(message[kRtpsHeaderSize], kSrtpsPrefix);
        for (uint32_t seed = 1; seed <= kSamples; ++seed)
        {
            for (const auto& run : plaintextOf(makeDistinctSample<W>(seed)))
            {
                ASSERT_FALSE(contains(message, run)) << "plaintext of sample " << seed;
            }
        }
    }
}

// The same watch finds every sample of unsecured participants in the clear, so that finding none above
// means something.
TEST_F(Security, WireWatchFindsPlaintextWithoutSecurity)
{
    eprosima::fastdds::LibrarySettings settings;
    eprosima::fastdds::dds::DomainParticipantFactory::get_instance()->get_library_settings(settings);
    ASSERT_EQ(settings.intraprocess_delivery, eprosima::fastdds::IntraprocessDeliveryType::INTRAPROCESS_OFF)
        << "the host did not apply the profiles' library settings; samples would be handed over in memory";

    WireWatch watch(credentials().watch);
    auto publisher = publisherOn("Unsecured");
    auto subscriber = subscriberOn("WatchedUnsecured");
    Pair::waitUntilMatched(*publisher, *subscriber);
    for (uint32_t seed = 1; seed <= kSamples; ++seed)
    {
        publish(*publisher, seed);
    }
    ASSERT_TRUE(Pair::waitForUnread(*subscriber, kSamples));

    const auto messages = watch.from(Pair::writerOf(*publisher).guid().guidPrefix);
    uint32_t seen = 0;
    for (uint32_t seed = 1; seed <= kSamples; ++seed)
    {
        const auto run = plaintextOf(makeDistinctSample<W>(seed)).front();
        seen += std::any_of(messages.begin(), messages.end(), [&](const auto& m) { return contains(m, run); });
    }
    EXPECT_EQ(seen, kSamples);
}

// A participant the authorised ones must not deal with, on the topic while they are. It publishes and
// subscribes too: its reader getting its own samples shows it live on the topic all along.
class Outsider : public Security, public ::testing::WithParamInterface<const char*>
{
};

TEST_P(Outsider, GetsNothingAndInjectsNothingWhileTheAuthorisedExchangeEverything)
{
    auto outsiderSubscriber = subscriberOn(GetParam());
    auto outsiderPublisher = publisherOn(GetParam());
    auto publisher = publisherOn("AuthorisedPublisher");
    auto subscriber = subscriberWithProperty("AuthorisedSubscriber");
    Pair::waitUntilMatched(*publisher, *subscriber);
    Pair::waitUntilMatched(*outsiderPublisher, *outsiderSubscriber);

    std::vector<std::string> sent;
    std::vector<std::string> sentByOutsider;
    for (uint32_t seed = 1; seed <= kSamples; ++seed)
    {
        sent.push_back(publish(*publisher, seed));
        sentByOutsider.push_back(publish(*outsiderPublisher, 1000 + seed));
    }
    ASSERT_TRUE(Pair::waitForUnread(*subscriber, kSamples));
    ASSERT_TRUE(Pair::waitForUnread(*outsiderSubscriber, kSamples));
    // Time for anything still on its way to the wrong reader.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(received(*subscriber), sent);
    EXPECT_EQ(received(*outsiderSubscriber), sentByOutsider);

    eprosima::fastdds::dds::PublicationMatchedStatus publication;
    Pair::writerOf(*publisher).get_publication_matched_status(publication);
    EXPECT_EQ(publication.total_count, 1) << "the authorised publisher matched more than the authorised subscriber";
    Pair::writerOf(*outsiderPublisher).get_publication_matched_status(publication);
    EXPECT_EQ(publication.total_count, 1) << "the outsider's publisher matched more than its own subscriber";
    eprosima::fastdds::dds::SubscriptionMatchedStatus subscription;
    Pair::readerOf(*subscriber).get_subscription_matched_status(subscription);
    EXPECT_EQ(subscription.total_count, 1) << "the authorised subscriber matched more than the authorised publisher";
}

// Unsecured: no security at all. Rogue: identity from a CA the others do not trust. Forger: sound identity,
// governance and permissions signed by a CA the others do not trust.
INSTANTIATE_TEST_SUITE_P(Security, Outsider, ::testing::Values("Unsecured", "Rogue", "Forger"),
                         [](const auto& info) { return std::string(info.param); });

TEST_F(Security, SubscribingNeedsPermissionForTheTopic)
{
    // The bystander's participant publishes where it may, so the refusal below is about the topic.
    Pair elsewhere("dds.ps://227/unrelated?participant=Bystander");
    elsewhere.publishingHost = host;
    const auto allowed = elsewhere.makePublisher();

    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);
    try
    {
        subscriberOn("Bystander");
        FAIL() << "subscribed without permission";
    }
    catch (const std::runtime_error& refused)
    {
        EXPECT_STREQ(refused.what(), "Failed to create reader");
    }
    EXPECT_TRUE(errors.contains(log4cplus::ERROR_LOG_LEVEL, "Failed to create reader"));
}

}  // namespace
