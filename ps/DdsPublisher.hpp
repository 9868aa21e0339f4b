#pragma once

#include "ps/internal/DdsBasePubSub.hpp"

#include <qara/nimb/ps/Publisher.hpp>

#include <fastdds/dds/publisher/DataWriter.hpp>
#include <log4cplus/logger.h>

#include <chrono>
#include <memory>
#include <vector>

namespace qara::nimb::ps {

// Publishes data entities of one topic with its own DDS publisher and writer. Before it deletes them it
// waits for acknowledgements (property "dds.wait_for_ack.timeout_ms"), since Fast DDS does not.
template <class T, class ST>
class DdsPublisher : public internal::DdsBasePubSub<T, ST>, public Publisher<T>
{
public:
    using Base = internal::DdsBasePubSub<T, ST>;

    DdsPublisher(const Uri& uri, const typename Base::QoSList& qos, const Nimb::Properties& properties,
                 const std::shared_ptr<typename Base::Participant>& participant, std::shared_ptr<Nimb> nimb);
    ~DdsPublisher() override;

    std::shared_ptr<Nimb> getNimb() const override;
    std::unique_ptr<InstancePublisher<T>> createInstancePublisher(const T& instance) override;
    void publish(const T& data, const std::chrono::milliseconds& timeout) override;
    void publish(double timestamp, const T& data, const std::chrono::milliseconds& timeout) override;
    std::shared_ptr<T> createDataEntity() override;
    void close() override;

    long waitForAckTimeout() const { return m_waitForAckTimeout; }
    const std::shared_ptr<eprosima::fastdds::dds::DataWriter>& writer() const { return m_writer; }

private:
    // The publishers whose write is in progress on this thread. A reader in this process is handed the
    // sample inside the write, and its callback may close the publisher: the writer then goes when the
    // outermost of those writes has returned.
    static std::vector<const DdsPublisher*>& writingOnThisThread();
    const ST& checkPublish(const T& data, const std::chrono::milliseconds& timeout);
    template <class Write>
    void write(Write write);
    void release();

    log4cplus::Logger m_logger;
    long m_waitForAckTimeout;
    std::shared_ptr<eprosima::fastdds::dds::Topic> m_topic;
    std::shared_ptr<eprosima::fastdds::dds::Publisher> m_ddsPublisher;
    std::shared_ptr<eprosima::fastdds::dds::DataWriter> m_writer;
    std::shared_ptr<Nimb> m_nimb;
    bool m_closedWhileWriting = false;
};

// Source time of a publish time stamp in seconds: whole seconds by floor, the rest in nanoseconds.
inline internal::fastdds::Time sourceTimeOf(double timestamp);

}  // namespace qara::nimb::ps

#include "ps/DdsPublisher.inl"
