#pragma once

#include "ps/DdsDataEvent.hpp"
#include "ps/internal/DdsBasePubSub.hpp"
#include "ps/internal/Failure.hpp"

#include <qara/nimb/ps/DataEventFilter.hpp>
#include <qara/nimb/ps/Subscriber.hpp>
#include <qara/nimb/ps/Subscription.hpp>

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <log4cplus/logger.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace qara::nimb::ps {

template <class T, class ST>
class DdsSubscriber;
template <class T, class ST>
class SubscriptionManager;

// Runs on Fast DDS's listener thread; nothing thrown by a dispatch leaves it into Fast DDS. It outlives
// its manager: Fast DDS 3.1 neither waits for a running callback when the listener is detached nor stops
// one that is about to start, so the manager detaches through the gate, which waits for the dispatch in
// progress and turns later calls away.
template <class T, class ST>
class SubscriptionReaderListener : public eprosima::fastdds::dds::DataReaderListener
{
public:
    SubscriptionReaderListener();

    void attach(SubscriptionManager<T, ST>& manager);
    void detach();

    void on_data_available(eprosima::fastdds::dds::DataReader* reader) override;
    void on_requested_deadline_missed(eprosima::fastdds::dds::DataReader* reader,
                                      const eprosima::fastdds::dds::RequestedDeadlineMissedStatus& status) override;
    void on_requested_incompatible_qos(eprosima::fastdds::dds::DataReader* reader,
                                       const eprosima::fastdds::dds::RequestedIncompatibleQosStatus& status) override;

private:
    log4cplus::Logger m_logger;
    std::mutex m_gate;
    SubscriptionManager<T, ST>* m_manager = nullptr;
};

enum class SubscriptionKind
{
    Sync,
    Async,
    Notifier
};

// Keeps the subscriptions of one subscriber and delivers to them: listener callbacks and notifiers on the
// DDS listener thread (under asyncMutex), synchronous callbacks from the subscriber's poll (under
// syncMutex). A new filter may not overlap any registered one, of any kind.
template <class T, class ST>
class SubscriptionManager
{
public:
    using Callback = std::function<void(Subscriber<T>&, const DataEvent<T>&)>;
    using Notifier = std::function<void(Subscriber<T>&)>;
    using DdsType = typename ST::DdsType;
    using Samples = eprosima::fastdds::dds::LoanableSequence<DdsType>;
    using SubscriberPtr = std::shared_ptr<DdsSubscriber<T, ST>>;

    struct SubscriptionInfo
    {
        std::string id;
        DataEventFilter<T> filter;
        Callback callback;
    };

    struct NotifierSubscriptionInfo
    {
        std::string id;
        DataEventFilter<T> filter;
        Notifier notifier;
    };

    SubscriptionManager(const std::shared_ptr<eprosima::fastdds::dds::DomainParticipant>& participant,
                        const std::shared_ptr<eprosima::fastdds::dds::DataReader>& reader,
                        DdsSubscriber<T, ST>& subscriber, SubscriptionReaderListener<T, ST>& listener);

    // Attaches the listener to the reader. Only once the subscriber is owned by a shared_ptr: a dispatch
    // looks its owner up through it, from Fast DDS's threads.
    void start();
    // Detaches the listener: waits for a dispatch in progress, and no dispatch starts after.
    void stop();
    // The subscriber, unless it is being destroyed.
    std::shared_ptr<DdsSubscriber<T, ST>> owner() const;

    SubscriptionManager(const SubscriptionManager&) = delete;
    SubscriptionManager& operator=(const SubscriptionManager&) = delete;

    std::unique_ptr<Subscription> subscribe(const DataEventFilter<T>& filter, Callback& callback, SubscriberPtr self);
    std::unique_ptr<Subscription> subscribeAsync(const DataEventFilter<T>& filter, Callback& callback,
                                                 SubscriberPtr self);
    std::unique_ptr<Subscription> subscribeAsyncWithNotifier(const DataEventFilter<T>& filter, Notifier& notifier,
                                                             SubscriberPtr self);
    // Removes a registration. From inside one of this manager's own callbacks, of either kind, the removal
    // is deferred: the registration is not called again and leaves its map when that map is next free.
    void unsubscribe(SubscriptionKind kind, const std::string& id);

    // The listener's work on data arrival: notifiers first (they only read), then listeners (they take).
    void dispatch();
    // poll's delivery of one taken batch to the synchronous subscriptions.
    void deliverToSyncSubscriptions(Samples& samples, eprosima::fastdds::dds::SampleInfoSeq& infos);

    // True on a thread that is inside one of this manager's dispatches or deliveries.
    bool isDeliveringOnThisThread() const;

    static InstanceEvent createInstanceEventFrom(const eprosima::fastdds::dds::SampleInfo& info);
    static bool matchInstanceEvent(eprosima::fastdds::dds::ViewStateKind viewState, const DataEventFilter<T>& filter);
    static bool matchInstanceState(eprosima::fastdds::dds::InstanceStateKind instanceState,
                                   const DataEventFilter<T>& filter);
    // Steps of the delivery test after validity and age: instance, state, event.
    static bool matchFilter(const DataEventFilter<T>& filter, const eprosima::fastdds::dds::SampleInfo& info,
                            DdsType& sample);
    // The test the data-event reads apply.
    static bool passesReadTest(const DdsSubscriber<T, ST>& subscriber, const DataEventFilter<T>& filter,
                               const eprosima::fastdds::dds::SampleInfo& info, DdsType& sample);

private:
    // Marks the thread that holds one of the two mutexes for a delivery.
    class Delivering
    {
    public:
        explicit Delivering(std::atomic<std::thread::id>& holder);
        ~Delivering();

    private:
        std::atomic<std::thread::id>& m_holder;
    };

    template <class Info>
    std::string registerIn(std::map<std::string, Info>& map, const DataEventFilter<T>& filter, Info info);
    void ensureUniqueFilter(const DataEventFilter<T>& filter);
    template <class Info>
    void ensureUniqueFilterIn(const std::map<std::string, Info>& map, const DataEventFilter<T>& filter);
    static bool overlaps(const DataEventFilter<T>& a, const DataEventFilter<T>& b);

    void dispatchToNotifiers();
    void dispatchToListeners();
    bool passesDeliveryTest(const DataEventFilter<T>& filter, const eprosima::fastdds::dds::SampleInfo& info,
                            DdsType& sample) const;
    template <class Call>
    void invokeGuarded(Call call);
    bool isRetired(const std::string& id);
    // Erases the retired registrations found in the given maps; their mutexes must be held.
    template <class... Maps>
    void eraseRetired(Maps&... maps);
    bool deliverOne(SubscriptionInfo& subscription, const eprosima::fastdds::dds::SampleInfo& info, DdsType& sample,
                    std::shared_ptr<T>& entity);
    void returnLoan(Samples& samples, eprosima::fastdds::dds::SampleInfoSeq& infos);

    log4cplus::Logger m_logger;
    std::shared_ptr<eprosima::fastdds::dds::DomainParticipant> m_participant;
    DdsSubscriber<T, ST>& m_subscriber;
    std::shared_ptr<eprosima::fastdds::dds::DataReader> m_reader;
    SubscriptionReaderListener<T, ST>& m_listener;
    std::mutex m_asyncMutex;
    std::map<std::string, SubscriptionInfo> m_asyncSubscriptions;
    std::map<std::string, NotifierSubscriptionInfo> m_notifierSubscriptions;
    std::mutex m_syncMutex;
    std::map<std::string, SubscriptionInfo> m_syncSubscriptions;

    // Registrations closed from inside a delivery, not yet erased from their maps. A leaf lock: taken
    // with or without the map mutexes, never the other way round.
    std::mutex m_retiredMutex;
    std::set<std::string> m_retired;
    std::atomic<std::thread::id> m_asyncHolder;
    std::atomic<std::thread::id> m_syncHolder;
};

}  // namespace qara::nimb::ps

#include "ps/SubscriptionManager.inl"
