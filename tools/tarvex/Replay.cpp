#include "Commands.hpp"
#include "PayloadDecoder.hpp"
#include "PubSubMeasure.hpp"
#include "PubSubPlugin.hpp"
#include "Recording.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/mcap/Reader.hpp>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/topic/Topic.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace qara::nimb::tools {

namespace {

namespace dds = eprosima::fastdds::dds;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Readers matched per topic, for every writer of the participants it listens to. The plug-in's writers
// have no listener of their own, so Fast DDS reports their matches to their participant's.
class TopicMatches : public dds::DomainParticipantListener
{
public:
    ~TopicMatches() override
    {
        for (const auto& participant : m_participants)
        {
            participant->set_listener(nullptr);
        }
    }

    void listenTo(const std::shared_ptr<dds::DomainParticipant>& participant)
    {
        if (m_participants.insert(participant).second)
        {
            participant->set_listener(this, dds::StatusMask::publication_matched());
        }
    }

    void on_publication_matched(dds::DataWriter* writer, const dds::PublicationMatchedStatus& status) override
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_matched[writer->get_topic()->get_name()] = status.current_count;
        }
        m_changed.notify_all();
    }

    // True once every topic has a reader, false if `limit` passes first.
    bool allMatchedWithin(const std::set<std::string>& topics, Clock::duration limit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return allMatched(topics); });
    }

    void waitForAll(const std::set<std::string>& topics)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return allMatched(topics); });
    }

private:
    std::set<std::shared_ptr<dds::DomainParticipant>> m_participants;
    // Guards m_matched; taken alone.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<std::string, int32_t> m_matched;

    bool allMatched(const std::set<std::string>& topics) const
    {
        return std::all_of(topics.begin(), topics.end(), [&](const std::string& topic) {
            const auto found = m_matched.find(topic);
            return found != m_matched.end() && found->second > 0;
        });
    }
};

// Republishes one channel's messages through the plug-in.
class Lane
{
public:
    virtual ~Lane() = default;
    virtual void publish(const mcap::MessageView& message, double sourceSeconds) = 0;
};

template <class T>
class TopicLane : public Lane
{
public:
    TopicLane(const PluginLibrary& plugin, const std::string& type, const std::shared_ptr<Nimb>& host, const Uri& uri,
              const Nimb::Properties& properties)
        : m_decoder(plugin, type),
          m_publisher(plugin.function<typename PluginEntries<T>::template Factory<ps::Publisher<T>>>(
              "generated_dds_Publisher_tarvex_" + type)(host, uri, {}, properties)),
          m_sample(m_publisher->createDataEntity())
    {
    }

    void publish(const mcap::MessageView& message, double sourceSeconds) override
    {
        m_decoder.decode(message.data, message.size, *m_sample);
        m_publisher->publish(sourceSeconds, *m_sample, milliseconds(1000));
    }

private:
    PayloadDecoder<T> m_decoder;
    std::unique_ptr<ps::Publisher<T>> m_publisher;
    std::shared_ptr<T> m_sample;
};

// "tarvex::PsMeasurements" -> "PsMeasurements"; empty for a schema of another module.
std::string topicType(const std::string& schemaName)
{
    const std::string module = "tarvex::";
    return schemaName.compare(0, module.size(), module) == 0 ? schemaName.substr(module.size()) : std::string();
}

}  // namespace

