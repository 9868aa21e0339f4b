#include "tools/core/Endpoint.hpp"

#include "tools/core/PlainTypeSupport.hpp"
#include "tools/core/SampleText.hpp"

#include "icd/dds/FastDdsCompat.hpp"
#include "icd/qos/CodeQos.hpp"

#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/ProfileType.hpp>
#include <qara/nimb/ps/DataEventFilter.hpp>

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <chrono>
#include <cmath>
#include <set>
#include <stdexcept>

namespace qara::nimb::tools {

namespace {

namespace dds = eprosima::fastdds::dds;
namespace fdds = icd::dds::fastdds;

constexpr std::chrono::seconds kPublishTimeout{1};

// Numbers a sample of either path, keeping the fields in `kept`.
template <class S>
void number(S& sample, Numbering numbering, uint64_t n, const std::set<std::string>& kept = {})
{
    if (numbering == Numbering::EveryField)
    {
        fillCounter(sample, n, kept);
    }
    else
    {
        setSequence(sample, n);
    }
}

template <class S>
class ReceivedSample final : public Received
{
public:
    ReceivedSample(const S& sample, double sourceTimestamp) : m_sample(sample), m_sourceTimestamp(sourceTimestamp) {}

    uint64_t sequence() const override { return sequenceOf(m_sample); }
    double sourceTimestamp() const override { return m_sourceTimestamp; }
    nlohmann::ordered_json json() const override { return toJson(m_sample); }

private:
    const S& m_sample;
    double m_sourceTimestamp;
};

// The plug-in's publisher, or its subscriber with a listener subscription.
template <class T>
class PluginEndpoint final : public Endpoint
{
public:
    PluginEndpoint(const std::shared_ptr<Session>& session, const std::string& type, const Uri& uri,
                   Numbering numbering, const std::vector<std::string>& assignments, OnSample onSample)
        : Endpoint(session, uri, !onSample),
          m_numbering(numbering),
          m_cdr(session->plugin(), type),
          m_onSample(std::move(onSample))
    {
        const PluginEntries<T> entries(session->plugin(), type);
        m_sample = entries.entity();
        for (const auto& assignment : assignments)
        {
            m_kept.insert(setField(*m_sample, type, assignment));
        }
        fillCounter(*m_sample, 1, m_kept);
        // Watched before the writer or reader exists, so that no match goes unheard.
        session->participant(uri);
        if (!m_onSample)
        {
            m_publisher = entries.publisher(session->host(), uri, session->properties());
            return;
        }
        m_subscriber = entries.subscriber(session->host(), uri, session->properties());
        m_subscription = m_subscriber->subscribeAsync(
            ps::DataEventFilter<T>(), [this](ps::Subscriber<T>&, const ps::DataEvent<T>& event) {
                if (event.hasValidData())
                {
                    m_onSample(ReceivedSample<T>(*event.getData(), event.getSourceTimestamp()));
                }
            });
    }

    void write(uint64_t n, double sourceTimestamp) override
    {
        number(*m_sample, m_numbering, n, m_kept);
        m_publisher->publish(sourceTimestamp, *m_sample, kPublishTimeout);
    }

