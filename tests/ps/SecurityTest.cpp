// DDS Security between `tarvex perf` processes: authorised participants exchange every sample encrypted,
// outsiders neither receive nor inject anything, and a participant without permission for a topic cannot
// subscribe to it.
#include "Plugin.hpp"
#include "TarvexProcess.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 227;
constexpr int kSamples = 20;
// The submessage that wraps a whole protected RTPS message.
constexpr unsigned char kSrtpsPrefix = 0x33;
constexpr std::size_t kRtpsHeaderSize = 20;
const std::string kTopic = "PsMeasurements";

using Message = std::vector<unsigned char>;

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

    // Only the publisher sends there: the group is the watched subscriber's for user data alone.
    std::vector<Message> messages()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
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
    // Guards m_messages; taken alone.
    std::mutex m_mutex;
    std::vector<Message> m_messages;
    std::thread m_thread;
};

// What `tarvex perf` leaves in the clear without security: its first array, six doubles of 1, in CDR's
// little-endian bytes on this machine.
Message plaintext()
{
    const std::array<double, 6> ones = {1, 1, 1, 1, 1, 1};
    Message bytes(sizeof ones);
    std::memcpy(bytes.data(), ones.data(), sizeof ones);
    return bytes;
}

bool containsPlaintext(const Message& message)
{
    const Message run = plaintext();
    return std::search(message.begin(), message.end(), run.begin(), run.end()) != message.end();
}

class Security : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(credentials().problem, ""); }

    // A perf process whose participant profile the URI names, or with `--property` when `byProperty`.
    static std::unique_ptr<TarvexProcess> start(const std::string& role, const std::string& uri,
                                                const std::string& profile, std::vector<std::string> extra = {},
                                                bool byProperty = false)
    {
        extra.insert(extra.end(), {"--count", std::to_string(kSamples), "--property",
                                   "dds.xml.profiles.file=" + credentials().profiles});
        if (byProperty)
        {
            extra.insert(extra.end(), {"--property", "dds.participant.profile=" + profile});
        }
        return std::make_unique<TarvexProcess>(
            perf(role, kTopic, byProperty ? uri : uri + "?participant=" + profile, extra));
    }

    // Every sample, once, from the first.
    static void expectEverySample(const nlohmann::json& received)
    {
        EXPECT_EQ(received["exit"], 0) << received["output"];
        EXPECT_EQ(received["received"], kSamples);
        EXPECT_EQ(received["first"], 1);
        EXPECT_EQ(received["lost"], 0);
        EXPECT_EQ(received["duplicates"], 0) << "samples of another publisher came in";
    }

    const std::string uri = uniqueUri(kDomain, "secured");
};

// Both ends secured, the subscriber receiving on the watched group: every sample arrives, and what crossed
// the wire was protected.
TEST_F(Security, SamplesCrossTheWireEncrypted)
{
    WireWatch watch(credentials().watch);
    auto subscriber = start("sub", uri, "WatchedAuthorisedSubscriber", {}, true);
    EXPECT_EQ(start("pub", uri, "AuthorisedPublisher", {"--rate", "100"})->result()["readers"], 1);
    expectEverySample(subscriber->result());
    const auto messages = watch.messages();
    EXPECT_GE(messages.size(), static_cast<std::size_t>(kSamples));
    for (const auto& message : messages)
    {
        ASSERT_EQ(message[kRtpsHeaderSize], kSrtpsPrefix);
        ASSERT_FALSE(containsPlaintext(message));
    }
}

// The same watch finds every sample of unsecured participants in the clear, so that finding none above
// means something.
TEST_F(Security, WireWatchFindsPlaintextWithoutSecurity)
{
    WireWatch watch(credentials().watch);
    auto subscriber = start("sub", uri, "WatchedUnsecured");
    start("pub", uri, "Unsecured", {"--rate", "100"})->result();
    expectEverySample(subscriber->result());
    const auto messages = watch.messages();
    EXPECT_GE(std::count_if(messages.begin(), messages.end(), containsPlaintext), kSamples);
}

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
    expectEverySample(subscriber->result());
    expectEverySample(outsiderSubscriber->result());
}

// Unsecured: no security at all. Rogue: identity from a CA the others do not trust. Forger: sound identity,
// governance and permissions signed by a CA the others do not trust.
INSTANTIATE_TEST_SUITE_P(Security, Outsider, ::testing::Values("Unsecured", "Rogue", "Forger"),
                         [](const auto& info) { return std::string(info.param); });

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
