// Publishers and subscribers on different hosts of one machine: each host is a network namespace, so the
// samples and the discovery that precedes them cross a real (virtual) Ethernet.
#include "ChildProcess.hpp"
#include "Plugin.hpp"
#include "TarvexProcess.hpp"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 228;
constexpr int kSamples = 50;

// Reliable readers: a best-effort reader that has not yet matched the writer when the writer has matched it
// drops the first samples, and "every sample" is what is checked here.
const std::vector<std::string> kReliable = {"--property", "dds.xml.profiles.file=" TARVEX_PS_TEST_DATA "/Reliable.xml",
                                            "--property", "dds.qos.profile.library=reliable"};
// The discovery_client profile of data/Reliable.xml names host A (10.228.0.1) and port 11911 as the server.
const std::vector<std::string> kClient = {"--property", "dds.participant.profile=discovery_client"};
// /dev/shm is common to all namespaces: with shared memory on, samples would skip the network.
const std::vector<std::string> kUdpOnly = {"FASTDDS_BUILTIN_TRANSPORTS=UDPv4"};

struct NamespacesRefused : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// Runs `ip` to its end; throws with its words if it fails.
template <class Failure = std::runtime_error>
void ip(std::vector<std::string> args)
{
    args.insert(args.begin(), "ip");
    ChildProcess child(args, {}, ChildProcess::Stderr::ToStdout);
    std::string output;
    std::string none;
    child.readToEnd(output, none, 30s);
    if (child.exitCode(30s) != 0)
    {
        throw Failure("ip ... " + args.back() + " failed: " + output);
    }
}

// A network namespace as long as this object lives, named tarvex-<pid>-<role> so that parallel test processes
// cannot collide and a leftover tells where it came from. Deleting it deletes the links in it.
class NetworkNamespace
{
public:
    explicit NetworkNamespace(const std::string& role) : name("tarvex-" + std::to_string(::getpid()) + "-" + role)
    {
        ip<NamespacesRefused>({"netns", "add", name});
    }
    ~NetworkNamespace()
    {
        try
        {
            ip({"netns", "delete", name});
        }
        catch (const std::exception& e)
        {
            std::cerr << e.what() << "\n";
        }
    }

    void run(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"-n", name});
        ip(args);
    }
    std::vector<std::string> exec() const { return {"ip", "netns", "exec", name}; }

    const std::string name;
};

// Hosts A, B and C (10.228.0.1 to .3), each a namespace whose eth0 is cabled by a veth pair to a port of a
// bridge in a fourth namespace, the switch; each end of a cable is created in its own namespace, so nothing
// appears in the root namespace. The switch floods no multicast until told to.
class SwitchedLan
{
public:
    SwitchedLan()
    {
        // No snooping: without an IGMP querier on this network it would only make forwarding less predictable.
        m_switch.run({"link", "add", "br0", "type", "bridge", "mcast_snooping", "0"});
        for (std::size_t i = 0; i < m_hosts.size(); ++i)
        {
            const std::string port = "port" + std::to_string(i + 1);
            m_switch.run({"link", "add", port, "type", "veth", "peer", "name", "eth0", "netns", m_hosts[i]->name});
            m_switch.run({"link", "set", port, "master", "br0"});
            // What stops simple discovery: Fast DDS sets the outgoing interface on each multicast socket, so
            // leaving out a multicast route would not keep its announcements off the wire.
            m_switch.run({"link", "set", port, "type", "bridge_slave", "mcast_flood", "off"});
            m_switch.run({"link", "set", port, "up"});
            m_hosts[i]->run({"link", "set", "lo", "up"});
            m_hosts[i]->run({"addr", "add", "10.228.0." + std::to_string(i + 1) + "/24", "dev", "eth0"});
            m_hosts[i]->run({"link", "set", "eth0", "up"});
        }
        m_switch.run({"link", "set", "br0", "up"});
    }

