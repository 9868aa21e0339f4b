// Publishers and subscribers on different hosts of one machine: each host is a network namespace, so the
// samples and the discovery that precedes them cross a real (virtual) Ethernet.
#include "NetworkNamespaces.hpp"
#include "PeerProcess.hpp"
#include "Plugin.hpp"
#include "SampleCheck.hpp"
#include "TopicTypes.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 228;
constexpr uint32_t kSamples = 50;

// Host A's address and the server's port, as data/DiscoveryClient.xml names them.
const std::string kServerAddress = "10.228.0.1";
const std::string kServerPort = "11911";
const std::string kClientProperties[] = {"dds.xml.profiles.file=" TARVEX_PS_TEST_DATA "/DiscoveryClient.xml",
                                         "dds.participant.profile=discovery_client"};

// /dev/shm is common to all namespaces: with shared memory on, samples would skip the network.
const std::vector<std::string> kUdpOnly = {"FASTDDS_BUILTIN_TRANSPORTS=UDPv4"};

// Discovery over UDP takes a few seconds, more under sanitizers.
constexpr auto kMatchLimit = 30s;
// Long enough for peers that can discover each other to do so several times over.
constexpr auto kQuietWindow = 5s;

using PsMeasurements = Topic<generated::ddsimpl::tarvex::PsMeasurements>;

enum class Host
{
    A,
    B,
    C
};

char letter(Host host)
{
    return static_cast<char>('A' + static_cast<int>(host));
}

// Hosts A, B and C (10.228.0.1 to .3), each a namespace whose eth0 is cabled by a veth pair to a port of a
// bridge in a fourth namespace, the switch. Each end of a cable is created in its own namespace, so nothing
// appears in the root namespace.
class SwitchedLan
{
public:
    enum class Multicast
    {
        Forwarded,
        Blocked
    };

    explicit SwitchedLan(Multicast multicast)
    {
        // No snooping: without an IGMP querier on this network it would only make forwarding less predictable.
        m_switch.ip({"link", "add", "br0", "type", "bridge", "mcast_snooping", "0"});
        for (std::size_t i = 0; i < m_hosts.size(); ++i)
        {
            cable(i, multicast);
        }
        m_switch.ip({"link", "set", "br0", "up"});
    }

    // Reconfigures the switch to pass multicast from now on.
    void forwardMulticast()
    {
        for (std::size_t i = 0; i < m_hosts.size(); ++i)
        {
            m_switch.ip({"link", "set", port(i), "type", "bridge_slave", "mcast_flood", "on"});
        }
    }

    std::vector<std::string> exec(Host host) const { return m_hosts.at(static_cast<std::size_t>(host)).exec(); }

private:
    static std::string port(std::size_t i) { return "port" + std::to_string(i + 1); }

    void cable(std::size_t i, Multicast multicast)
    {
        const NetworkNamespace& host = m_hosts.at(i);
        m_switch.ip({"link", "add", port(i), "type", "veth", "peer", "name", "eth0", "netns", host.name()});
        m_switch.ip({"link", "set", port(i), "master", "br0"});
        if (multicast == Multicast::Blocked)
        {
            // What stops simple discovery: Fast DDS sets the outgoing interface on each multicast socket,
            // so leaving out the route below does not keep its announcements off the wire.
            m_switch.ip({"link", "set", port(i), "type", "bridge_slave", "mcast_flood", "off"});
        }
        m_switch.ip({"link", "set", port(i), "up"});

        host.ip({"link", "set", "lo", "up"});
        host.ip({"addr", "add", "10.228.0." + std::to_string(i + 1) + "/24", "dev", "eth0"});
        host.ip({"link", "set", "eth0", "up"});
        if (multicast == Multicast::Forwarded)
        {
            host.ip({"route", "add", "224.0.0.0/4", "dev", "eth0"});
        }
    }

    NetworkNamespace m_switch{"switch"};
    std::array<NetworkNamespace, 3> m_hosts{NetworkNamespace("hostA"), NetworkNamespace("hostB"),
                                            NetworkNamespace("hostC")};
};

::testing::AssertionResult sameSamples(Host host, const std::vector<std::string>& received,
                                       const std::vector<std::string>& expected)
{
    if (received == expected)
    {
        return ::testing::AssertionSuccess();
    }
    auto failure = ::testing::AssertionFailure() << "subscriber on host " << letter(host) << " printed "
                                                 << received.size() << " sample lines of " << expected.size();
    const auto [got, wanted] = std::mismatch(received.begin(), received.end(), expected.begin(), expected.end());
    if (got != received.end() && wanted != expected.end())
    {
        failure << "; line " << (got - received.begin()) + 1 << " is " << *got << " where seed "
                << (wanted - expected.begin()) + 1 << " gives " << *wanted;
    }
    return failure;
}

// A publisher on host A and a subscriber on each of the other given hosts, all of one topic type, with the
// given host properties.
class Exchange
{
public:
    Exchange(const SwitchedLan& lan, const std::string& type, const std::vector<Host>& subscriberHosts,
             const std::vector<std::string>& properties = {})
        : m_subscribers(startSubscribers(lan, type, subscriberHosts, properties)),
          m_publisher(withProperties({"publish", type, uri(type), std::to_string(kSamples)}, properties), kUdpOnly,
                      lan.exec(Host::A))
    {
    }

