#include "Commands.hpp"

#include "tools/core/Recording.hpp"
#include "tools/core/Topics.hpp"

#include <qara/nimb/DdsUriHelper.hpp>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
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
    text.precision(2);
    text << std::fixed << bytes / 1e6 << " MB";
    return text.str();
}

// What the sink got so far, per topic; written from Fast DDS's threads, read by the one that reports.
class Progress
{
public:
    explicit Progress(std::size_t topics) : m_messages(topics), m_bytes(topics) {}

    // Under the recorder's lock.
    void count(std::size_t topic, std::size_t bytes)
    {
        ++m_messages[topic];
        m_bytes[topic] += bytes;
        ++m_total;
    }

    uint64_t total() const { return m_total; }

    void print(double seconds, const std::vector<std::string>& types, const RawReader& reader, uint64_t fileSize,
               bool last) const
    {
        std::ostringstream line;
        line.precision(0);
        line << "tarvex record: " << std::fixed << seconds << " s";
        uint64_t lost = 0;
        for (std::size_t i = 0; i < types.size(); ++i)
        {
            line << "  " << types[i] << ' ' << m_messages[i] << " (" << megabytes(m_bytes[i]) << ')';
            lost += reader.lost(i);
        }
        line << "  lost " << lost << "  file " << megabytes(fileSize);
        const bool terminal = ::isatty(STDERR_FILENO) != 0;
        std::cerr << (terminal ? "\r" : "") << line.str() << (terminal && !last ? "" : "\n") << std::flush;
    }

private:
    std::vector<uint64_t> m_messages;
    std::vector<uint64_t> m_bytes;
    std::atomic<uint64_t> m_total{0};
};

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
    Progress progress(types.size());
    auto reader =
        std::make_unique<RawReader>(session, topics, [&](std::size_t topic, const RawSample& sample) {
            const std::lock_guard<std::mutex> lock(mutex);
            sink->write(channels[topic], sample);
            progress.count(topic, sample.size);
        });
    const auto flush = [&] {
        const std::lock_guard<std::mutex> lock(mutex);
        return sink->flush();
    };

    stopOnSignals();
    const auto begin = Clock::now();
    const auto end = options.seconds > 0 ? begin + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(options.seconds))
                                         : Clock::time_point::max();
    const auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - begin).count(); };
    // Each second the chunk ends, so that a recording killed from then on keeps everything so far.
    auto nextTick = begin + std::chrono::seconds(1);
    while (!stopRequested() && Clock::now() < end && (options.count == 0 || progress.total() < options.count))
    {
        std::this_thread::sleep_until(std::min({nextTick, end, Clock::now() + std::chrono::milliseconds(100)}));
        if (Clock::now() >= nextTick)
        {
            nextTick += std::chrono::seconds(1);
            progress.print(elapsed(), types, *reader, flush(), false);
        }
    }
    const uint64_t size = flush();
    progress.print(elapsed(), types, *reader, size, true);
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
    command->add_option("--domain", options->domain, "DDS domain")
        ->capture_default_str()
        ->check(CLI::Range(0u, DdsUriHelper::maxDomainId));
    command->add_option("--prefix", options->prefix, "topic path before the topic name")->capture_default_str();
    command->add_option("--duration", options->seconds, "stop after S seconds (default: until interrupted)")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--count", options->count, "stop after N messages in all");
    command->add_option("--compression", options->compression, "zstd, lz4 or none")
        ->capture_default_str()
        ->check(CLI::IsMember({"zstd", "lz4", "none"}));
    addProfiles(*command, options->properties, "the reader");
    return [options](const LazyPlugin&) { return record(*options); };
}

}  // namespace qara::nimb::tools
