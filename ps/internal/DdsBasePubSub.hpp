#pragma once

#include "ps/internal/Failure.hpp"
#include "ps/internal/Reentry.hpp"

#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/ProfileType.hpp>
#include <qara/nimb/Uri.hpp>
#include <qara/nimb/ps/InstancePublisher.hpp>
#include <qara/nimb/ps/qos/QoS.hpp>

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <fastdds/dds/topic/TypeSupport.hpp>
#include <log4cplus/logger.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qara::nimb::ps::internal {

enum class EntityState : int32_t
{
    NotInitialized = 0,
    Initialized = 1,
    Closed = 2
};

// Serialises lookup, creation and deletion of topics across every topic type of the library, so that a
// topic found by one entity cannot be deleted by another before the finder holds it.
std::mutex& topicMutex();

// Counts the library's holders of the topics it created; topicMutex() must be held. holdTopicLocked is
// false for a topic created outside the library, releaseTopicLocked true when the last holder went.
bool holdTopicLocked(const eprosima::fastdds::dds::Topic* topic, bool created);
bool releaseTopicLocked(const eprosima::fastdds::dds::Topic* topic);

// Whether a sample with this source time breaks the deadline or latency limit (milliseconds, 0 for none)
// at the wall-clock time `now`. The age is compared in whole milliseconds; the deadline to the nanosecond.
bool qosExceeded(int32_t deadlineMs, int32_t latencyMs, int64_t sourceSeconds, int64_t sourceNanos,
                 std::chrono::nanoseconds now);

// The DDS deadline period for a deadline in milliseconds. The millisecond remainder goes into the
// nanoseconds unscaled (1500 ms gives 1 s and 500 ns): peers built on the same rule must keep agreeing.
fastdds::Duration ddsDeadlinePeriod(int32_t deadlineMs);

// Common base of every DDS publisher and subscriber of one topic type: URI validation, type registration,
// QoS limits, lifecycle state and the factories of the DDS entities they share.
template <class T, class ST>
class DdsBasePubSub
{
public:
    using DdsType = typename ST::DdsType;
    using QoSList = std::vector<std::shared_ptr<qos::QoS>>;
    using Participant = eprosima::fastdds::dds::DomainParticipant;

    DdsBasePubSub(const Uri& uri, const QoSList& qos, const Nimb::Properties& properties,
                  const std::shared_ptr<Participant>& participant);
    virtual ~DdsBasePubSub() = default;

    DdsBasePubSub(const DdsBasePubSub&) = delete;
    DdsBasePubSub& operator=(const DdsBasePubSub&) = delete;

    // The topic of this URI, and whether this call created it; topicMutex() must be held.
    std::pair<eprosima::fastdds::dds::Topic*, bool> createTopic();
    // Finds or creates the topic and holds it. A topic this library created is deleted when its last holder
    // in the library lets go (a refusal because an entity outside the library still uses it is expected and
    // silent); a topic created elsewhere is left alone.
    std::shared_ptr<eprosima::fastdds::dds::Topic> acquireTopic(std::string failureMessage, log4cplus::Logger logger);
    eprosima::fastdds::dds::Publisher* createPublisher();
    std::shared_ptr<eprosima::fastdds::dds::Subscriber> createSubscriber();

    // The XML profile library, or null when entities get the QoS built in code.
    const char* getQosLibraryName() const;
    std::string profileName(ProfileType type) const;

    // Also releases what listener calls parked: every operation starts here.
    virtual void checkState() const;
    // IllegalStateException "Entity closed", logged.
    [[noreturn]] void failClosed() const;
    bool isQosExceeded(const eprosima::fastdds::dds::SampleInfo& info) const;
    static std::pair<int32_t, int32_t> getDeadlineAndLatencyDuration(const QoSList& qos);

    const Uri& uri() const { return m_uri; }
    const Nimb::Properties& properties() const { return m_properties; }
    const std::shared_ptr<Participant>& participant() const { return m_participant; }
    int32_t deadline() const { return m_deadline; }
    int32_t latency() const { return m_latency; }
    const std::string& topicName() const { return m_topicName; }

    EntityState state() const { return m_state.load(); }
    void setState(EntityState state) { m_state = state; }

    // Instance publishers made from this publisher, not owned; guarded by the base mutex. Adding one fails
    // once closeInstancePublishers() has begun, so that none made during the close stays open.
    bool addInstancePublisher(InstancePublisher<T>* instancePublisher);
    void removeInstancePublisher(InstancePublisher<T>* instancePublisher);
    void closeInstancePublishers();

private:
    log4cplus::Logger m_logger;
    // Atomic: a loan may come back on one thread while another closes.
    std::atomic<EntityState> m_state;
    Uri m_uri;
    QoSList m_qos;
    int32_t m_deadline;
    int32_t m_latency;
    Nimb::Properties m_properties;
    std::shared_ptr<Participant> m_participant;
    std::vector<InstancePublisher<T>*> m_instancePublishers;
    bool m_instancePublishersClosed = false;
    // Guards the two fields above; taken before an instance publisher's own mutex.
    std::mutex m_mutex;
    std::string m_topicName;
    eprosima::fastdds::dds::TypeSupport m_typeSupport;
};

}  // namespace qara::nimb::ps::internal

#include "ps/internal/DdsBasePubSub.inl"
