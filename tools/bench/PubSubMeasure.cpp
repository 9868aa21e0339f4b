#include "PubSubMeasure.hpp"

#include "PlainTypeSupport.hpp"
#include "PubSubPlugin.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/ps/DataEventFilter.hpp>

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <thread>

namespace qara::nimb::tools {

namespace {

namespace dds = eprosima::fastdds::dds;

struct ParticipantDeleter
{
    void operator()(dds::DomainParticipant* participant) const
    {
        participant->delete_contained_entities();
        dds::DomainParticipantFactory::get_instance()->delete_participant(participant);
    }
};
using ParticipantPtr = std::unique_ptr<dds::DomainParticipant, ParticipantDeleter>;

template <class W>
dds::Topic* plainTopic(dds::DomainParticipant& participant, const PluginLibrary& plugin, const std::string& type,
                       const std::string& name)
{
    dds::TypeSupport support(new PlainTypeSupport<W>(plugin, type));
    if (support.register_type(&participant) != dds::RETCODE_OK)
    {
        throw std::runtime_error("plain Fast DDS: cannot register the type of " + name);
    }
    dds::Topic* topic = participant.create_topic(name, support.get_type_name(), dds::TOPIC_QOS_DEFAULT);
    if (topic == nullptr)
    {
        throw std::runtime_error("plain Fast DDS: cannot create topic " + name);
    }
    return topic;
}

ParticipantPtr plainParticipant(uint32_t domain)
{
    ParticipantPtr participant(
        dds::DomainParticipantFactory::get_instance()->create_participant(domain, dds::PARTICIPANT_QOS_DEFAULT));
    if (!participant)
    {
        throw std::runtime_error("plain Fast DDS: cannot create a participant on domain " + std::to_string(domain));
    }
    return participant;
}

template <class T>
class PlainChannel final : public Channel, private dds::DataReaderListener
{
public:
    using W = typename WireOf<T>::type;

    PlainChannel(const PluginLibrary& plugin, const std::string& type, uint32_t domain, const std::string& topicName,
                 OnArrival onArrival)
        : m_onArrival(std::move(onArrival)), m_writerSide(plainParticipant(domain))
    {
        fillWire(m_sample, 1);
        dds::Topic* topic = plainTopic<W>(*m_writerSide, plugin, type, topicName);
        m_writer =
            m_writerSide->create_publisher(dds::PUBLISHER_QOS_DEFAULT)->create_datawriter(topic, plainWriterQos());
        if (m_writer == nullptr)
        {
            throw std::runtime_error("plain Fast DDS: cannot create a writer for " + topicName);
        }
        if (m_onArrival)
        {
            m_readerSide = plainParticipant(domain);
            dds::Topic* readTopic = plainTopic<W>(*m_readerSide, plugin, type, topicName);
            if (m_readerSide->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT)
                    ->create_datareader(readTopic, plainReaderQos(), this, dds::StatusMask::data_available()) ==
                nullptr)
            {
                throw std::runtime_error("plain Fast DDS: cannot create a reader for " + topicName);
            }
        }
    }

    void publish(double sourceTimestamp) override
    {
        const dds::ReturnCode_t code =
            m_writer->write_w_timestamp(&m_sample, dds::HANDLE_NIL, sourceTimeOf(sourceTimestamp));
        if (code != dds::RETCODE_OK)
        {
            throw std::runtime_error("plain Fast DDS: write failed with code " + std::to_string(code));
        }
    }

private:
    // Takes on loan, as the plug-in's listener does, so that neither side pays for a copy the other skips.
    void on_data_available(dds::DataReader* reader) override
    {
        dds::LoanableSequence<W> samples;
        dds::SampleInfoSeq infos;
        while (reader->take(samples, infos) == dds::RETCODE_OK)
        {
            for (dds::LoanableCollection::size_type i = 0; i < infos.length(); ++i)
            {
                if (infos[i].valid_data)
                {
                    m_onArrival(sourceSecondsOf(infos[i]));
                }
            }
            reader->return_loan(samples, infos);
        }
    }

    // Declared so that the reader goes first, while its listener and callback still exist.
    OnArrival m_onArrival;
    W m_sample;
    ParticipantPtr m_writerSide;
    dds::DataWriter* m_writer = nullptr;
    ParticipantPtr m_readerSide;
};

template <class T>
class PluginChannel final : public Channel
{
public:
    PluginChannel(const PluginLibrary& plugin, const char* type, const Uri& uri, const OnArrival& onArrival)
    {
        const PluginEntries<T> entries(plugin, type);
        m_publisher = entries.publisher(m_publishingHost, uri);
        m_sample = m_publisher->createDataEntity();
        fillCounter(*m_sample, 1);
        if (onArrival)
        {
            m_subscriber = entries.subscriber(m_subscribingHost, uri);
            m_subscription = m_subscriber->subscribeAsync(
                ps::DataEventFilter<T>(), [onArrival](ps::Subscriber<T>&, const ps::DataEvent<T>& event) {
                    onArrival(event.getSourceTimestamp());
                });
        }
    }

    void publish(double sourceTimestamp) override
    {
        m_publisher->publish(sourceTimestamp, *m_sample, std::chrono::seconds(1));
    }

private:
    // Two hosts, so that writer and reader sit on participants of their own as in the plain channel.
    std::shared_ptr<Nimb> m_publishingHost = std::make_shared<DdsNimb>();
    std::shared_ptr<Nimb> m_subscribingHost = std::make_shared<DdsNimb>();
    std::unique_ptr<ps::Publisher<T>> m_publisher;
    std::shared_ptr<T> m_sample;
    std::unique_ptr<ps::Subscriber<T>> m_subscriber;
    std::unique_ptr<ps::Subscription> m_subscription;
};

}  // namespace

