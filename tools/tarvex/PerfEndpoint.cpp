#include "PerfEndpoint.hpp"

#include "PlainTypeSupport.hpp"
#include "PubSubMeasure.hpp"
#include "PubSubPlugin.hpp"

#include <qara/nimb/DdsNimb.hpp>
#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/ps/DataEventFilter.hpp>

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantListener.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <atomic>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace qara::nimb::tools {

namespace {

namespace dds = eprosima::fastdds::dds;

// How well a field of type F carries a sequence number; 0: not at all.
template <class F>
constexpr int rankOf()
{
    if constexpr (std::is_same_v<F, bool>)
    {
        return 0;
    }
    else if constexpr (std::is_integral_v<F>)
    {
        return sizeof(F) == 8 && std::is_unsigned_v<F> ? 3 : sizeof(F) == 4 ? 2 : 0;
    }
    else if constexpr (std::is_arithmetic_v<F>)
    {
        return 0;
    }
    else
    {
        return std::is_floating_point_v<typename F::value_type> ? 1 : 0;
    }
}

// The sequence field's position in wire order, and its name.
template <class W>
const std::pair<std::size_t, std::string>& sequenceFieldOf()
{
    static const std::pair<std::size_t, std::string> field = [] {
        std::pair<std::size_t, std::string> best;
        int bestRank = 0;
        std::size_t index = 0;
        W().visitFields([&](const char* name, const auto& value) {
            const int rank = rankOf<std::decay_t<decltype(value)>>();
            if (rank > bestRank)
            {
                best = {index, name};
                bestRank = rank;
            }
            ++index;
        });
        return best;
    }();
    return field;
}

template <class W>
void setWireSequence(W& sample, uint64_t sequence)
{
    std::size_t index = 0;
    sample.visitFields([&](const char*, auto& field) {
        if (index++ == sequenceFieldOf<W>().first)
        {
            using F = std::decay_t<decltype(field)>;
            if constexpr (std::is_arithmetic_v<F>)
            {
                field = static_cast<F>(sequence);
            }
            else
            {
                field[0] = static_cast<typename F::value_type>(sequence);
            }
        }
    });
}

template <class W>
uint64_t wireSequence(const W& sample)
{
    uint64_t sequence = 0;
    std::size_t index = 0;
    sample.visitFields([&](const char*, const auto& field) {
        if (index++ == sequenceFieldOf<W>().first)
        {
            if constexpr (std::is_arithmetic_v<std::decay_t<decltype(field)>>)
            {
                sequence = static_cast<uint64_t>(field);
            }
            else
            {
                sequence = static_cast<uint64_t>(field[0]);
            }
        }
    });
    return sequence;
}

// The same through a topic interface, whose fields come in the same order.
template <class T>
void setSequence(T& sample, uint64_t sequence)
{
    std::size_t index = 0;
    sample.visitFields([&](const char*, const auto& value, const auto& set) {
        if (index++ != sequenceFieldOf<typename WireOf<T>::type>().first)
        {
            return;
        }
        using V = std::decay_t<decltype(value)>;
        if constexpr (IsSharedVector<V>::value)
        {
            using E = std::remove_const_t<typename V::element_type>;
            shared_vector<E> elements(value.size());
            for (std::size_t i = 0; i < value.size(); ++i)
            {
                elements[i] = value[i];
            }
            elements[0] = static_cast<E>(sequence);
            set(freeze(std::move(elements)));
        }
        else
        {
            set(static_cast<V>(sequence));
        }
    });
}

template <class T>
uint64_t sequenceOf(const T& sample)
{
    uint64_t sequence = 0;
    std::size_t index = 0;
    sample.visitFields([&](const char*, const auto& value) {
        if (index++ == sequenceFieldOf<typename WireOf<T>::type>().first)
        {
            if constexpr (IsSharedVector<std::decay_t<decltype(value)>>::value)
            {
                sequence = static_cast<uint64_t>(value[0]);
            }
            else
            {
                sequence = static_cast<uint64_t>(value);
            }
        }
    });
    return sequence;
}

// Hears the matches of the writers of a participant that have no listener of their own (the plug-in's,
// the plain one); a participant of this tool has one writer at most.
class MatchCounter : public dds::DomainParticipantListener
{
public:
    void on_publication_matched(dds::DataWriter*, const dds::PublicationMatchedStatus& status) override
    {
        matched = status.current_count;
    }

    std::atomic<int32_t> matched{0};
};

// What both paths share: a host made from the properties, and its participant for the URI.
class HostedEndpoint : public PerfEndpoint
{
public:
    HostedEndpoint(const Uri& uri, const Nimb::Properties& properties)
        : m_host(std::make_shared<DdsNimb>(properties)), m_participant(m_host->getDomainParticipant(uri, properties))
    {
        m_participant->set_listener(&m_matches, dds::StatusMask::publication_matched());
    }

    ~HostedEndpoint() override { m_participant->set_listener(nullptr); }

    int32_t matchedReaders() override { return m_matches.matched; }

protected:
    MatchCounter m_matches;
    std::shared_ptr<DdsNimb> m_host;
    std::shared_ptr<dds::DomainParticipant> m_participant;
};

template <class T>
class PluginEndpoint final : public HostedEndpoint
{
public:
    PluginEndpoint(const PluginLibrary& plugin, const std::string& type, const Uri& uri,
                   const Nimb::Properties& properties, const OnSample& onSample)
        : HostedEndpoint(uri, properties)
    {
        const PluginEntries<T> entries(plugin, type);
        if (!onSample)
        {
            m_publisher = entries.publisher(m_host, uri, properties);
            m_sample = m_publisher->createDataEntity();
            fillCounter(*m_sample, 1);
            return;
        }
        m_subscriber = entries.subscriber(m_host, uri, properties);
        m_subscription = m_subscriber->subscribeAsync(
            ps::DataEventFilter<T>(), [onSample](ps::Subscriber<T>&, const ps::DataEvent<T>& event) {
                if (event.hasValidData())
                {
                    onSample(sequenceOf(*event.getData()), event.getSourceTimestamp());
                }
            });
    }

    void write(uint64_t sequence, double sourceTimestamp) override
    {
        setSequence(*m_sample, sequence);
        m_publisher->publish(sourceTimestamp, *m_sample, std::chrono::seconds(1));
    }

private:
    std::unique_ptr<ps::Publisher<T>> m_publisher;
    std::shared_ptr<T> m_sample;
    std::unique_ptr<ps::Subscriber<T>> m_subscriber;
    std::unique_ptr<ps::Subscription> m_subscription;
};

template <class W>
class PlainEndpoint final : public HostedEndpoint, private dds::DataReaderListener
{
public:
    PlainEndpoint(const PluginLibrary& plugin, const std::string& type, const Uri& uri,
                  const Nimb::Properties& properties, OnSample onSample)
        : HostedEndpoint(uri, properties), m_onSample(std::move(onSample))
    {
        dds::TypeSupport support(new PlainTypeSupport<W>(plugin, type));
        if (support.register_type(m_participant.get()) != dds::RETCODE_OK)
        {
            throw std::runtime_error("plain Fast DDS: cannot register the type of " + type);
        }
        const std::string topicName = DdsUriHelper::topic(uri, true);
        dds::Topic* topic = m_participant->create_topic(topicName, support.get_type_name(), dds::TOPIC_QOS_DEFAULT);
        if (topic == nullptr)
        {
            throw std::runtime_error("plain Fast DDS: cannot create topic " + topicName);
        }
        // The profile library of the properties, as the plug-in reads it.
        const auto library = properties.find("dds.qos.profile.library");
        const auto profile = [&](const std::string& kind) {
            const auto named = properties.find("dds.qos.profile." + kind);
            return named != properties.end() ? named->second : library->second + "." + kind;
        };
        const bool profiled = library != properties.end();
        if (!m_onSample)
        {
            fillWire(m_sample, 1);
            dds::Publisher* publisher = profiled ? m_participant->create_publisher_with_profile(profile("publisher"))
                                                 : m_participant->create_publisher(dds::PUBLISHER_QOS_DEFAULT);
            dds::DataWriterQos qos = plainWriterQos();
            if (publisher != nullptr && profiled &&
                publisher->get_datawriter_qos_from_profile(profile("datawriter"), qos) != dds::RETCODE_OK)
            {
                publisher = nullptr;
            }
            m_writer = publisher != nullptr ? publisher->create_datawriter(topic, qos) : nullptr;
            if (m_writer == nullptr)
            {
                throw std::runtime_error("plain Fast DDS: cannot create a writer for " + topicName);
            }
            return;
        }
        dds::Subscriber* subscriber = profiled ? m_participant->create_subscriber_with_profile(profile("subscriber"))
                                               : m_participant->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT);
        dds::DataReaderQos qos = plainReaderQos();
        if (subscriber != nullptr && profiled)
        {
            const auto representation = qos.representation();
            if (subscriber->get_datareader_qos_from_profile(profile("datareader"), qos) != dds::RETCODE_OK)
            {
                subscriber = nullptr;
            }
            qos.representation() = representation;
        }
        m_reader = subscriber != nullptr
                       ? subscriber->create_datareader(topic, qos, this, dds::StatusMask::data_available())
                       : nullptr;
        if (m_reader == nullptr)
        {
            throw std::runtime_error("plain Fast DDS: cannot create a reader for " + topicName);
        }
    }

    ~PlainEndpoint() override
    {
        if (m_writer != nullptr)
        {
            // As the plug-in's publisher does before it deletes its writer.
            m_writer->wait_for_acknowledgments(dds::Duration_t(5, 0));
        }
        if (m_reader != nullptr)
        {
            m_reader->set_listener(nullptr);
        }
        m_participant->delete_contained_entities();
    }

    void write(uint64_t sequence, double sourceTimestamp) override
    {
        setWireSequence(m_sample, sequence);
        if (m_writer->write_w_timestamp(&m_sample, dds::HANDLE_NIL, sourceTimeOf(sourceTimestamp)) != dds::RETCODE_OK)
        {
            throw std::runtime_error("plain Fast DDS: write failed");
        }
    }

private:
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
                    m_onSample(wireSequence(samples[i]), sourceSecondsOf(infos[i]));
                }
            }
            reader->return_loan(samples, infos);
        }
    }

    OnSample m_onSample;
    W m_sample;
    dds::DataWriter* m_writer = nullptr;
    dds::DataReader* m_reader = nullptr;
};

