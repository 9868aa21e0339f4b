#pragma once

#include "ps/DdsPublisher.hpp"

namespace qara::nimb::ps {

// What the host receives: forwards to a shared DdsPublisher and makes instance publishers of it.
// Destroying it does not close the publisher.
template <class T, class ST>
class DdsPublisherDelegator : public Publisher<T>
{
public:
    explicit DdsPublisherDelegator(std::shared_ptr<DdsPublisher<T, ST>> publisher);

    std::shared_ptr<T> createDataEntity() override { return m_publisher->createDataEntity(); }
    std::shared_ptr<Nimb> getNimb() const override { return m_publisher->getNimb(); }
    // The publisher is held through the call: a callback its write delivered in this process may drop this
    // delegator.
    void publish(const T& data, const std::chrono::milliseconds& timeout) override
    {
        std::shared_ptr<DdsPublisher<T, ST>>(m_publisher)->publish(data, timeout);
    }
    void publish(double timestamp, const T& data, const std::chrono::milliseconds& timeout) override
    {
        std::shared_ptr<DdsPublisher<T, ST>>(m_publisher)->publish(timestamp, data, timeout);
    }
    void close() override { m_publisher->close(); }
    std::unique_ptr<InstancePublisher<T>> createInstancePublisher(const T& instance) override;

    const std::shared_ptr<DdsPublisher<T, ST>>& publisher() const { return m_publisher; }

private:
    std::shared_ptr<DdsPublisher<T, ST>> m_publisher;
    long m_waitForAckTimeout;
};

}  // namespace qara::nimb::ps

#include "ps/DdsPublisherDelegator.inl"