const char* to_string(Path path)
{
    return path == Path::Plugin ? "plug-in" : "plain";
}

const char* idOf(Path path)
{
    return path == Path::Plugin ? "plugin" : "plain";
}

double wallSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::unique_ptr<Channel> openChannel(Path path, const std::string& type, const PluginLibrary& plugin, uint32_t domain,
                                     const std::string& tag, Channel::OnArrival onArrival)
{
    const std::string topicName = "tarvex/" + type + "/" + idOf(path) + "/" + tag;
    std::unique_ptr<Channel> channel;
    withTopic(type, [&](auto topic) {
        using T = typename decltype(topic)::Type;
        if (path == Path::Plugin)
        {
            const Uri uri("dds.ps://" + std::to_string(domain) + "/" + topicName);
            channel = std::make_unique<PluginChannel<T>>(plugin, topic.name, uri, onArrival);
        }
        else
        {
            channel = std::make_unique<PlainChannel<T>>(plugin, topic.name, domain, topicName, std::move(onArrival));
        }
    });
    return channel;
}

void Arrivals::arrive(double sourceTimestamp)
{
    const double now = wallSeconds();
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (sourceTimestamp < m_since)
        {
            return;
        }
        m_latencies.push_back(now - sourceTimestamp);
        m_lastArrival = now;
    }
    m_arrived.notify_all();
}

void Arrivals::restart(double since)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_since = since;
    m_latencies.clear();
    m_lastArrival = 0;
}

std::size_t Arrivals::waitFor(std::size_t count, std::chrono::duration<double> limit)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_arrived.wait_for(lock, limit, [&] { return m_latencies.size() >= count; });
    return m_latencies.size();
}

std::size_t Arrivals::count()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_latencies.size();
}

std::vector<double> Arrivals::latencies()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_latencies;
}

double Arrivals::lastArrival()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastArrival;
}

void warmUp(Channel& channel, Arrivals& arrivals, std::chrono::duration<double> limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    arrivals.restart(0);
    do
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            throw std::runtime_error("the reader never received anything within " +
                                     std::to_string(static_cast<int>(limit.count())) + " s");
        }
        channel.publish(wallSeconds());
    } while (arrivals.waitFor(1, std::chrono::milliseconds(10)) == 0);
}

std::unique_ptr<Channel> openCounted(Path path, const std::string& type, const PluginLibrary& plugin, uint32_t domain,
                                     const std::string& tag, Arrivals& arrivals)
{
    auto channel = openChannel(path, type, plugin, domain, tag, [&arrivals](double stamp) { arrivals.arrive(stamp); });
    warmUp(*channel, arrivals);
    arrivals.restart(wallSeconds());
    return channel;
}

LatencySummary summarize(std::vector<double> latencies)
{
    LatencySummary summary;
    summary.count = latencies.size();
    if (latencies.empty())
    {
        return summary;
    }
    // Nearest rank: the smallest value with at least p of all values at or below it.
    auto rank = [&](double p) {
        const auto index = static_cast<std::size_t>(std::ceil(p * static_cast<double>(latencies.size()))) - 1;
        std::nth_element(latencies.begin(), latencies.begin() + static_cast<std::ptrdiff_t>(index), latencies.end());
        return latencies[index];
    };
    summary.median = rank(0.5);
    summary.p90 = rank(0.9);
    summary.p99 = rank(0.99);
    summary.max = rank(1.0);
    return summary;
}

Measurement measure(Channel& channel, Arrivals& arrivals, const MeasureOptions& options)
{
    using Clock = std::chrono::steady_clock;
    Measurement result;
    // Whatever a phase still has in flight after this long is lost.
    const auto drain = std::chrono::seconds(2);

    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options.latencyRate));
    arrivals.restart(wallSeconds());
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(options.phase);
    for (auto next = start; next < end; next += period)
    {
        std::this_thread::sleep_until(next);
        channel.publish(wallSeconds());
        ++result.latencySent;
    }
    arrivals.waitFor(result.latencySent, drain);
    result.latencies = arrivals.latencies();

    const double first = wallSeconds();
    arrivals.restart(first);
    const auto throughputEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(options.phase);
    while (Clock::now() < throughputEnd)
    {
        channel.publish(wallSeconds());
        ++result.throughputSent;
    }
    result.throughputReceived = arrivals.waitFor(result.throughputSent, drain);
    result.throughputSeconds = arrivals.lastArrival() - first;
    return result;
}

RatioSummary summarizeRatios(const std::vector<double>& ratios)
{
    if (ratios.empty())
    {
        return {};
    }
    const auto median = [](std::vector<double> values) {
        const std::size_t middle = values.size() / 2;
        std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
        const double upper = values[middle];
        if (values.size() % 2 == 1)
        {
            return upper;
        }
        return (*std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle)) + upper) / 2;
    };
    // A fixed seed: the same rounds give the same interval.
    std::mt19937 random(20261206);
    std::uniform_int_distribution<std::size_t> pick(0, ratios.size() - 1);
    constexpr std::size_t resamples = 2000;
    std::vector<double> medians(resamples);
    std::vector<double> resample(ratios.size());
    for (double& m : medians)
    {
        for (double& value : resample)
        {
            value = ratios[pick(random)];
        }
        m = median(resample);
    }
    std::sort(medians.begin(), medians.end());
    return {median(ratios), medians[resamples * 25 / 1000], medians[resamples * 975 / 1000 - 1]};
}

}  // namespace qara::nimb::tools
