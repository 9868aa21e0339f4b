// Publishers and subscribers on different hosts of one machine: each host is a network namespace, so the
// samples and the discovery that precedes them cross a real (virtual) Ethernet.
#include "NetworkNamespaces.hpp"
#include "Plugin.hpp"
#include "TarvexProcess.hpp"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 228;
constexpr int kSamples = 50;

// Host A's address and the server's port, as the discovery_client profile of data/Reliable.xml names them.
const std::string kServerAddress = "10.228.0.1";
const std::string kServerPort = "11911";
// Reliable readers: a best-effort reader that has not yet matched the writer when the writer has matched it
// drops the first samples, and "every sample" is what is checked here.
const std::vector<std::string> kReliable = {"--property", "dds.xml.profiles.file=" TARVEX_PS_TEST_DATA "/Reliable.xml",
                                            "--property", "dds.qos.profile.library=reliable"};
std::vector<std::string> withClient(std::vector<std::string> properties)
{
    properties.insert(properties.end(), {"--property", "dds.participant.profile=discovery_client"});
    return properties;
}

// /dev/shm is common to all namespaces: with shared memory on, samples would skip the network.
const std::vector<std::string> kUdpOnly = {"FASTDDS_BUILTIN_TRANSPORTS=UDPv4"};

enum class Host
{
    A,
    B,
    C
};

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

// A `tarvex perf` process on one host of the LAN.
std::unique_ptr<TarvexProcess> perfOn(const SwitchedLan& lan, Host host, const std::string& role,
                                      const std::string& topic, std::vector<std::string> extra)
{
    extra.insert(extra.end(), {"--count", std::to_string(kSamples)});
    return std::make_unique<TarvexProcess>(perf(role, topic, uniqueUri(kDomain, topic), extra), kUdpOnly,
                                           lan.exec(host));
}

// Subscribers on hosts B and C, then a publisher on host A that waits for both: every sample reaches both.
void everySampleReachesHostsBAndC(const SwitchedLan& lan, const std::string& topic,
                                  const std::vector<std::string>& properties = {})
{
    SCOPED_TRACE(topic);
    auto onB = perfOn(lan, Host::B, "sub", topic, properties);
    auto onC = perfOn(lan, Host::C, "sub", topic, properties);
    std::vector<std::string> publishing = properties;
    publishing.insert(publishing.end(), {"--readers", "2", "--rate", "200"});
    const auto sent = perfOn(lan, Host::A, "pub", topic, publishing)->result();
    EXPECT_EQ(sent["exit"], 0) << sent["output"];
    EXPECT_EQ(sent["readers"], 2);
    for (auto* subscriber : {onB.get(), onC.get()})
    {
        const auto received = subscriber->result();
        EXPECT_EQ(received["exit"], 0) << received["output"];
        EXPECT_EQ(received["received"], kSamples);
        EXPECT_EQ(received["first"], 1);
        EXPECT_EQ(received["lost"], 0);
    }
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
    everySampleReachesHostsBAndC(*lan, "PsMeasurements", kReliable);
    std::vector<std::string> plain = kReliable;
    plain.insert(plain.end(), {"--path", "plain"});
    everySampleReachesHostsBAndC(*lan, "SaMeasurements_fast", plain);
}

// The control for the discovery server below: peers that would find each other on the multicast network
// find nothing here, until the switch is made to forward multicast.
TEST_F(MultiHostWithoutMulticast, SimpleDiscoveryFindsNobodyUntilMulticastIsForwarded)
{
    const auto streaming =
        perf("pub", "PsMeasurements", uniqueUri(kDomain, "PsMeasurements"), {"--readers", "0", "--rate", "100"});
    TarvexProcess publisher(streaming, kUdpOnly, lan->exec(Host::A));
    const auto silent = perfOn(*lan, Host::B, "sub", "PsMeasurements", {"--seconds", "5"})->result();
    EXPECT_EQ(silent["exit"], 1) << silent["output"];
    EXPECT_EQ(silent["received"], 0);

    // The same publisher reaches both hosts now, so the silence came from the network.
    lan->forwardMulticast();
    for (const Host host : {Host::B, Host::C})
    {
        const auto received = perfOn(*lan, host, "sub", "PsMeasurements", {})->result();
        EXPECT_EQ(received["received"], kSamples) << received["output"];
        EXPECT_EQ(received["lost"], 0);
    }
    publisher.signal(SIGTERM);
    EXPECT_EQ(publisher.result()["exit"], 0);
}

TEST_F(MultiHostWithoutMulticast, DiscoveryServerOnHostADeliversEverySampleToEveryHost)
{
    auto command = lan->exec(Host::A);
    command.insert(command.end(), {"fast-discovery-server", "-l", kServerAddress, "-p", kServerPort});
    ChildProcess server(command, kUdpOnly);
    ASSERT_TRUE(server.waitForLine("### Server is running ###", 30s)) << "the discovery server did not start on host A";
    everySampleReachesHostsBAndC(*lan, "PsMeasurements", withClient(kReliable));
    std::vector<std::string> plain = withClient(kReliable);
    plain.insert(plain.end(), {"--path", "plain"});
    everySampleReachesHostsBAndC(*lan, "SaMeasurements_fast", plain);
}

}  // namespace
