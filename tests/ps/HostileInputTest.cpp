#include "Deliveries.hpp"
#include "LogCapture.hpp"
#include "Matching.hpp"
#include "PubSubPair.hpp"
#include "SampleValues.hpp"

#include "generated/dds/DecodeFailures.hpp"

#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/topic/TopicDataType.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

using namespace std::chrono_literals;
using namespace tarvex_test;

namespace {

constexpr uint32_t kDomain = 226;

namespace dds = eprosima::fastdds::dds;

// Sends whatever bytes it is given under a real type name, as a broken or hostile peer would.
class RawBytesType : public dds::TopicDataType
{
public:
    using Bytes = std::vector<unsigned char>;

    RawBytesType(const std::string& typeName, uint32_t maxSize)
    {
        set_name(typeName);
        max_serialized_type_size = maxSize;
        is_compute_key_provided = false;
    }

    bool serialize(const void* const data, eprosima::fastdds::rtps::SerializedPayload_t& payload,
                   dds::DataRepresentationId_t) override
    {
        const auto& bytes = *static_cast<const Bytes*>(data);
        if (bytes.size() > payload.max_size)
        {
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), payload.data);
        payload.length = static_cast<uint32_t>(bytes.size());
        payload.encapsulation = CDR_LE;
        return true;
    }

    bool deserialize(eprosima::fastdds::rtps::SerializedPayload_t&, void*) override { return false; }
    uint32_t calculate_serialized_size(const void* const data, dds::DataRepresentationId_t) override
    {
        return static_cast<uint32_t>(static_cast<const Bytes*>(data)->size());
    }
    void* create_data() override { return new Bytes(); }
    void delete_data(void* data) override { delete static_cast<Bytes*>(data); }
    bool compute_key(eprosima::fastdds::rtps::SerializedPayload_t&, eprosima::fastdds::rtps::InstanceHandle_t&,
                     bool) override
    {
        return false;
    }
    bool compute_key(const void* const, eprosima::fastdds::rtps::InstanceHandle_t&, bool) override { return false; }
};

// A participant of its own with a writer of raw bytes on the topic.
class RawWriter
{
public:
    RawWriter(const std::string& topicName, const std::string& typeName, uint32_t maxSize)
    {
        m_participant =
            dds::DomainParticipantFactory::get_instance()->create_participant(kDomain, dds::PARTICIPANT_QOS_DEFAULT);
        dds::TypeSupport type(new RawBytesType(typeName, maxSize));
        type.register_type(m_participant);
        auto* topic = m_participant->create_topic(topicName, typeName, dds::TOPIC_QOS_DEFAULT);
        m_writer = m_participant->create_publisher(dds::PUBLISHER_QOS_DEFAULT)
                       ->create_datawriter(topic, dds::DATAWRITER_QOS_DEFAULT);
    }

    ~RawWriter()
    {
        m_participant->delete_contained_entities();
        dds::DomainParticipantFactory::get_instance()->delete_participant(m_participant);
    }

    void write(const RawBytesType::Bytes& bytes) { ASSERT_EQ(m_writer->write(&bytes), dds::RETCODE_OK); }

    dds::DataWriter& writer() { return *m_writer; }

private:
    dds::DomainParticipant* m_participant = nullptr;
    dds::DataWriter* m_writer = nullptr;
};

template <class TopicType>
class HostileInput : public ::testing::Test
{
protected:
    using Pair = PubSubPair<TopicType>;
    using W = typename Pair::W;

    HostileInput() : pair(uniqueUri(kDomain, "hostile")) {}

    // Garbage of every kind: empty, truncated, wrong header, random bodies of random lengths.
    static std::vector<RawBytesType::Bytes> garbage()
    {
        std::vector<RawBytesType::Bytes> payloads = {{},
                                                     {0x00},
                                                     {0x00, 0x01, 0x00},
                                                     {0x00, 0x01, 0x00, 0x00},
                                                     {0x00, 0x09, 0x00, 0x00, 0xff, 0xff, 0xff, 0x7f},
                                                     {0x7f, 0x7f, 0x00, 0x00, 0x01, 0x02}};
        std::mt19937 random(20261205);
        for (int i = 0; i < 40; ++i)
        {
            RawBytesType::Bytes bytes(random() % 1100);
            for (auto& byte : bytes)
            {
                byte = static_cast<unsigned char>(random());
            }
            if (bytes.size() >= 2 && i % 2 == 0)
            {
                bytes[0] = 0x00;
                bytes[1] = i % 4 == 0 ? 0x01 : 0x09;  // a plausible header in front of a corrupt body
            }
            payloads.push_back(bytes);
        }
        return payloads;
    }

