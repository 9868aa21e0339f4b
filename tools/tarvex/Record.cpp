#include "Commands.hpp"
#include "PubSubPlugin.hpp"
#include "RawPayloadType.hpp"
#include "Recording.hpp"

#include "generated/tarvex_schemas.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/ProfileType.hpp>
#include <qara/nimb/mcap/Writer.hpp>

#include <fastdds/dds/core/status/BaseStatus.hpp>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace qara::nimb::tools {

namespace {

namespace dds = eprosima::fastdds::dds;
using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};

extern "C" void stopRecording(int)
{
    g_stop = true;
}

uint64_t nanoseconds(const icd::dds::fastdds::SampleTime& time)
{
    const int32_t seconds = icd::dds::fastdds::secondsOf(time);
    return seconds < 0 ? 0 : uint64_t(seconds) * 1000000000u + icd::dds::fastdds::nanosecondsOf(time);
}

uint64_t wallNanoseconds()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

std::string megabytes(uint64_t bytes)
{
    std::ostringstream text;
    text.precision(2);
    text << std::fixed << bytes / 1e6 << " MB";
    return text.str();
}

// The samples of every recorded topic go to one writer, from whichever Fast DDS thread delivers them.
class Recorder : public dds::DataReaderListener
{
public:
    struct Counts
    {
        uint64_t messages = 0;
        uint64_t bytes = 0;
        uint64_t lost = 0;
    };

    Recorder(const std::string& path, mcap::Compression compression)
        : m_writer(path, mcap::WriterOptions{compression, 1024 * 1024, "", "nimb-mcap tarvex"})
    {
    }

    void addTopic(const dds::DataReader* reader, const std::string& type, const std::string& topic,
                  const std::string& uri)
    {
        const std::string idl(generated::schemas::tarvex::idlOf(type));
        const std::lock_guard<std::mutex> lock(m_mutex);
        const uint16_t schema = m_writer.addSchema("tarvex::" + type, "omgidl", idl);
        const uint16_t channel = m_writer.addChannel(
            schema, topic, "cdr", {{"dds_type_name", "generated::dds_::tarvex::" + type}, {"uri", uri}});
        m_channels[reader] = {channel, type};
        m_counts.emplace(type, Counts());  // shown from the first progress line on
    }

    void on_data_available(dds::DataReader* reader) override
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_channels.find(reader);
        if (found == m_channels.end())
        {
            return;
        }
        auto& [channel, type] = found->second;
        dds::SampleInfo info;
        while (reader->take_next_sample(&m_sample, &info) == icd::dds::fastdds::kOk)
        {
            if (!info.valid_data)
            {
                continue;
            }
            mcap::MessageView message;
            message.channelId = channel;
            message.sequence = info.sample_identity.sequence_number().low;
            message.logTime = nanoseconds(info.reception_timestamp);
            if (message.logTime == 0)
            {
                message.logTime = wallNanoseconds();
            }
            message.publishTime = nanoseconds(info.source_timestamp);
            message.data = m_sample.bytes.data();
            message.size = m_sample.bytes.size();
            m_writer.write(message);
            Counts& counts = m_counts[type];
            ++counts.messages;
            counts.bytes += message.size;
            ++m_total;
        }
    }

    uint64_t total() const { return m_total; }

    void on_sample_lost(dds::DataReader* reader, const dds::SampleLostStatus& status) override
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_channels.find(reader);
        if (found != m_channels.end())
        {
            m_counts[found->second.second].lost = static_cast<uint64_t>(status.total_count);
        }
    }

    // Ends the chunk, so that a recording killed from now on keeps everything so far.
    std::pair<std::map<std::string, Counts>, uint64_t> flush()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_writer.flushChunk();
        return {m_counts, m_writer.size()};
    }

    void close()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_writer.close();
    }

private:
    // Guards everything below; the only lock of the recorder.
    std::mutex m_mutex;
    mcap::Writer m_writer;
    std::map<const dds::DataReader*, std::pair<uint16_t, std::string>> m_channels;
    std::map<std::string, Counts> m_counts;
    RawPayload m_sample;
    // Read without the lock by the thread that decides when to stop.
    std::atomic<uint64_t> m_total{0};
};

// Every sample kept until taken, whatever the writer's rate; reliability and durability from the profile
// library's data-reader profile when there is one; either CDR version accepted, since payloads are not
// decoded.
dds::DataReaderQos readerQos(dds::Subscriber& subscriber, const ProfileChoice& profiles)
{
    dds::DataReaderQos qos;
    if (!profiles.qosLibrary.empty())
    {
        const std::string name =
            getProfileNameByProfileType(ProfileType::DataReader, {{"dds.qos.profile.library", profiles.qosLibrary}});
        dds::DataReaderQos profile;
        if (subscriber.get_datareader_qos_from_profile(name, profile) != icd::dds::fastdds::kOk)
        {
            throw CLI::ValidationError("no data-reader profile " + name + " is loaded");
        }
        qos.reliability() = profile.reliability();
        qos.durability() = profile.durability();
    }
    qos.history().kind = dds::KEEP_ALL_HISTORY_QOS;
    qos.resource_limits().max_samples = 40000;
    qos.resource_limits().max_instances = 1;
    qos.resource_limits().max_samples_per_instance = 40000;
    qos.endpoint().history_memory_policy = eprosima::fastdds::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;
    qos.representation().m_value = {dds::XCDR_DATA_REPRESENTATION, dds::XCDR2_DATA_REPRESENTATION};
    return qos;
}

