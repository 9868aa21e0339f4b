#include "Commands.hpp"

#include "tools/core/Endpoint.hpp"

#include <chrono>
#include <iostream>
#include <thread>

namespace qara::nimb::tools {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct PubOptions
{
    std::string topic;
    std::string uri;
    double rate = 10;
    uint64_t count = 0;
    std::vector<std::string> assignments;
};

int publish(const PluginLibrary& plugin, const PubOptions& options)
{
    const Uri uri = pubSubUri(options.uri.empty() ? "dds.ps://0/tarvex/" + options.topic : options.uri);
    const auto session = std::make_shared<Session>(&plugin);
    // Every --set is checked before anything joins the domain, and the fields it sets keep their values.
    const auto writer =
        openWriter(session, Path::Plugin, options.topic, uri, Numbering::EveryField, options.assignments);
    // A volatile writer sends nothing to readers it has not matched yet, so samples wait for one.
    if (!session->matches().waitForReaders({writer->topic()}, 1, milliseconds(1000)))
    {
        std::cerr << "tarvex pub: waiting for a subscriber on " << uri.string() << '\n';
        while (!session->matches().waitForReaders({writer->topic()}, 1, milliseconds(1000)))
        {
        }
    }
    // The subscriber in turn takes nothing from a writer it has not matched yet, and it may learn of this
    // one a little later than the writer learnt of it.
    std::this_thread::sleep_for(milliseconds(500));

    const std::chrono::duration<double> period(1.0 / options.rate);
    const auto begin = Clock::now();
    uint64_t n = 1;
    for (; options.count == 0 || n <= options.count; ++n)
    {
        std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(period * (n - 1)));
        writer->write(n, wallSeconds());
    }
    // Subscribers are best effort and acknowledge nothing, and a sample still on its way when the writer
    // leaves is dropped: the last ones get a moment to arrive.
    std::this_thread::sleep_for(milliseconds(500));
    std::cout << "published " << n - 1 << " samples of " << options.topic << " to " << uri.string() << '\n';
    return 0;
}

}  // namespace

Run addPub(CLI::App& tool)
{
    auto options = std::make_shared<PubOptions>();
    CLI::App* command = tool.add_subcommand("pub", "publish samples of one topic");
    command->footer(
        "Waits until a subscriber has matched, then publishes samples of <topic>. A field named with --set keeps\n"
        "the value given: a number, true or false, and for an array exactly as many comma-separated values as it\n"
        "has elements (nan and inf are accepted for floating-point fields). Every other numeric field takes the\n"
        "sample's number 1, 2, 3, ... so that consecutive samples differ.");
    addTopic(*command, options->topic);
    command->add_option("--uri", options->uri, "where to publish (default dds.ps://0/tarvex/<topic>)");
    addChecked(*command, "--rate", options->rate, "samples per second", CLI::Range(0.001, 1e6));
    command->add_option("--count", options->count, "stop after N samples (default: until interrupted)");
    command->add_option("--set", options->assignments, "give field N the value V (N=V); repeatable");
    return [options](const LazyPlugin& plugin) { return publish(plugin.get(), *options); };
}

}  // namespace qara::nimb::tools