    // Whether every subscriber stays silent, neither matching nor ending, for `window`.
    ::testing::AssertionResult silentFor(std::chrono::milliseconds window)
    {
        const auto until = std::chrono::steady_clock::now() + window;
        for (auto& [host, subscriber] : m_subscribers)
        {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (const auto line = subscriber->readLine(std::max(left, std::chrono::milliseconds(100))))
            {
                return ::testing::AssertionFailure()
                       << "subscriber on host " << letter(host) << " printed \"" << *line << "\"";
            }
        }
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult allMatched()
    {
        for (auto& [host, subscriber] : m_subscribers)
        {
            if (!subscriber->waitForLine("matched", kMatchLimit))
            {
                return ::testing::AssertionFailure()
                       << "subscriber on host " << letter(host) << " did not match the publisher on host A";
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Call once every subscriber has matched.
    void publishAndCheck(const std::vector<std::string>& expected)
    {
        // A subscriber's "matched" is its reader's; the publisher's writer may learn of that reader a moment
        // later, and the best-effort samples it sends before then never reach it.
        std::this_thread::sleep_for(1s);
        ASSERT_TRUE(m_publisher.writeLine("go")) << "publisher on host A ended before it was told to go";
        for (auto& [host, subscriber] : m_subscribers)
        {
            std::vector<std::string> received;
            while (auto line = subscriber->readLine(40s))
            {
                received.push_back(*line);
            }
            EXPECT_TRUE(sameSamples(host, received, expected));
            EXPECT_EQ(subscriber->exitCode(30s), 0) << "subscriber on host " << letter(host);
        }
        EXPECT_EQ(m_publisher.exitCode(30s), 0) << "publisher on host A";
    }

private:
    static std::string uri(const std::string& type) { return uniqueUri(kDomain, type); }

    static std::vector<std::string> withProperties(std::vector<std::string> args,
                                                   const std::vector<std::string>& properties)
    {
        args.insert(args.end(), properties.begin(), properties.end());
        return args;
    }

    static std::vector<std::pair<Host, std::unique_ptr<Peer>>> startSubscribers(
        const SwitchedLan& lan, const std::string& type, const std::vector<Host>& hosts,
        const std::vector<std::string>& properties)
    {
        std::vector<std::pair<Host, std::unique_ptr<Peer>>> subscribers;
        for (const Host host : hosts)
        {
            auto args = withProperties({"subscribe", type, uri(type), std::to_string(kSamples), "30000"}, properties);
            subscribers.emplace_back(host, std::make_unique<Peer>(std::move(args), kUdpOnly, lan.exec(host)));
        }
        return subscribers;
    }

    std::vector<std::pair<Host, std::unique_ptr<Peer>>> m_subscribers;
    Peer m_publisher;
};

template <class TopicType>
void everySampleReachesHostsBAndC(const SwitchedLan& lan, const std::vector<std::string>& properties = {})
{
    SCOPED_TRACE(TopicType::name());
    Exchange exchange(lan, TopicType::name(), {Host::B, Host::C}, properties);
    ASSERT_TRUE(exchange.allMatched());
    exchange.publishAndCheck(expectedChecksums<typename TopicType::Wire>(kSamples));
}

template <SwitchedLan::Multicast kMulticast>
class OnLan : public ::testing::Test
{
protected:
    void SetUp() override
    {
        try
        {
            lan.emplace(kMulticast);
        }
        catch (const NamespacesRefused& refused)
        {
            GTEST_SKIP() << "network namespaces refused, so there are no hosts to test across: " << refused.what();
        }
    }

    std::optional<SwitchedLan> lan;
};

using MultiHostWithMulticast = OnLan<SwitchedLan::Multicast::Forwarded>;
using MultiHostWithoutMulticast = OnLan<SwitchedLan::Multicast::Blocked>;

TEST_F(MultiHostWithMulticast, SimpleDiscoveryDeliversEverySampleToEveryHost)
{
    everySampleReachesHostsBAndC<PsMeasurements>(*lan);
    everySampleReachesHostsBAndC<Fast>(*lan);
}

// The control for the discovery server below: the same peers as on the multicast network find nothing here,
// until the switch is made to forward multicast.
TEST_F(MultiHostWithoutMulticast, SimpleDiscoveryFindsNobodyUntilMulticastIsForwarded)
{
    Exchange exchange(*lan, PsMeasurements::name(), {Host::B, Host::C});
    ASSERT_TRUE(exchange.silentFor(kQuietWindow)) << "on a network that carries no multicast";

    // The match that follows shows the silence came from the network, not from peers that had ended.
    lan->forwardMulticast();
    ASSERT_TRUE(exchange.allMatched());
    exchange.publishAndCheck(expectedChecksums<PsMeasurements::Wire>(kSamples));
}

TEST_F(MultiHostWithoutMulticast, DiscoveryServerOnHostADeliversEverySampleToEveryHost)
{
    auto command = lan->exec(Host::A);
    command.insert(command.end(), {"fast-discovery-server", "-l", kServerAddress, "-p", kServerPort});
    ChildProcess server(command, kUdpOnly);
    ASSERT_TRUE(server.waitForLine("### Server is running ###", kMatchLimit))
        << "the discovery server did not start on host A";

    const std::vector<std::string> client(std::begin(kClientProperties), std::end(kClientProperties));
    everySampleReachesHostsBAndC<PsMeasurements>(*lan, client);
    everySampleReachesHostsBAndC<Fast>(*lan, client);
}

}  // namespace