void printProgress(double seconds, const std::map<std::string, Recorder::Counts>& counts, uint64_t fileSize, bool last)
{
    std::ostringstream line;
    line.precision(0);
    line << "tarvex record: " << std::fixed << seconds << " s";
    uint64_t lost = 0;
    for (const auto& [type, c] : counts)
    {
        line << "  " << type << ' ' << c.messages << " (" << megabytes(c.bytes) << ')';
        lost += c.lost;
    }
    line << "  lost " << lost << "  file " << megabytes(fileSize);
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    std::cerr << (terminal ? "\r" : "") << line.str() << (terminal && !last ? "" : "\n") << std::flush;
}

}  // namespace

int record(const RecordOptions& options)
{
    std::vector<std::string> types = options.topics.empty() ? topicNames() : options.topics;
    for (const auto& type : types)
    {
        withTopic(type, [](auto) {});  // refuses unknown names before anything is created
    }
    Nimb::Properties properties;
    if (!options.profiles.profilesFile.empty())
    {
        properties["dds.xml.profiles.file"] = options.profiles.profilesFile;
    }
    const auto host = std::make_shared<DdsNimb>(properties);
    const std::string base = "dds.ps://" + std::to_string(options.domain) + "/" + options.topicPrefix + "/";
    const auto participant = host->getDomainParticipant(pubSubUri(base + types.front()), properties);

    Recorder recorder(options.output, options.compression);
    dds::Subscriber* subscriber = participant->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT);
    if (subscriber == nullptr)
    {
        throw std::runtime_error("cannot create a subscriber");
    }
    const dds::DataReaderQos qos = readerQos(*subscriber, options.profiles);
    for (const auto& type : types)
    {
        const std::string typeName = "generated::dds_::tarvex::" + type;
        dds::TypeSupport support(new RawPayloadType(typeName));
        const std::string topicName = options.topicPrefix + "/" + type;
        dds::Topic* topic = nullptr;
        if (support.register_type(participant.get()) != icd::dds::fastdds::kOk ||
            (topic = participant->create_topic(topicName, typeName, dds::TOPIC_QOS_DEFAULT)) == nullptr)
        {
            throw std::runtime_error("cannot create topic " + topicName);
        }
        dds::DataReader* reader = subscriber->create_datareader(topic, qos);
        if (reader == nullptr)
        {
            throw std::runtime_error("cannot create a reader of " + topicName);
        }
        recorder.addTopic(reader, type, topicName, base + type);
        reader->set_listener(&recorder, dds::StatusMask::data_available() << dds::StatusMask::sample_lost());
    }

    g_stop = false;
    std::signal(SIGINT, stopRecording);
    std::signal(SIGTERM, stopRecording);
    const auto begin = Clock::now();
    const auto end =
        options.seconds > 0
            ? begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.seconds))
            : Clock::time_point::max();
    auto nextTick = begin + std::chrono::seconds(1);
    while (!g_stop && Clock::now() < end && (options.count == 0 || recorder.total() < options.count))
    {
        std::this_thread::sleep_until(std::min({nextTick, end, Clock::now() + std::chrono::milliseconds(100)}));
        if (Clock::now() >= nextTick)
        {
            nextTick += std::chrono::seconds(1);
            const auto [counts, size] = recorder.flush();
            printProgress(std::chrono::duration<double>(Clock::now() - begin).count(), counts, size, false);
        }
    }
    // The readers go before the recorder they call.
    participant->delete_contained_entities();
    const auto [counts, size] = recorder.flush();
    recorder.close();
    printProgress(std::chrono::duration<double>(Clock::now() - begin).count(), counts, size, true);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::cout << "recorded to " << options.output << '\n';
    return 0;
}

Run addRecord(CLI::App& tool)
{
    auto options = std::make_shared<RecordOptions>();
    auto compression = std::make_shared<std::string>("zstd");
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
    command->add_option("--prefix", options->topicPrefix, "topic path before the topic name")->capture_default_str();
    command->add_option("--duration", options->seconds, "stop after S seconds (default: until interrupted)")
        ->check(CLI::NonNegativeNumber);
    command->add_option("--count", options->count, "stop after N messages in all");
    command->add_option("--compression", *compression, "zstd, lz4 or none")
        ->capture_default_str()
        ->check(CLI::IsMember({"zstd", "lz4", "none"}));
    command->add_option("--profiles", options->profiles.profilesFile,
                        "XML profiles file to load (host property dds.xml.profiles.file)")
        ->check(CLI::ExistingFile);
    command->add_option("--qos-library", options->profiles.qosLibrary,
                        "XML profile library for the reader (property dds.qos.profile.library)");
    return [options, compression](const PluginLibrary&) {
        options->compression = mcap::compressionFromName(*compression == "none" ? "" : *compression);
        return record(*options);
    };
}

}  // namespace qara::nimb::tools
