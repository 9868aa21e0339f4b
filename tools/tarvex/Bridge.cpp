#include "Commands.hpp"

#include "tools/bridge/Server.hpp"
#include "tools/core/Endpoint.hpp"
#include "tools/core/ProcessUsage.hpp"
#include "tools/core/Statistics.hpp"
#include "tools/core/Topics.hpp"

#include <qara/nimb/DdsUriHelper.hpp>

#include <unistd.h>

#include <chrono>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

namespace qara::nimb::tools {

namespace {

using Clock = std::chrono::steady_clock;

struct BridgeOptions
{
    std::vector<std::string> topics;  // every topic when empty
    uint32_t domain = 0;
    std::string prefix = "tarvex";
    bridge::Server::Options server;
    bool allowPublish = false;
    std::vector<std::string> properties;
};

int serve(const LazyPlugin& plugin, BridgeOptions options)
{
    const std::vector<std::string> types = options.topics.empty() ? topicNames() : options.topics;
    const auto properties = propertiesOf(options.properties, "--profiles");
    std::vector<RawReader::Topic> topics;
    for (const auto& type : types)
    {
        topics.push_back({type, pubSubUri(options.domain, options.prefix + "/" + type)});
        options.server.channels.push_back(
            {static_cast<uint32_t>(topics.size()), DdsUriHelper::topic(topics.back().uri, true), type});
    }
    // Written by clients through the plug-in's publishers, one per topic, opened when a client first
    // advertises it so that readers can match before its first payload; the server's thread only.
    std::vector<std::unique_ptr<Endpoint>> writers(types.size());
    std::shared_ptr<Session> publishing;
    bridge::Server::Publishing publish;
    if (options.allowPublish)
    {
        publishing = std::make_shared<Session>(&plugin.get(), properties);
        publish.open = [&](std::size_t channel) {
            if (!writers[channel])
            {
                writers[channel] = openWriter(publishing, Path::Plugin, types[channel], topics[channel].uri,
                                              Numbering::EveryField);
            }
        };
        publish.write = [&](std::size_t channel, const uint8_t* data, std::size_t size) {
            writers[channel]->writePayload(data, size, wallSeconds());
        };
    }
    bridge::Server server(options.server, std::move(publish));
    std::cerr << "tarvex bridge: serving";
    for (const auto& channel : options.server.channels)
    {
        std::cerr << ' ' << channel.topic;
    }
    std::cerr << " of domain " << options.domain << " on ws://"
              << options.server.address << ':' << server.port() << '\n'
              << std::flush;

    // The raw readers' matches say when a topic's writers come and go.
    const auto session = std::make_shared<Session>(nullptr, properties, [&](const std::string& topic, int32_t, int32_t count) {
        for (std::size_t channel = 0; channel < topics.size(); ++channel)
        {
            if (options.server.channels[channel].topic == topic)
            {
                server.writers(channel, count);
            }
        }
    });
    auto reader = std::make_unique<RawReader>(session, topics, [&](std::size_t topic, const RawSample& sample) {
        server.publish(topic, sample);
    });

    stopOnSignals();
    const auto begin = Clock::now();
    const double cpuBegin = cpuSeconds();
    std::size_t mostClients = 0;
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    for (auto tick = begin + std::chrono::seconds(1); !stopRequested();)
    {
        std::this_thread::sleep_until(std::min(tick, Clock::now() + std::chrono::milliseconds(100)));
        if (Clock::now() >= tick)
        {
            tick += std::chrono::seconds(1);
            const auto counts = server.counts();
            mostClients = std::max(mostClients, counts.clients);
            std::cerr << (terminal ? "\r" : "") << "tarvex bridge: " << counts.clients << " clients, sent "
                      << counts.sent << ", dropped " << counts.dropped << (terminal ? "" : "\n") << std::flush;
        }
    }
    // Nothing arrives for the clients once they are told goodbye.
    reader.reset();
    server.stop();
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    const double cpu = cpuSeconds() - cpuBegin;
    const auto counts = server.counts();
    const auto latency = summarize(server.latencies());
    std::cerr << (terminal ? "\n" : "") << std::fixed << std::setprecision(1) << "tarvex bridge: closed; "
              << mostClients << " clients at most, sent " << counts.sent << ", dropped " << counts.dropped
              << "; from DDS arrival to the socket p50 " << latency.median * 1e6 << " us, p99 " << latency.p99 * 1e6
              << " us over the last " << latency.count << " frames; CPU " << std::setprecision(2) << cpu << " s in "
              << seconds << " s (" << std::setprecision(1) << 100 * cpu / seconds << " % of one core)\n";
    return 0;
}

}  // namespace

Run addBridge(CLI::App& tool)
{
    auto options = std::make_shared<BridgeOptions>();
    CLI::App* command = tool.add_subcommand("bridge", "serve topics live to Foxglove and Lichtblick over WebSocket");
    command->footer(
        "Serves the given topics (all four when none is named) of DDS topics <prefix>/<topic> over the Foxglove\n"
        "WebSocket protocol (subprotocol foxglove.websocket.v1): in Foxglove or Lichtblick choose Open connection,\n"
        "Foxglove WebSocket, ws://HOST:PORT. Every sample goes out as it travelled (XCDR1 or XCDR2, channel encoding\n"
        "cdr, its schema the IDL of its structure, schema encoding omgidl). Each client has a queue of --queue\n"
        "messages; a client that does not keep up loses the oldest and is told so. With --allow-publish, clients\n"
        "may advertise channels on these topics and send CDR payloads, which are decoded and published through the\n"
        "plug-in. Prints one progress line a second on stderr; Ctrl-C closes every connection and ends.");
    command->add_option("topics", options->topics, "topics to serve (default: all four)")
        ->check(CLI::IsMember(topicNames()));
    command->add_option("--domain", options->domain, "DDS domain")
        ->capture_default_str()
        ->check(CLI::Range(0u, DdsUriHelper::maxDomainId));
    command->add_option("--prefix", options->prefix, "topic path before the topic name")->capture_default_str();
    command->add_option("--address", options->server.address, "address to listen on (0.0.0.0: every interface)")
        ->capture_default_str();
    command->add_option("--port", options->server.port, "port to listen on (0: any free one)")->capture_default_str();
    command->add_option("--queue", options->server.queueLimit, "messages waiting for one client at most")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    command->add_flag("--allow-publish", options->allowPublish, "let clients publish on the served topics");
    addProfiles(*command, options->properties, "the readers and writers");
    return [options](const LazyPlugin& plugin) { return serve(plugin, *options); };
}

}  // namespace qara::nimb::tools
