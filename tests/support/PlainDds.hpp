#pragma once

#include "icd/dds/FastDdsCompat.hpp"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/domain/DomainParticipantFactory.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvex_test {

// A plain Fast DDS reader on a participant of its own, using the library's type support: the other end
// of the wire for tests of the plug-in's writers.
template <class W, class PubSubType>
class PlainReader
{
public:
    struct Received
    {
        W sample;
        eprosima::fastdds::dds::SampleInfo info;
    };

    PlainReader(uint32_t domain, const std::string& topicName,
                eprosima::fastdds::dds::DataReaderQos qos = reliableQos())
    {
        namespace dds = eprosima::fastdds::dds;
        m_participant =
            dds::DomainParticipantFactory::get_instance()->create_participant(domain, dds::PARTICIPANT_QOS_DEFAULT);
        dds::TypeSupport type(new PubSubType());
        // The participant owns the topic and the subscriber, and deletes them with the reader.
        if (m_participant == nullptr || type.register_type(m_participant) != qara::nimb::icd::dds::fastdds::kOk ||
            (m_reader = m_participant->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT)
                            ->create_datareader(
                                m_participant->create_topic(topicName, type.get_type_name(), dds::TOPIC_QOS_DEFAULT),
                                qos)) == nullptr)
        {
            throw std::runtime_error("plain reader: no participant or no reader");
        }
    }

    ~PlainReader()
    {
        m_participant->delete_contained_entities();
        eprosima::fastdds::dds::DomainParticipantFactory::get_instance()->delete_participant(m_participant);
    }

    static eprosima::fastdds::dds::DataReaderQos reliableQos()
    {
        eprosima::fastdds::dds::DataReaderQos qos;
        qos.reliability().kind = eprosima::fastdds::dds::RELIABLE_RELIABILITY_QOS;
        qos.history().kind = eprosima::fastdds::dds::KEEP_ALL_HISTORY_QOS;
        return qos;
    }

    // Takes samples until `count` have arrived or `limit` has passed.
    std::vector<Received> take(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        std::vector<Received> received;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        Received one;
        while (received.size() < count && std::chrono::steady_clock::now() < deadline)
        {
            if (m_reader->take_next_sample(&one.sample, &one.info) != qara::nimb::icd::dds::fastdds::kOk)
            {
                m_reader->wait_for_unread_message(eprosima::fastdds::dds::Duration_t(0, 50000000));
            }
            else if (one.info.valid_data)
            {
                received.push_back(one);
            }
        }
        return received;
    }

    eprosima::fastdds::dds::DataReader& reader() { return *m_reader; }

private:
    eprosima::fastdds::dds::DomainParticipant* m_participant = nullptr;
    eprosima::fastdds::dds::DataReader* m_reader = nullptr;
};

}  // namespace tarvex_test
