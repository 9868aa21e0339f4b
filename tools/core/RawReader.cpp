#include "tools/core/RawReader.hpp"

#include "icd/dds/FastDdsCompat.hpp"
#include "icd/qos/CodeQos.hpp"

#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/ProfileType.hpp>

#include <fastdds/dds/core/status/BaseStatus.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace qara::nimb::tools {

namespace {

namespace dds = eprosima::fastdds::dds;
namespace fdds = icd::dds::fastdds;

// Larger than any payload of the module; a reader's memory grows with what actually arrives.
constexpr uint32_t kMaxPayload = 64 * 1024;

struct RawPayload
{
    std::vector<uint8_t> bytes;
};

// Type support that copies payloads instead of decoding them.
class RawPayloadType : public fdds::TopicDataType
{
public:
    explicit RawPayloadType(const std::string& typeName)
    {
        set_name(typeName.c_str());
        max_serialized_type_size = kMaxPayload;
        is_compute_key_provided = false;
    }

    bool serialize(const void* const data, fdds::SerializedPayload& payload, fdds::DataRepresentationId) override
    {
        const auto& bytes = static_cast<const RawPayload*>(data)->bytes;
        if (bytes.size() > payload.max_size)
        {
            return false;
        }
        std::memcpy(payload.data, bytes.data(), bytes.size());
        payload.length = static_cast<uint32_t>(bytes.size());
        return true;
    }

    bool deserialize(fdds::SerializedPayload& payload, void* data) override
    {
        static_cast<RawPayload*>(data)->bytes.assign(payload.data, payload.data + payload.length);
        return true;
    }

    uint32_t calculate_serialized_size(const void* const data, fdds::DataRepresentationId) override
    {
        return static_cast<uint32_t>(static_cast<const RawPayload*>(data)->bytes.size());
    }

    void* create_data() override { return new RawPayload(); }
    void delete_data(void* data) override { delete static_cast<RawPayload*>(data); }
    bool compute_key(fdds::SerializedPayload&, fdds::InstanceHandle&, bool) override { return false; }
    bool compute_key(const void* const, fdds::InstanceHandle&, bool) override { return false; }
};

uint64_t nanoseconds(const fdds::SampleTime& time)
{
    const int32_t seconds = fdds::secondsOf(time);
    return seconds < 0 ? 0 : uint64_t(seconds) * 1000000000u + fdds::nanosecondsOf(time);
}

dds::DataReaderQos rawReaderQos(dds::Subscriber& subscriber, const Nimb::Properties& properties)
{
    dds::DataReaderQos qos = icd::qos::codeReaderQos();
    if (properties.count("dds.qos.profile.library") != 0)
    {
        const std::string name = getProfileNameByProfileType(ProfileType::DataReader, properties);
        dds::DataReaderQos profile;
        if (subscriber.get_datareader_qos_from_profile(name, profile) != fdds::kOk)
        {
            throw NimbException("no data-reader profile " + name + " is loaded");
        }
        qos.reliability() = profile.reliability();
        qos.durability() = profile.durability();
    }
    return qos;
}

}  // namespace

// One topic's reader, which it deletes with itself: the reader goes before the listener it calls.
class RawReader::Lane : public dds::DataReaderListener
{
public:
    Lane(std::size_t index, const OnSample& onSample) : m_index(index), m_onSample(onSample) {}

    ~Lane() override
    {
        if (m_subscriber != nullptr && m_subscriber->delete_contained_entities() == fdds::kOk)
        {
            m_participant->delete_subscriber(m_subscriber);
        }
        if (m_topic != nullptr)
        {
            m_participant->delete_topic(m_topic);
        }
    }

    void open(Session& session, const Topic& topic)
    {
        m_participant = session.participant(topic.uri);
        const std::string typeName = "generated::dds_::tarvex::" + topic.type;
        const std::string topicName = DdsUriHelper::topic(topic.uri, true);
        dds::TypeSupport support(new RawPayloadType(typeName));
        if ((m_participant->find_type(typeName).empty() && support.register_type(m_participant.get()) != fdds::kOk) ||
            (m_topic = m_participant->create_topic(topicName, typeName, dds::TOPIC_QOS_DEFAULT)) == nullptr ||
            (m_subscriber = m_participant->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT)) == nullptr)
        {
            throw std::runtime_error("cannot create topic " + topicName);
        }
        if (m_subscriber->create_datareader(m_topic, rawReaderQos(*m_subscriber, session.properties()), this,
                                            dds::StatusMask::data_available() << dds::StatusMask::sample_lost()) ==
            nullptr)
        {
            throw std::runtime_error("cannot create a reader of " + topicName);
        }
    }

    void on_data_available(dds::DataReader* reader) override
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        dds::SampleInfo info;
        while (reader->take_next_sample(&m_sample, &info) == fdds::kOk)
        {
            if (info.valid_data)
            {
                RawSample sample{m_sample.bytes.data(), m_sample.bytes.size(), nanoseconds(info.reception_timestamp),
                                 nanoseconds(info.source_timestamp), info.sample_identity.sequence_number().to64long()};
                if (sample.receptionTime == 0)
                {
                    sample.receptionTime = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch() /
                                                                 std::chrono::nanoseconds(1));
                }
                m_onSample(m_index, sample);
            }
        }
    }

    void on_sample_lost(dds::DataReader*, const dds::SampleLostStatus& status) override
    {
        lost = static_cast<uint64_t>(status.total_count);
    }

    std::atomic<uint64_t> lost{0};

private:
    const std::size_t m_index;
    const OnSample& m_onSample;
    std::shared_ptr<dds::DomainParticipant> m_participant;
    dds::Topic* m_topic = nullptr;
    dds::Subscriber* m_subscriber = nullptr;
    // Guards m_sample against a second delivery thread; taken alone.
    std::mutex m_mutex;
    RawPayload m_sample;
};

RawReader::RawReader(const std::shared_ptr<Session>& session, const std::vector<Topic>& topics, OnSample onSample)
    : m_onSample(std::move(onSample)), m_session(session)
{
    // A lane that fails to open is deleted with those before it.
    for (std::size_t i = 0; i < topics.size(); ++i)
    {
        m_lanes.emplace_back(std::make_unique<Lane>(i, m_onSample))->open(*session, topics[i]);
    }
}

RawReader::~RawReader() = default;

uint64_t RawReader::lost(std::size_t topic) const
{
    return m_lanes.at(topic)->lost;
}

}  // namespace qara::nimb::tools
