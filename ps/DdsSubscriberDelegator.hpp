#pragma once

#include "ps/DdsSubscriber.hpp"

namespace qara::nimb::ps {

// What the host receives: forwards every operation to the shared subscriber. Destroying it does not
// close the subscriber; subscription handles and loans may still hold it.
template <class T, class ST>
class DdsSubscriberDelegator : public Subscriber<T>
{
public:
    using Callback = std::function<void(Subscriber<T>&, const DataEvent<T>&)>;

    explicit DdsSubscriberDelegator(std::shared_ptr<DdsSubscriber<T, ST>> subscriber)
        : m_subscriber(std::move(subscriber))
    {
    }

    std::shared_ptr<T> createDataEntity() override { return m_subscriber->createDataEntity(); }
    void close() override { m_subscriber->close(); }
    std::vector<std::shared_ptr<T>> read(std::size_t maxSamples) override { return m_subscriber->read(maxSamples); }
    std::shared_ptr<T> readInstance(const T& instance) override { return m_subscriber->readInstance(instance); }
    bool readInstance(const T& instance, T& out) override { return m_subscriber->readInstance(instance, out); }
    std::shared_ptr<LoanedDataEntity<T>> loanedRead() override { return m_subscriber->loanedRead(); }
    std::shared_ptr<LoanedDataEntity<T>> loanedReadInstance(const T& instance) override
    {
        return m_subscriber->loanedReadInstance(instance);
    }
    std::size_t readDataEvents(const DataEventFilter<T>& filter, std::vector<std::shared_ptr<DataEvent<T>>>& events,
                               std::size_t eventCountLimit, const std::chrono::milliseconds& timeout) override
    {
        return m_subscriber->readDataEvents(filter, events, eventCountLimit, timeout);
    }
    std::unique_ptr<Subscription> subscribe(const DataEventFilter<T>& filter, Callback callback) override
    {
        return m_subscriber->subscribe(filter, std::move(callback));
    }
    std::size_t poll(std::size_t maxSamples, const std::chrono::milliseconds& timeout) override
    {
        return m_subscriber->poll(maxSamples, timeout);
    }
    std::unique_ptr<Subscription> subscribeAsync(const DataEventFilter<T>& filter, Callback callback) override
    {
        return m_subscriber->subscribeAsync(filter, std::move(callback));
    }
    std::unique_ptr<Subscription> subscribeAsync(const DataEventFilter<T>& filter,
                                                 std::function<void(Subscriber<T>&)> notifier) override
    {
        return m_subscriber->subscribeAsync(filter, std::move(notifier));
    }

    const std::shared_ptr<DdsSubscriber<T, ST>>& subscriber() const { return m_subscriber; }

private:
    std::shared_ptr<DdsSubscriber<T, ST>> m_subscriber;
};

}  // namespace qara::nimb::ps
