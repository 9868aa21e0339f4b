#pragma once

#include "ps/internal/Failure.hpp"

#include <qara/nimb/DdsUriHelper.hpp>
#include <qara/nimb/Exceptions.hpp>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace qara::nimb::ps::internal {

namespace dds = eprosima::fastdds::dds;

template <class T, class ST>
DdsBasePubSub<T, ST>::DdsBasePubSub(const Uri& uri, const QoSList& qos, const Nimb::Properties& properties,
                                    const std::shared_ptr<Participant>& participant)
    : m_logger(log4cplus::Logger::getInstance("nimbDdsBasePubSub")),
      m_state(EntityState::NotInitialized),
      m_uri(uri),
      m_qos(qos),
      m_deadline(0),
      m_latency(0),
      m_properties(properties),
      m_participant(participant),
      m_typeSupport(new typename ST::PubSubType())
{
    DdsUriHelper::checkUri(m_uri, true);
    if (!DdsUriHelper::isPubSubUri(m_uri))
    {
        fail<NimbException>(m_logger, "Uri " + m_uri.string() + " is not DDS PubSub profile");
    }
    std::tie(m_deadline, m_latency) = getDeadlineAndLatencyDuration(m_qos);
    const fastdds::ReturnCode code = m_typeSupport.register_type(m_participant.get());
    if (code != fastdds::kOk)
    {
        failWithErrMsg<std::runtime_error>(m_logger, withCode("Failed to register a DDS type. Uri: " + m_uri.string() +
                                                                  "type name" + m_typeSupport.get_type_name(),
                                                              code));
    }
    m_topicName = DdsUriHelper::topic(m_uri, true);
    releaseParked();
}

template <class T, class ST>
std::pair<dds::Topic*, bool> DdsBasePubSub<T, ST>::createTopic()
{
    if (dds::TopicDescription* existing = m_participant->lookup_topicdescription(m_topicName))
    {
        auto* topic = dynamic_cast<dds::Topic*>(existing);
        if (topic == nullptr)
        {
            fail<std::runtime_error>(m_logger,
                                     "Topic description " + m_topicName + " is not a topic Uri: " + m_uri.string());
        }
        return {topic, false};
    }
    dds::Topic* topic = nullptr;
    if (getQosLibraryName() != nullptr)
    {
        const std::string profile = profileName(ProfileType::Topic);
        topic = m_participant->create_topic_with_profile(m_topicName, m_typeSupport.get_type_name(), profile, nullptr,
                                                         dds::StatusMask::all());
        if (topic == nullptr)
        {
            fail<std::runtime_error>(m_logger,
                                     "Failed to create topic with profile:" + profile + " Uri: " + m_uri.string());
        }
    }
    else
    {
        topic = m_participant->create_topic(m_topicName, m_typeSupport.get_type_name(), dds::TOPIC_QOS_DEFAULT, nullptr,
                                            dds::StatusMask::all());
        if (topic == nullptr)
        {
            fail<std::runtime_error>(m_logger, "Failed to create topic with Uri: " + m_uri.string());
        }
    }
    return {topic, true};
}

template <class T, class ST>
std::shared_ptr<dds::Topic> DdsBasePubSub<T, ST>::acquireTopic(std::string failureMessage, log4cplus::Logger logger)
{
    std::lock_guard<std::mutex> lock(topicMutex());
    const auto [topic, created] = createTopic();
    if (!holdTopicLocked(topic, created))
    {
        return std::shared_ptr<dds::Topic>(topic, [](dds::Topic*) {});
    }
    return std::shared_ptr<dds::Topic>(
        topic, [participant = m_participant, message = std::move(failureMessage), logger](dds::Topic* t) {
            std::lock_guard<std::mutex> topicLock(topicMutex());
            if (!releaseTopicLocked(t))
            {
                return;
            }
            const fastdds::ReturnCode code = participant->delete_topic(t);
            if (code != fastdds::kOk && code != fastdds::kPreconditionNotMet)
            {
                LOG4CPLUS_ERROR(logger, withCode(message, code));
            }
        });
}

template <class T, class ST>
dds::Publisher* DdsBasePubSub<T, ST>::createPublisher()
{
    if (getQosLibraryName() != nullptr)
    {
        const std::string profile = profileName(ProfileType::Publisher);
        dds::Publisher* publisher =
            m_participant->create_publisher_with_profile(profile, nullptr, dds::StatusMask::all());
        if (publisher == nullptr)
        {
            fail<std::runtime_error>(m_logger,
                                     "Failed to create publisher with profile:" + profile + " Uri: " + m_uri.string());
        }
        return publisher;
    }
    dds::Publisher* publisher =
        m_participant->create_publisher(dds::PUBLISHER_QOS_DEFAULT, nullptr, dds::StatusMask::all());
    if (publisher == nullptr)
    {
        fail<std::runtime_error>(m_logger, "Failed to create publisher for Uri: " + m_uri.string());
    }
    return publisher;
}

