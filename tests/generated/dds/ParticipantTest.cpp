#include "DynamicTypes.hpp"
#include "Matching.hpp"
#include "Payloads.hpp"
#include "PlainDds.hpp"
#include "SampleValues.hpp"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

// The type supports registered on real participants; each test owns one domain in 210..219.
namespace {

using namespace tarvex_test;
namespace dds = eprosima::fastdds::dds;

constexpr dds::DomainId_t kFirstDomain = 210;

// Deletes the participant and everything in it, also when an assertion ends the test early.
class Participant
{
public:
    explicit Participant(dds::DomainId_t domain)
        : m_participant(
              dds::DomainParticipantFactory::get_instance()->create_participant(domain, dds::PARTICIPANT_QOS_DEFAULT))
    {
    }

    ~Participant()
    {
        if (m_participant != nullptr)
        {
            EXPECT_EQ(m_participant->delete_contained_entities(), fdds::kOk);
            EXPECT_EQ(dds::DomainParticipantFactory::get_instance()->delete_participant(m_participant), fdds::kOk);
        }
    }

    Participant(const Participant&) = delete;
    Participant& operator=(const Participant&) = delete;

    dds::DomainParticipant* operator->() const { return m_participant; }
    dds::DomainParticipant* get() const { return m_participant; }

private:
    dds::DomainParticipant* m_participant;
};

template <class T>
class RegisteredType : public ::testing::Test
{
};

TYPED_TEST_SUITE(RegisteredType, GtestTypes<TopicTypes>::type, TypeNames);

// The writer writes before the reader exists; reliable transient-local delivery hands the sample over
// once they match, which needs both ends to agree on the representation.
TYPED_TEST(RegisteredType, CarriesASampleUnderEitherRepresentation)
{
    using W = typename TypeParam::Wire;
    Participant participant(kFirstDomain + static_cast<dds::DomainId_t>(indexOf<TypeParam>(TopicTypes{})));
    ASSERT_NE(participant.get(), nullptr);
    dds::TypeSupport type(new typename TypeParam::Support());
    ASSERT_EQ(type.register_type(participant.get()), fdds::kOk);
    dds::Publisher* publisher = participant->create_publisher(dds::PUBLISHER_QOS_DEFAULT);
    dds::Subscriber* subscriber = participant->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT);
    ASSERT_NE(publisher, nullptr);
    ASSERT_NE(subscriber, nullptr);

    for (const fdds::DataRepresentationId representation : kRepresentations)
    {
        SCOPED_TRACE(nameOf(representation));
        dds::Topic* topic = participant->create_topic("tarvex/" + shortName<TypeParam>() + "/" + nameOf(representation),
                                                      type.get_type_name(), dds::TOPIC_QOS_DEFAULT);
        ASSERT_NE(topic, nullptr);

        dds::DataWriterQos writerQos = publisher->get_default_datawriter_qos();
        writerQos.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
        writerQos.durability().kind = dds::TRANSIENT_LOCAL_DURABILITY_QOS;
        writerQos.history().kind = dds::KEEP_LAST_HISTORY_QOS;
        writerQos.history().depth = 1;
        writerQos.representation().m_value = {representation};
        dds::DataWriter* writer = publisher->create_datawriter(topic, writerQos);
        ASSERT_NE(writer, nullptr);
        const W sample = makeDistinctSample<W>(static_cast<uint32_t>(representation) + 21);
        ASSERT_EQ(writer->write(&sample), fdds::kOk);

        dds::DataReaderQos readerQos = subscriber->get_default_datareader_qos();
        readerQos.reliability().kind = dds::RELIABLE_RELIABILITY_QOS;
        readerQos.durability().kind = dds::TRANSIENT_LOCAL_DURABILITY_QOS;
        readerQos.representation().m_value = {representation};
        dds::DataReader* reader = subscriber->create_datareader(topic, readerQos);
        ASSERT_NE(reader, nullptr);

        ASSERT_TRUE(reader->wait_for_unread_message(fdds::Duration(10, 0)));
        W received;
        dds::SampleInfo info;
        ASSERT_EQ(reader->take_next_sample(&received, &info), fdds::kOk);
        EXPECT_TRUE(info.valid_data);
        EXPECT_EQ(fieldBytes(received), fieldBytes(sample));
    }
}

