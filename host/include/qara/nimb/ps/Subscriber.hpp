#pragma once

#include <qara/nimb/ps/DataEntityFactory.hpp>
#include <qara/nimb/ps/DataEvent.hpp>
#include <qara/nimb/ps/DataEventFilter.hpp>
#include <qara/nimb/ps/LoanedDataEntity.hpp>
#include <qara/nimb/ps/Subscription.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace qara::nimb::ps {

template <class T>
class Subscriber : public virtual DataEntityFactory<T>
{
public:
    ~Subscriber() override = default;
    virtual void close() = 0;
    virtual std::vector<std::shared_ptr<T>> read(std::size_t maxSamples) = 0;
    virtual std::shared_ptr<T> readInstance(const T& instance) = 0;
    virtual bool readInstance(const T& instance, T& out) = 0;
    virtual std::shared_ptr<LoanedDataEntity<T>> loanedRead() = 0;
    virtual std::shared_ptr<LoanedDataEntity<T>> loanedReadInstance(const T& instance) = 0;
    virtual std::size_t readDataEvents(const DataEventFilter<T>& filter,
                                       std::vector<std::shared_ptr<DataEvent<T>>>& events, std::size_t eventCountLimit,
                                       const std::chrono::milliseconds& timeout) = 0;
    virtual std::unique_ptr<Subscription> subscribe(
        const DataEventFilter<T>& filter, std::function<void(Subscriber<T>&, const DataEvent<T>&)> callback) = 0;
    virtual std::size_t poll(std::size_t maxSamples, const std::chrono::milliseconds& timeout) = 0;
    virtual std::unique_ptr<Subscription> subscribeAsync(
        const DataEventFilter<T>& filter, std::function<void(Subscriber<T>&, const DataEvent<T>&)> callback) = 0;
    virtual std::unique_ptr<Subscription> subscribeAsync(const DataEventFilter<T>& filter,
                                                         std::function<void(Subscriber<T>&)> notifier) = 0;
};

}  // namespace qara::nimb::ps