template <class T, class ST>
std::shared_ptr<dds::Subscriber> DdsBasePubSub<T, ST>::createSubscriber()
{
    dds::Subscriber* subscriber = nullptr;
    if (getQosLibraryName() != nullptr)
    {
        const std::string profile = profileName(ProfileType::Subscriber);
        subscriber = m_participant->create_subscriber_with_profile(profile, nullptr, dds::StatusMask::all());
        if (subscriber == nullptr)
        {
            fail<std::runtime_error>(m_logger,
                                     "Failed to create subscriber with profile:" + profile + " Uri: " + m_uri.string());
        }
    }
    else
    {
        subscriber = m_participant->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT, nullptr, dds::StatusMask::all());
        if (subscriber == nullptr)
        {
            fail<std::runtime_error>(m_logger, "Failed to create subscriber  Uri: " + m_uri.string());
        }
    }
    return std::shared_ptr<dds::Subscriber>(subscriber,
                                            [participant = m_participant, logger = m_logger](dds::Subscriber* s) {
                                                const fastdds::ReturnCode code = participant->delete_subscriber(s);
                                                if (code != fastdds::kOk)
                                                {
                                                    LOG4CPLUS_ERROR(logger, withCode("", code));
                                                }
                                            });
}

template <class T, class ST>
const char* DdsBasePubSub<T, ST>::getQosLibraryName() const
{
    const auto it = m_properties.find("dds.qos.profile.library");
    return it == m_properties.end() ? nullptr : it->second.c_str();
}

template <class T, class ST>
std::string DdsBasePubSub<T, ST>::profileName(ProfileType type) const
{
    return getProfileNameByProfileType(type, m_properties);
}

template <class T, class ST>
void DdsBasePubSub<T, ST>::checkState() const
{
    releaseParked();
    switch (m_state)
    {
        case EntityState::Initialized:
            return;
        case EntityState::Closed:
            failClosed();
        default:
            fail<IllegalStateException>(m_logger, "Entity is not INITIALIZED. Uri: " + m_uri.string());
    }
}

template <class T, class ST>
void DdsBasePubSub<T, ST>::failClosed() const
{
    fail<IllegalStateException>(m_logger, "Entity closed Uri: " + m_uri.string());
}

template <class T, class ST>
bool DdsBasePubSub<T, ST>::isQosExceeded(const dds::SampleInfo& info) const
{
    return qosExceeded(m_deadline, m_latency, fastdds::secondsOf(info.source_timestamp),
                       fastdds::nanosecondsOf(info.source_timestamp),
                       std::chrono::system_clock::now().time_since_epoch());
}

template <class T, class ST>
std::pair<int32_t, int32_t> DdsBasePubSub<T, ST>::getDeadlineAndLatencyDuration(const QoSList& qos)
{
    int32_t deadline = 0;
    int32_t latency = 0;
    for (const auto& entry : qos)
    {
        if (const auto* l = dynamic_cast<const qos::Latency*>(entry.get()))
        {
            latency = l->getDuration();
        }
        else if (const auto* d = dynamic_cast<const qos::Deadline*>(entry.get()))
        {
            deadline = d->getDuration();
        }
    }
    return {deadline, latency};
}

template <class T, class ST>
bool DdsBasePubSub<T, ST>::addInstancePublisher(InstancePublisher<T>* instancePublisher)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_instancePublishersClosed)
    {
        return false;
    }
    m_instancePublishers.push_back(instancePublisher);
    return true;
}

template <class T, class ST>
void DdsBasePubSub<T, ST>::removeInstancePublisher(InstancePublisher<T>* instancePublisher)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_instancePublishers.erase(std::remove(m_instancePublishers.begin(), m_instancePublishers.end(), instancePublisher),
                               m_instancePublishers.end());
}

template <class T, class ST>
void DdsBasePubSub<T, ST>::closeInstancePublishers()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_instancePublishersClosed = true;
    for (InstancePublisher<T>* instancePublisher : m_instancePublishers)
    {
        instancePublisher->close();
    }
}

}  // namespace qara::nimb::ps::internal