int replay(const PluginLibrary& plugin, const ReplayOptions& options)
{
    mcap::Reader reader(options.input);
    for (const auto& problem : reader.problems())
    {
        std::cerr << "tarvex replay: " << options.input << " at offset " << problem.offset << ": " << problem.what
                  << '\n';
    }
    Nimb::Properties properties;
    if (!options.profiles.profilesFile.empty())
    {
        properties["dds.xml.profiles.file"] = options.profiles.profilesFile;
    }
    if (!options.profiles.qosLibrary.empty())
    {
        properties["dds.qos.profile.library"] = options.profiles.qosLibrary;
    }
    const auto host = std::make_shared<DdsNimb>(properties);

    const std::set<std::string> wanted(options.topics.begin(), options.topics.end());
    TopicMatches matches;
    std::map<uint16_t, std::unique_ptr<Lane>> lanes;
    std::set<std::string> topics;
    for (const auto& [id, channel] : reader.channels())
    {
        const auto schema = reader.schemas().find(channel.schemaId);
        const std::string type = schema == reader.schemas().end() ? "" : topicType(schema->second.name);
        const bool empty = reader.statistics().channelMessageCounts.count(id) == 0;
        if (empty || (!wanted.empty() && wanted.count(type) == 0 && wanted.count(channel.topic) == 0))
        {
            continue;
        }
        const auto recordedUri = channel.metadata.find("uri");
        const uint32_t domain = options.domain ? *options.domain
                                : recordedUri != channel.metadata.end()
                                    ? DdsUriHelper::domainId(pubSubUri(recordedUri->second))
                                    : 0;
        const Uri uri = pubSubUri("dds.ps://" + std::to_string(domain) + "/" + channel.topic);
        matches.listenTo(host->getDomainParticipant(uri, properties));
        withTopic(type, [&](auto topic) {
            using T = typename decltype(topic)::Type;
            lanes[id] = std::make_unique<TopicLane<T>>(plugin, topic.name, host, uri, properties);
        });
        topics.insert(channel.topic);
    }
    if (lanes.empty())
    {
        throw CLI::ValidationError("nothing to replay: " + options.input + " has no channel of the topics asked for");
    }

    if (!matches.allMatchedWithin(topics, milliseconds(1000)))
    {
        std::cerr << "tarvex replay: waiting for a subscriber on every replayed topic\n";
        matches.waitForAll(topics);
    }
    // As pub does: the subscribers may learn of the writers a little later than the writers learnt of them.
    std::this_thread::sleep_for(milliseconds(500));

    std::set<uint16_t> channels;
    for (const auto& lane : lanes)
    {
        channels.insert(lane.first);
    }
    uint64_t replayed = 0;
    do
    {
        const auto begin = Clock::now();
        std::optional<uint64_t> first;
        reader.readMessages(channels, [&](const mcap::MessageView& message) {
            if (!first)
            {
                first = message.logTime;
            }
            const double offset = message.logTime >= *first ? (message.logTime - *first) / 1e9 / options.rate : 0;
            std::this_thread::sleep_until(
                begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(offset)));
            const double source = options.restamp ? wallSeconds() : message.publishTime / 1e9;
            lanes.at(message.channelId)->publish(message, source);
            ++replayed;
        });
    } while (options.loop);
    // As pub does: samples still on their way to best-effort readers get a moment to arrive.
    std::this_thread::sleep_for(milliseconds(500));
    std::cout << "replayed " << replayed << " messages of " << lanes.size() << " topics from " << options.input << '\n';
    return 0;
}

Run addReplay(CLI::App& tool)
{
    auto options = std::make_shared<ReplayOptions>();
    auto domain = std::make_shared<uint32_t>(0);
    CLI::App* command = tool.add_subcommand("replay", "publish an MCAP recording again through the plug-in");
    command->footer(
        "Waits until every replayed topic has a subscriber, then publishes each recorded message through the\n"
        "plug-in, on the topic it was recorded from, with the recording's relative timing scaled by X and its\n"
        "source time stamp.");
    command->add_option("file", options->input, "the MCAP file")->required()->check(CLI::ExistingFile);
    command->add_option("--rate", options->rate, "speed factor (1: as recorded; 2: twice as fast)")
        ->capture_default_str()
        ->check(CLI::Range(1e-3, 1e6));
    command->add_flag("--loop", options->loop, "start again at the end, until interrupted");
    command->add_flag("--restamp", options->restamp, "stamp samples with the time they are sent instead");
    CLI::Option* domainOption = command->add_option("--domain", *domain, "DDS domain (default: the recorded one)")
                                    ->check(CLI::Range(0u, DdsUriHelper::maxDomainId));
    command->add_option("--topics", options->topics, "only these topics (topic types or DDS topic names)")
        ->delimiter(',');
    command->add_option("--profiles", options->profiles.profilesFile,
                        "XML profiles file to load (host property dds.xml.profiles.file)")
        ->check(CLI::ExistingFile);
    command->add_option("--qos-library", options->profiles.qosLibrary,
                        "XML profile library for the writers (property dds.qos.profile.library)");
    return [options, domain, domainOption](const PluginLibrary& plugin) {
        if (*domainOption)
        {
            options->domain = *domain;
        }
        return replay(plugin, *options);
    };
}

}  // namespace qara::nimb::tools
