#include "Commands.hpp"

#include "tools/core/Recording.hpp"
#include "tools/core/Topics.hpp"

#include <qara/nimb/DdsUriHelper.hpp>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

namespace qara::nimb::tools {

namespace {

using Clock = std::chrono::steady_clock;

struct RecordOptions
{
    std::vector<std::string> topics;  // every topic when empty
    std::string output;
    uint32_t domain = 0;
    std::string prefix = "tarvex";  // DDS topic names are <prefix>/<type>
    double seconds = 0;             // 0: until interrupted
    uint64_t count = 0;             // 0: no limit
    std::string compression = "zstd";
    std::vector<std::string> properties;
};

std::string megabytes(uint64_t bytes)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << bytes / 1e6 << " MB";
    return text.str();
}

int record(const RecordOptions& options)
{
    const std::vector<std::string> types = options.topics.empty() ? topicNames() : options.topics;
    const auto session = std::make_shared<Session>(nullptr, propertiesOf(options.properties, "--profiles"));
    const auto sink = openMcapSink(options.output, options.compression);
    std::vector<RawReader::Topic> topics;
    std::vector<uint16_t> channels;
    for (const auto& type : types)
    {
        const Uri uri = pubSubUri(options.domain, options.prefix + "/" + type);
        topics.push_back({type, uri});
        channels.push_back(sink->addTopic({type, DdsUriHelper::topic(uri, true), uri.string()}));
    }
    // Guards the sink and the counts; the only lock of the recorder, taken by the listener threads and by
    // this one to flush.
    std::mutex mutex;
    std::vector<std::pair<uint64_t, uint64_t>> counted(types.size());  // messages, bytes
    std::atomic<uint64_t> total{0};
    auto reader = std::make_unique<RawReader>(session, topics, [&](std::size_t topic, const RawSample& sample) {
        const std::lock_guard<std::mutex> lock(mutex);
        sink->write(channels[topic], sample);
        counted[topic].first += 1;
        counted[topic].second += sample.size;
        ++total;
    });
    // Ends the chunk, so that a recording killed from then on keeps everything so far, and says so.
    const auto flush = [&, begin = Clock::now()](bool last) {
        std::ostringstream line;
        line << "tarvex record: " << std::fixed << std::setprecision(0)
             << std::chrono::duration<double>(Clock::now() - begin).count() << " s";
        uint64_t lost = 0;
        const std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < types.size(); ++i)
        {
            line << "  " << types[i] << ' ' << counted[i].first << " (" << megabytes(counted[i].second) << ')';
            lost += reader->lost(i);
        }
        line << "  lost " << lost << "  file " << megabytes(sink->flush());
        const bool terminal = ::isatty(STDERR_FILENO) != 0;
        std::cerr << (terminal ? "\r" : "") << line.str() << (terminal && !last ? "" : "\n") << std::flush;
    };

    stopOnSignals();
    const auto end = options.seconds > 0 ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                              std::chrono::duration<double>(options.seconds))
                                         : Clock::time_point::max();
    for (auto tick = Clock::now() + std::chrono::seconds(1);
         !stopRequested() && Clock::now() < end && (options.count == 0 || total < options.count);)
    {
        std::this_thread::sleep_until(std::min({tick, end, Clock::now() + std::chrono::milliseconds(100)}));
        if (Clock::now() >= tick)
        {
            tick += std::chrono::seconds(1);
            flush(false);
        }
    }
    flush(true);
    // The readers go before the sink they write to.
    reader.reset();
    sink->close();
    std::cout << "recorded to " << options.output << '\n';
    return 0;
}

}  // namespace

Run addRecord(CLI::App& tool)
{
    auto options = std::make_shared<RecordOptions>();
    CLI::App* command = tool.add_subcommand("record", "record topics to an MCAP file");
    command->footer(
        "Subscribes to the given topics (all four when none is named) on DDS topics <prefix>/<topic> and writes\n"
        "every sample as it arrives to an MCAP file: the payload exactly as it travelled (XCDR1 or XCDR2),\n"
        "reception time as log time, source time stamp as publish time, the writer's sequence number. Each topic's\n"
        "schema is the IDL of its structure (encoding omgidl), so MCAP viewers show every field by name. Prints one\n"
        "progress line a second on stderr; stops after S seconds, after N messages or on Ctrl-C, and then writes\n"
        "the file's summary. A recording killed outright stays readable up to its last second.\n"
        "\n"
        "The reader keeps every sample until written. Its reliability and durability come from the data-reader\n"
        "profile of --qos-library, when given (RELIABLE for a recording without loss); readers are best effort\n"
        "otherwise.");
    command->add_option("topics", options->topics, "topics to record (default: all four)")
        ->check(CLI::IsMember(topicNames()));
    command->add_option("--output", options->output, "the MCAP file to write")->required();
    addChecked(*command, "--domain", options->domain, "DDS domain", CLI::Range(0u, DdsUriHelper::maxDomainId));
    command->add_option("--prefix", options->prefix, "topic path before the topic name")->capture_default_str();
    command->add_option("--duration", options->seconds, "stop after S seconds (default: until interrupted)")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--count", options->count, "stop after N messages in all");
    addChecked(*command, "--compression", options->compression, "zstd, lz4 or none",
               CLI::IsMember({"zstd", "lz4", "none"}));
    addProfiles(*command, options->properties, "the reader");
    return [options](const LazyPlugin&) { return record(*options); };
}

}  // namespace qara::nimb::tools