std::unique_ptr<PerfEndpoint> open(Path path, const std::string& type, const PluginLibrary& plugin, const Uri& uri,
                                   const Nimb::Properties& properties, PerfEndpoint::OnSample onSample)
{
    std::unique_ptr<PerfEndpoint> endpoint;
    withTopic(type, [&](auto topic) {
        using T = typename decltype(topic)::Type;
        if (path == Path::Plugin)
        {
            endpoint = std::make_unique<PluginEndpoint<T>>(plugin, type, uri, properties, onSample);
        }
        else
        {
            endpoint = std::make_unique<PlainEndpoint<typename WireOf<T>::type>>(plugin, type, uri, properties,
                                                                                 std::move(onSample));
        }
    });
    return endpoint;
}

}  // namespace

std::string sequenceField(const std::string& type)
{
    std::string name;
    withTopic(type, [&](auto topic) {
        name = sequenceFieldOf<typename WireOf<typename decltype(topic)::Type>::type>().second;
    });
    return name;
}

std::unique_ptr<PerfEndpoint> openWriter(Path path, const std::string& type, const PluginLibrary& plugin,
                                         const Uri& uri, const Nimb::Properties& properties)
{
    return open(path, type, plugin, uri, properties, {});
}

std::unique_ptr<PerfEndpoint> openReader(Path path, const std::string& type, const PluginLibrary& plugin,
                                         const Uri& uri, const Nimb::Properties& properties,
                                         PerfEndpoint::OnSample onSample)
{
    return open(path, type, plugin, uri, properties, std::move(onSample));
}

}  // namespace qara::nimb::tools