    void forwardMulticast()
    {
        for (std::size_t i = 0; i < m_hosts.size(); ++i)
        {
            m_switch.run({"link", "set", "port" + std::to_string(i + 1), "type", "bridge_slave", "mcast_flood", "on"});
        }
    }

    // A `tarvex perf` process on host 0, 1 or 2 (A, B, C).
    std::unique_ptr<TarvexProcess> perfOn(std::size_t host, const std::string& role, const std::string& topic,
                                          std::vector<std::string> extra) const
    {
        extra.insert(extra.end(), {"--count", std::to_string(kSamples)});
        return std::make_unique<TarvexProcess>(perf(role, topic, uniqueUri(kDomain, topic), extra), kUdpOnly,
                                               m_hosts[host]->exec());
    }

    // Subscribers on hosts B and C, then a publisher on host A that waits for both: every sample reaches both,
    // through the plug-in and through plain Fast DDS.
    void everySampleReachesHostsBAndC(const std::vector<std::string>& properties) const
    {
        for (const auto& [topic, path] : {std::pair{"PsMeasurements", "plugin"}, {"SaMeasurements_fast", "plain"}})
        {
            SCOPED_TRACE(topic);
            std::vector<std::string> extra = properties;
            extra.insert(extra.end(), {"--path", path});
            auto onB = perfOn(1, "sub", topic, extra);
            auto onC = perfOn(2, "sub", topic, extra);
            extra.insert(extra.end(), {"--readers", "2", "--rate", "200"});
            const auto sent = perfOn(0, "pub", topic, extra)->result();
            EXPECT_EQ(sent["exit"], 0) << sent["output"];
            EXPECT_EQ(sent["readers"], 2);
            for (auto* subscriber : {onB.get(), onC.get()})
            {
                expectReceivedFromTheFirst(subscriber->result(), kSamples);
            }
        }
    }

    std::vector<std::string> exec(std::size_t host) const { return m_hosts[host]->exec(); }

private:
    NetworkNamespace m_switch{"switch"};
    std::array<std::unique_ptr<NetworkNamespace>, 3> m_hosts{std::make_unique<NetworkNamespace>("hostA"),
                                                             std::make_unique<NetworkNamespace>("hostB"),
                                                             std::make_unique<NetworkNamespace>("hostC")};
};

// Simple discovery finds nobody while the switch floods no multicast, a discovery server on host A brings
// every sample to every host all the same, and once multicast is forwarded simple discovery does too.
TEST(MultiHost, DiscoveryServerWithoutMulticastThenSimpleDiscoveryWithIt)
{
    std::unique_ptr<SwitchedLan> lan;
    try
    {
        lan = std::make_unique<SwitchedLan>();
    }
    catch (const NamespacesRefused& refused)
    {
        GTEST_SKIP() << "network namespaces refused, so there are no hosts to test across: " << refused.what();
    }
    {
        TarvexProcess streaming(
            perf("pub", "PsMeasurements", uniqueUri(kDomain, "PsMeasurements"), {"--readers", "0", "--rate", "100"}),
            kUdpOnly, lan->exec(0));
        const auto silent = lan->perfOn(1, "sub", "PsMeasurements", {"--seconds", "5"})->result();
        EXPECT_EQ(silent["exit"], 1) << silent["output"];
        EXPECT_EQ(silent["received"], 0);
        streaming.signal(SIGTERM);
        EXPECT_EQ(streaming.result()["exit"], 0);
    }
    {
        auto command = lan->exec(0);
        command.insert(command.end(), {"fast-discovery-server", "-l", "10.228.0.1", "-p", "11911"});
        ChildProcess server(command, kUdpOnly);
        ASSERT_TRUE(server.waitForLine("### Server is running ###", 30s)) << "no discovery server on host A";
        std::vector<std::string> client = kReliable;
        client.insert(client.end(), kClient.begin(), kClient.end());
        lan->everySampleReachesHostsBAndC(client);
    }
    lan->forwardMulticast();
    lan->everySampleReachesHostsBAndC(kReliable);
}

}  // namespace
