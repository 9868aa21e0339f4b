#include "Commands.hpp"

#include "tools/core/Endpoint.hpp"
#include "tools/core/Recording.hpp"

#include <qara/nimb/DdsUriHelper.hpp>

#include <chrono>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <thread>

namespace qara::nimb::tools {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct ReplayOptions
{
    std::string input;
    double rate = 1;
    bool loop = false;
    bool restamp = false;
    std::optional<uint32_t> domain;   // the recorded one when not given
    std::vector<std::string> topics;  // topic types or DDS topic names; every recorded one when empty
    std::vector<std::string> properties;
};

int replay(const PluginLibrary& plugin, const ReplayOptions& options)
{
    const auto source = openMcapSource(options.input);
    for (const auto& fault : source->faults())
    {
        std::cerr << "tarvex replay: " << options.input << " at offset " << fault.offset << ": " << fault.what << '\n';
    }
    const auto session = std::make_shared<Session>(&plugin, propertiesOf(options.properties, "--profiles"));
    const std::set<std::string> wanted(options.topics.begin(), options.topics.end());
    std::map<uint16_t, std::unique_ptr<Endpoint>> writers;
    std::set<uint16_t> channels;
    std::set<std::string> topics;
    for (const RecordedChannel& channel : source->channels())
    {
        const RecordedTopic& recorded = channel.topic;
        if (channel.messages == 0 ||
            (!wanted.empty() && wanted.count(recorded.type) == 0 && wanted.count(recorded.topic) == 0))
        {
            continue;
        }
        const uint32_t domain = options.domain      ? *options.domain
                                : recorded.uri.empty() ? 0
                                                       : DdsUriHelper::domainId(pubSubUri(recorded.uri));
        auto& writer = writers[channel.id] =
            openWriter(session, Path::Plugin, recorded.type, pubSubUri(domain, recorded.topic), Numbering::EveryField);
        channels.insert(channel.id);
        topics.insert(writer->topic());
    }
    if (writers.empty())
    {
        throw CLI::ValidationError("nothing to replay: " + options.input + " has no channel of the topics asked for");
    }
    if (!session->matches().waitForReaders(topics, 1, milliseconds(1000)))
    {
        std::cerr << "tarvex replay: waiting for a subscriber on every replayed topic\n";
        while (!session->matches().waitForReaders(topics, 1, milliseconds(1000)))
        {
        }
    }
    // As pub does: the subscribers may learn of the writers a little later than the writers learnt of them.
    std::this_thread::sleep_for(milliseconds(500));

    uint64_t replayed = 0;
    do
    {
        const auto begin = Clock::now();
        std::optional<uint64_t> first;
        source->read(channels, [&](uint16_t channel, const RawSample& message) {
            first = first.value_or(message.receptionTime);
            const double offset =
                message.receptionTime >= *first ? (message.receptionTime - *first) / 1e9 / options.rate : 0;
            std::this_thread::sleep_until(
                begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(offset)));
            const double stamp = options.restamp ? wallSeconds() : message.sourceTime / 1e9;
            writers.at(channel)->writePayload(message.data, message.size, stamp);
            ++replayed;
        });
    } while (options.loop);
    // As pub does: samples still on their way to best-effort readers get a moment to arrive.
    std::this_thread::sleep_for(milliseconds(500));
    std::cout << "replayed " << replayed << " messages of " << writers.size() << " topics from " << options.input
              << '\n';
    return 0;
}

}  // namespace

Run addReplay(CLI::App& tool)
{
    auto options = std::make_shared<ReplayOptions>();
    CLI::App* command = tool.add_subcommand("replay", "publish an MCAP recording again through the plug-in");
    command->footer(
        "Waits until every replayed topic has a subscriber, then publishes each recorded message through the\n"
        "plug-in, on the topic it was recorded from, with the recording's relative timing scaled by X and its\n"
        "source time stamp.");
    command->add_option("file", options->input, "the MCAP file")->required()->check(CLI::ExistingFile);
    addChecked(*command, "--rate", options->rate, "speed factor (1: as recorded; 2: twice as fast)",
               CLI::Range(1e-3, 1e6));
    command->add_flag("--loop", options->loop, "start again at the end, until interrupted");
    command->add_flag("--restamp", options->restamp, "stamp samples with the time they are sent instead");
    command->add_option("--domain", options->domain, "DDS domain (default: the recorded one)")
        ->check(CLI::Range(0u, DdsUriHelper::maxDomainId));
    command->add_option("--topics", options->topics, "only these topics (topic types or DDS topic names)")
        ->delimiter(',');
    addProfiles(*command, options->properties, "the writers");
    return [options](const LazyPlugin& plugin) { return replay(plugin.get(), *options); };
}

}  // namespace qara::nimb::tools