TEST(TypeRegistration, AnotherTypeUnderATakenNameIsRefused)
{
    using namespace generated::dds_::tarvex;
    Participant participant(kFirstDomain + static_cast<dds::DomainId_t>(typeCount(TopicTypes{})));
    ASSERT_NE(participant.get(), nullptr);
    ASSERT_EQ(dds::TypeSupport(new PsMeasurementsPubSubType()).register_type(participant.get()), fdds::kOk);

    // A second instance of the same type support is the same type, as when two publishers share a topic.
    EXPECT_EQ(dds::TypeSupport(new PsMeasurementsPubSubType()).register_type(participant.get()), fdds::kOk);
    EXPECT_EQ(dds::TypeSupport(new SaMeasurements_slowPubSubType())
                  .register_type(participant.get(), PsMeasurementsPubSubType::typeName),
              fdds::kPreconditionNotMet);
    EXPECT_EQ(participant->find_type(PsMeasurementsPubSubType::typeName)->max_serialized_type_size,
              PsMeasurementsPubSubType::maxSerializedSize);
}

// An older and a newer version of a type, published by Fast DDS's own dynamic types. The delimiter header
// decides where an XCDR2 body ends: members an older writer lacks read as zero, members a newer one added
// are skipped. Without a delimiter header (XCDR1) only the newer version can be read.
TEST(TypeEvolution, OlderAndNewerWritersAreRead)
{
    using Medium = WireType<generated::dds_::tarvex::SaMeasurements_medium,
                            generated::dds_::tarvex::SaMeasurements_mediumPubSubType>;
    using W = Medium::Wire;
    struct Row
    {
        const char* version;
        std::size_t members;
        std::size_t added;
        fdds::DataRepresentationId representation;
    };
    const Row rows[] = {{"older", W::fieldCount - 1, 0, kXcdr2},
                        {"newer", W::fieldCount, 1, kXcdr2},
                        {"newer", W::fieldCount, 1, kXcdr1}};
    const auto domain = static_cast<uint32_t>(kFirstDomain + typeCount(TopicTypes{}) + 1);
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::string(row.version) + " " + nameOf(row.representation));
        const std::string topic = std::string("tarvex/evolution/") + row.version + nameOf(row.representation);
        dds::DataReaderQos readerQos = PlainReader<W, Medium::Support>::reliableQos();
        readerQos.representation().m_value = {row.representation};
        // A newer version's payload exceeds the type's maximum size; the plug-in's readers grow their
        // history for it, as this one does.
        readerQos.endpoint().history_memory_policy = eprosima::fastdds::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;
        PlainReader<W, Medium::Support> reader(domain, topic, readerQos);
        const auto type = dynamicTypeOf<W>(Medium::Support::typeName, row.members, row.added);
        DynamicWriter writer(domain, topic, type, row.representation);
        ASSERT_TRUE(waitUntil([&] { return matchedCount(reader.reader()) == 1 && matchedCount(writer.writer()) == 1; },
                              std::chrono::seconds(10)));

        const W sample = makeDistinctSample<W>(31);
        auto data = dynamicDataOf(type, sample, 77);
        ASSERT_EQ(writer.writer().write(&data), fdds::kOk);
        W expected = sample;
        for (std::size_t id = row.members; id < W::fieldCount; ++id)
        {
            expected.visitField(static_cast<uint32_t>(id), [](auto& field) { field = {}; });
        }

        W received = makeDistinctSample<W>(5);  // stale values, so that a member left unread shows
        dds::SampleInfo info;
        ASSERT_TRUE(reader.reader().wait_for_unread_message(fdds::Duration(10, 0)));
        ASSERT_EQ(reader.reader().take_next_sample(&received, &info), fdds::kOk);
        EXPECT_TRUE(info.valid_data);
        EXPECT_EQ(fieldBytes(received), fieldBytes(expected));
    }
}

}  // namespace
