#include "Commands.hpp"

#include "tools/core/Endpoint.hpp"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>

namespace qara::nimb::tools {

namespace {

using Clock = std::chrono::steady_clock;

struct EchoOptions
{
    std::string topic;
    std::string uri;
    std::size_t count = 0;
    int32_t timeoutMs = 0;
};

int echo(const PluginLibrary& plugin, const EchoOptions& options)
{
    const Uri uri = pubSubUri(options.uri.empty() ? "dds.ps://0/tarvex/" + options.topic : options.uri);
    const auto timeout = std::chrono::milliseconds(options.timeoutMs);
    const auto deadline = timeout.count() == 0 ? Clock::time_point::max() : Clock::now() + timeout;
    // Guards `printed` and standard output against the listener thread.
    std::mutex mutex;
    std::condition_variable printing;
    std::size_t printed = 0;
    const auto done = [&] { return options.count != 0 && printed == options.count; };
    const auto reader = openReader(std::make_shared<Session>(&plugin), Path::Plugin, options.topic, uri,
                                   [&](const Received& sample) {
                                       const std::lock_guard<std::mutex> lock(mutex);
                                       if (!done())
                                       {
                                           std::cout << sample.json().dump() << std::endl;
                                           ++printed;
                                           printing.notify_all();
                                       }
                                   });
    std::unique_lock<std::mutex> lock(mutex);
    // In slices: a wait until the largest time point would overflow.
    while (!done() && Clock::now() < deadline)
    {
        printing.wait_for(lock, std::chrono::milliseconds(200));
    }
    if (options.count != 0 && printed < options.count)
    {
        throw std::runtime_error("received " + std::to_string(printed) + " of " + std::to_string(options.count) +
                                 " samples within " + std::to_string(timeout.count()) + " ms");
    }
    return 0;
}

}  // namespace

Run addEcho(CLI::App& tool)
{
    auto options = std::make_shared<EchoOptions>();
    CLI::App* command = tool.add_subcommand("echo", "print received samples of one topic as JSON lines");
    command->footer(
        "Prints each sample of <topic> it receives as one line of JSON: every field by name in wire order, arrays\n"
        "as JSON arrays, flags as true or false, NaN and infinities as null.");
    addTopic(*command, options->topic);
    command->add_option("--uri", options->uri, "where to listen (default dds.ps://0/tarvex/<topic>)");
    command->add_option("--count", options->count, "stop after N samples (default: until interrupted)");
    command
        ->add_option("--timeout", options->timeoutMs,
                     "stop after MS milliseconds; with --count, fewer than N samples by then is an error")
        ->check(CLI::NonNegativeNumber);
    return [options](const LazyPlugin& plugin) { return echo(plugin.get(), *options); };
}

}  // namespace qara::nimb::tools