    void writePayload(const uint8_t* data, std::size_t size, double sourceTimestamp) override
    {
        m_cdr.decode(data, size, m_wire);
        copyWire(m_wire, *m_sample);
        m_publisher->publish(sourceTimestamp, *m_sample, kPublishTimeout);
    }

private:
    const Numbering m_numbering;
    const CdrFunctions<typename WireOf<T>::type> m_cdr;
    typename WireOf<T>::type m_wire;
    std::set<std::string> m_kept;
    std::unique_ptr<T> m_sample;
    std::unique_ptr<ps::Publisher<T>> m_publisher;
    // Declared before the subscription, which calls it.
    const OnSample m_onSample;
    std::unique_ptr<ps::Subscriber<T>> m_subscriber;
    std::unique_ptr<ps::Subscription> m_subscription;
};

// A plain Fast DDS writer or listener reader on the session's participant, with the code QoS or, when the
// session's properties name a profile library, with its profiles as the plug-in takes them.
template <class W>
class PlainEndpoint final : public Endpoint, private dds::DataReaderListener
{
public:
    PlainEndpoint(const std::shared_ptr<Session>& session, const std::string& type, const Uri& uri,
                  Numbering numbering, OnSample onSample)
        : Endpoint(session, uri, !onSample),
          m_numbering(numbering),
          m_cdr(session->plugin(), type),
          m_onSample(std::move(onSample)),
          m_participant(session->participant(uri))
    {
        // A session's plain endpoints share their types' registrations.
        dds::TypeSupport support(new PlainTypeSupport<W>(session->plugin(), type));
        if ((m_participant->find_type(support.get_type_name()).empty() &&
             support.register_type(m_participant.get()) != fdds::kOk) ||
            (m_topic = m_participant->create_topic(topic(), support.get_type_name(), dds::TOPIC_QOS_DEFAULT)) ==
                nullptr)
        {
            throw std::runtime_error("plain Fast DDS: cannot create topic " + topic());
        }
        const Nimb::Properties& properties = session->properties();
        const bool profiled = properties.count("dds.qos.profile.library") != 0;
        const auto profile = [&](ProfileType kind) { return getProfileNameByProfileType(kind, properties); };
        if (!m_onSample)
        {
            fillCounter(m_sample, 1);
            dds::DataWriterQos qos = icd::qos::codeWriterQos();
            m_publisher = profiled ? m_participant->create_publisher_with_profile(profile(ProfileType::Publisher))
                                   : m_participant->create_publisher(dds::PUBLISHER_QOS_DEFAULT);
            if (m_publisher != nullptr &&
                (!profiled ||
                 m_publisher->get_datawriter_qos_from_profile(profile(ProfileType::DataWriter), qos) == fdds::kOk))
            {
                m_writer = m_publisher->create_datawriter(m_topic, qos);
            }
        }
        else
        {
            dds::DataReaderQos qos = icd::qos::codeReaderQos();
            m_subscriber = profiled ? m_participant->create_subscriber_with_profile(profile(ProfileType::Subscriber))
                                    : m_participant->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT);
            if (m_subscriber != nullptr &&
                (!profiled ||
                 m_subscriber->get_datareader_qos_from_profile(profile(ProfileType::DataReader), qos) == fdds::kOk))
            {
                icd::qos::acceptEveryCdrVersion(qos);
                m_takeLimit = qos.reader_resource_limits().max_samples_per_read;
                m_reader = m_subscriber->create_datareader(m_topic, qos, this, dds::StatusMask::data_available());
            }
        }
        if (m_writer == nullptr && m_reader == nullptr)
        {
            throw std::runtime_error(std::string("plain Fast DDS: cannot create a ") +
                                     (m_onSample ? "reader" : "writer") + " for " + topic());
        }
    }

    ~PlainEndpoint() override
    {
        if (m_writer != nullptr)
        {
            // As the plug-in's publisher does before it deletes its writer.
            m_writer->wait_for_acknowledgments(fdds::Duration(5, 0));
        }
        if (m_reader != nullptr)
        {
            m_reader->set_listener(nullptr);
        }
        if (m_publisher != nullptr && m_publisher->delete_contained_entities() == fdds::kOk)
        {
            m_participant->delete_publisher(m_publisher);
        }
        if (m_subscriber != nullptr && m_subscriber->delete_contained_entities() == fdds::kOk)
        {
            m_participant->delete_subscriber(m_subscriber);
        }
        m_participant->delete_topic(m_topic);
    }

    void write(uint64_t n, double sourceTimestamp) override
    {
        number(m_sample, m_numbering, n);
        writeSample(sourceTimestamp);
    }

    void writePayload(const uint8_t* data, std::size_t size, double sourceTimestamp) override
    {
        m_cdr.decode(data, size, m_sample);
        writeSample(sourceTimestamp);
    }

private:
    void writeSample(double sourceTimestamp)
    {
        const double whole = std::floor(sourceTimestamp);
        const fdds::Time stamp(static_cast<int32_t>(whole), static_cast<uint32_t>((sourceTimestamp - whole) * 1e9));
        if (m_writer->write_w_timestamp(&m_sample, dds::HANDLE_NIL, stamp) != fdds::kOk)
        {
            throw std::runtime_error("plain Fast DDS: write failed");
        }
    }

