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

// Reads one topic. Every operation throws IllegalStateException once the subscriber is closed, and
// std::runtime_error (logged at ERROR) when DDS fails; a negative time-out throws NimbException.
//
// Callbacks: asynchronous callbacks and notifiers run on a Fast DDS thread (for a writer in this process, on
// the publishing thread, inside publish), one at a time per subscriber; synchronous callbacks run inside
// poll() on the caller's thread. A callback may publish, on its own topic too (that sample is delivered after
// the one in hand), read, close handles and other subscribers, and drop every owner of its subscriber (which
// then goes once the delivery has returned). Three calls throw IllegalStateException there, because each
// would wait for a delivery that may be waiting for this thread: registering a subscription on any
// subscriber, closing the callback's own subscriber, and polling any subscriber. Closing another subscriber
// or a handle from a callback does not wait for a delivery in progress on another thread. Fast DDS holds a
// reader's lock through its listener calls: two listener callbacks that each read the other's subscriber at
// the same moment wait for each other inside Fast DDS.
//
// A subscriber released inside its own asynchronous callback keeps its reader, matched and receiving, until
// the next call into the library on any thread (any operation of a publisher, subscriber, handle or loan):
// Fast DDS cannot delete a reader inside its callback, and the library has no thread of its own. A publish
// that delivered in this process makes that call itself before it returns.
template <class T>
class Subscriber : public virtual DataEntityFactory<T>
{
public:
    ~Subscriber() override = default;
    // Stops every delivery (from outside the callbacks it waits for one in progress) and releases the reader
    // once nothing uses it: reads and waits on other threads return at once, loans still out keep it until
    // they come back. A second call does nothing. Handles and loans keep the object, not the subscription.
    // Throws IllegalStateException from inside one of this subscriber's callbacks.
    virtual void close() = 0;
    // Takes up to maxSamples (0: all) accepted samples as copies.
    virtual std::vector<std::shared_ptr<T>> read(std::size_t maxSamples) = 0;
    // The next sample of the instance, or null; throws std::runtime_error for a keyless topic.
    virtual std::shared_ptr<T> readInstance(const T& instance) = 0;
    // As above, assigned to out; false (out untouched) when there is none.
    virtual bool readInstance(const T& instance, T& out) = 0;
    // The next sample without a copy, valid until the loan is closed or dropped; null when there is none.
    virtual std::shared_ptr<LoanedDataEntity<T>> loanedRead() = 0;
    virtual std::shared_ptr<LoanedDataEntity<T>> loanedReadInstance(const T& instance) = 0;
    // Appends events for the samples the filter accepts. eventCountLimit 0 means no limit; timeout 0 means
    // no waiting for a limited read (it waits until the limit is reached) and one look at the cache for an
    // unlimited one. A wait ends early, like poll's, when the subscriber closes. Returns how many were
    // appended.
    virtual std::size_t readDataEvents(const DataEventFilter<T>& filter,
                                       std::vector<std::shared_ptr<DataEvent<T>>>& events, std::size_t eventCountLimit,
                                       const std::chrono::milliseconds& timeout) = 0;
    // Registers a callback that poll() calls for each accepted sample. Throws std::runtime_error when the
    // filter overlaps one already registered, of any kind.
    virtual std::unique_ptr<Subscription> subscribe(
        const DataEventFilter<T>& filter, std::function<void(Subscriber<T>&, const DataEvent<T>&)> callback) = 0;
    // Waits up to timeout for samples, takes them (at most maxSamples a batch, 0: all) and delivers them to
    // the synchronous subscriptions. Returns how many samples were taken. It wakes for any sample of an alive
    // instance in the reader, also one a notifier has seen already, and returns early, with what it took,
    // when the subscriber is closed on another thread. Throws IllegalStateException inside a callback.
    virtual std::size_t poll(std::size_t maxSamples, const std::chrono::milliseconds& timeout) = 0;
    // Registers a callback called on a Fast DDS thread for each accepted sample; the event's data is valid
    // only during the call. Overlapping filters throw as for subscribe().
    virtual std::unique_ptr<Subscription> subscribeAsync(
        const DataEventFilter<T>& filter, std::function<void(Subscriber<T>&, const DataEvent<T>&)> callback) = 0;
    // Registers a notifier called once per arrival when any sample in the reader matches the filter; the
    // samples stay for the other reads.
    virtual std::unique_ptr<Subscription> subscribeAsync(const DataEventFilter<T>& filter,
                                                         std::function<void(Subscriber<T>&)> notifier) = 0;
};

}  // namespace qara::nimb::ps
