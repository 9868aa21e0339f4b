#pragma once

#include "ps/DdsPublisher.hpp"

#include <mutex>

namespace qara::nimb::ps {

// Publishes one registered instance of a topic with its own DDS publisher and writer. It is closed
// together with the publisher it was made from, which keeps a raw pointer to it until it is destroyed.
template <class T, class ST>
class InstanceDdsPublisher : public InstancePublisher<T>
{
public:
    InstanceDdsPublisher(std::shared_ptr<DdsPublisher<T, ST>> parent, long waitForAckTimeout, const T& instance);
    ~InstanceDdsPublisher() override;

    std::shared_ptr<T> createDataEntity() override;
    std::shared_ptr<Nimb> getNimb() const override;
    void publish(const T& data, const std::chrono::milliseconds& timeout) override;
    void publish(double timestamp, const T& data, const std::chrono::milliseconds& timeout) override;
    void close() override;

private:
    void createDdsEntities(const T& instance);
    void checkState() const;
    template <class Write>
    void publishLocked(const T& data, const std::chrono::milliseconds& timeout, Write write);
    void release();

    log4cplus::Logger m_logger;
    std::shared_ptr<DdsPublisher<T, ST>> m_parent;
    std::shared_ptr<eprosima::fastdds::dds::Topic> m_topic;
    std::shared_ptr<eprosima::fastdds::dds::Publisher> m_ddsPublisher;
    std::shared_ptr<eprosima::fastdds::dds::DataWriter> m_writer;
    eprosima::fastdds::dds::InstanceHandle_t m_handle;
    bool m_closed;
    // Held through every operation, the DDS write included; taken after the parent's base mutex.
    mutable std::mutex m_mutex;
    long m_waitForAckTimeout;
};

}  // namespace qara::nimb::ps

#include "ps/InstanceDdsPublisher.inl"