    Pair pair;
};

using HostileTopics = ::testing::Types<Medium, Fast>;
TYPED_TEST_SUITE(HostileInput, HostileTopics, TopicNames);

TYPED_TEST(HostileInput, CorruptPayloadsAreDroppedAndValidOnesStillArrive)
{
    using T = typename TestFixture::Pair::T;
    using W = typename TestFixture::W;
    const auto garbage = this->garbage();
    // Some random bytes happen to be a well-formed sample; those are data, whatever they mean.
    std::set<std::vector<unsigned char>> wellFormed;
    typename TestFixture::Pair::ST::PubSubType typeSupport;
    for (const auto& bytes : garbage)
    {
        eprosima::fastdds::rtps::SerializedPayload_t payload(static_cast<uint32_t>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), payload.data);
        payload.length = static_cast<uint32_t>(bytes.size());
        W decoded;
        if (typeSupport.deserialize(payload, &decoded))
        {
            wellFormed.insert(fieldBytes(decoded));
        }
    }

    const std::size_t notesBefore = generated::dds_::DecodeFailures::size();
    auto reading = this->pair.makeSubscriber();
    auto listening = this->pair.makeSubscriber();
    Collected<std::vector<unsigned char>> heard;
    auto handle = listening->subscribeAsync(qara::nimb::ps::DataEventFilter<T>(),
                                            [&](qara::nimb::ps::Subscriber<T>&, const qara::nimb::ps::DataEvent<T>& e) {
                                                heard.add(fieldBytes(TestFixture::Pair::wireOf(*e.getData())));
                                            });
    auto publisher = this->pair.makePublisher();
    RawWriter raw(qara::nimb::DdsUriHelper::topic(qara::nimb::Uri(this->pair.uri), true),
                  TestFixture::Pair::ST::PubSubType::typeName, 2048);
    this->pair.waitUntilMatched(*publisher, *reading, 2);
    ASSERT_TRUE(waitUntil([&] { return matchedCount(raw.writer()) >= 2; }, 10s));

    LogCapture errors("", log4cplus::ERROR_LOG_LEVEL);
    for (const auto& bytes : garbage)
    {
        raw.write(bytes);
    }
    const W valid = makeDistinctSample<W>(7);
    publisher->publish(*this->pair.entity(*publisher, valid), 0ms);

    // Reads keep working and hand out only well-formed samples, the valid one among them.
    std::vector<std::vector<unsigned char>> read;
    waitUntil(
        [&] {
            for (const auto& sample : reading->read(0))
            {
                read.push_back(fieldBytes(TestFixture::Pair::wireOf(*sample)));
            }
            return std::count(read.begin(), read.end(), fieldBytes(valid)) > 0;
        },
        5s);
    std::vector<std::vector<unsigned char>> listened;
    waitUntil(
        [&] {
            listened = heard.values();
            return std::count(listened.begin(), listened.end(), fieldBytes(valid)) > 0;
        },
        5s);
    for (const auto* received : {&read, &listened})
    {
        EXPECT_EQ(std::count(received->begin(), received->end(), fieldBytes(valid)), 1);
        for (const auto& bytes : *received)
        {
            EXPECT_TRUE(bytes == fieldBytes(valid) || wellFormed.count(bytes) == 1) << "a corrupt payload came through";
        }
    }
    EXPECT_TRUE(errors.lines().empty()) << errors.lines().front().message;

    // The notes of failed decodes go with the samples they are about: none is left once the readers are.
    handle.reset();
    reading.reset();
    listening.reset();
    EXPECT_EQ(generated::dds_::DecodeFailures::size(), notesBefore);
}

}  // namespace