    // Takes on loan and again only after a full batch, as the plug-in's listener does, so that neither path
    // pays for a copy or a take that the other skips.
    void on_data_available(dds::DataReader* reader) override
    {
        dds::LoanableSequence<W> samples;
        dds::SampleInfoSeq infos;
        for (bool full = true; full && reader->take(samples, infos) == fdds::kOk;)
        {
            full = m_takeLimit <= 0 || infos.length() >= m_takeLimit;
            for (dds::LoanableCollection::size_type i = 0; i < infos.length(); ++i)
            {
                if (infos[i].valid_data)
                {
                    const auto& stamp = infos[i].source_timestamp;
                    m_onSample(ReceivedSample<W>(samples[i], fdds::secondsOf(stamp) + fdds::nanosecondsOf(stamp) / 1e9));
                }
            }
            reader->return_loan(samples, infos);
        }
    }

    const Numbering m_numbering;
    const CdrFunctions<W> m_cdr;
    const OnSample m_onSample;
    W m_sample;
    std::shared_ptr<dds::DomainParticipant> m_participant;
    dds::Topic* m_topic = nullptr;
    dds::Publisher* m_publisher = nullptr;
    dds::DataWriter* m_writer = nullptr;
    dds::Subscriber* m_subscriber = nullptr;
    dds::DataReader* m_reader = nullptr;
    // The reader's max_samples_per_read, set before the reader can call the listener.
    int32_t m_takeLimit = 0;
};

std::unique_ptr<Endpoint> open(const std::shared_ptr<Session>& session, Path path, const std::string& type,
                               const Uri& uri, Numbering numbering, const std::vector<std::string>& assignments,
                               Endpoint::OnSample onSample)
{
    if (path == Path::Plain && !assignments.empty())
    {
        throw std::invalid_argument("fields are set by name on the plug-in path only");
    }
    std::unique_ptr<Endpoint> endpoint;
    withTopic(type, [&](auto topic) {
        using Topic = decltype(topic);
        endpoint = path == Path::Plain ? std::unique_ptr<Endpoint>(std::make_unique<PlainEndpoint<typename Topic::Wire>>(
                                             session, type, uri, numbering, std::move(onSample)))
                                       : std::make_unique<PluginEndpoint<typename Topic::Type>>(
                                             session, type, uri, numbering, assignments, std::move(onSample));
    });
    return endpoint;
}

}  // namespace

double wallSeconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

const char* idOf(Path path)
{
    return path == Path::Plugin ? "plugin" : "plain";
}

const char* nameOf(Path path)
{
    return path == Path::Plugin ? "plug-in" : "plain";
}

Endpoint::Endpoint(std::shared_ptr<Session> session, const Uri& uri, bool writer)
    : m_session(std::move(session)), m_topic(DdsUriHelper::topic(uri, true)), m_writer(writer)
{
}

void Endpoint::write(uint64_t, double)
{
    throw std::logic_error("a reader writes nothing");
}

void Endpoint::writePayload(const uint8_t*, std::size_t, double)
{
    throw std::logic_error("a reader writes nothing");
}

int32_t Endpoint::matched() const
{
    return m_session->matches().matched(m_topic, m_writer);
}

std::unique_ptr<Endpoint> openWriter(const std::shared_ptr<Session>& session, Path path, const std::string& type,
                                     const Uri& uri, Numbering numbering, const std::vector<std::string>& assignments)
{
    return open(session, path, type, uri, numbering, assignments, {});
}

std::unique_ptr<Endpoint> openReader(const std::shared_ptr<Session>& session, Path path, const std::string& type,
                                     const Uri& uri, Endpoint::OnSample onSample)
{
    return open(session, path, type, uri, Numbering::SequenceField, {}, std::move(onSample));
}

}  // namespace qara::nimb::tools
