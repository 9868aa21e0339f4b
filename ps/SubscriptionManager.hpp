#pragma once

#include "ps/DdsDataEvent.hpp"
#include "ps/internal/DeliveryGate.hpp"
#include "ps/internal/ReaderResources.hpp"
#include "ps/internal/SampleAcceptance.hpp"

#include <qara/nimb/ps/DataEventFilter.hpp>
#include <qara/nimb/ps/Subscriber.hpp>
#include <qara/nimb/ps/Subscription.hpp>

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>
#include <log4cplus/logger.h>

#include <atomic>
#include <cstdint>
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

// Runs on Fast DDS's listener threads, and on a publishing thread when the writer is in this process; nothing
// thrown by a dispatch leaves it into Fast DDS. It is owned with the reader and outlives its manager: Fast DDS
// 3.1 neither waits for a running callback when the listener is detached nor stops one that is about to
// start, so the manager detaches through the gate.
template <class T, class ST>
class SubscriptionReaderListener : public eprosima::fastdds::dds::DataReaderListener
{
public:
    SubscriptionReaderListener();

    // Once, before the reader may call it.
    void attach(std::weak_ptr<SubscriptionManager<T, ST>> manager);
    // See DeliveryGate::close.
    void detach(bool wait) { m_gate.close(wait); }

    void on_data_available(eprosima::fastdds::dds::DataReader* reader) override;
    void on_requested_deadline_missed(eprosima::fastdds::dds::DataReader* reader,
                                      const eprosima::fastdds::dds::RequestedDeadlineMissedStatus& status) override;
    void on_requested_incompatible_qos(eprosima::fastdds::dds::DataReader* reader,
                                       const eprosima::fastdds::dds::RequestedIncompatibleQosStatus& status) override;

private:
    log4cplus::Logger m_logger;
    internal::DeliveryGate m_gate;
    std::weak_ptr<SubscriptionManager<T, ST>> m_manager;
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
//
// Locks: Fast DDS holds its reader's own lock through every listener call, so a dispatch takes asyncMutex
// after it; syncMutex is taken by poll and by registration (which takes both at once, in one order over the
// two); retiredMutex is a leaf. Inside any subscription callback a thread takes neither map mutex: it may
// neither register nor poll, and what it closes is retired (unsubscribe).
template <class T, class ST>
class SubscriptionManager : public std::enable_shared_from_this<SubscriptionManager<T, ST>>
{
public:
    using Callback = std::function<void(Subscriber<T>&, const DataEvent<T>&)>;
    using Notifier = std::function<void(Subscriber<T>&)>;
    using DdsType = typename ST::DdsType;
    using Samples = eprosima::fastdds::dds::LoanableSequence<DdsType>;
    using SubscriberPtr = std::shared_ptr<DdsSubscriber<T, ST>>;
    using Acceptance = internal::SampleAcceptance<T, ST>;

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
                        std::shared_ptr<internal::ReaderResources> resources, Subscriber<T>& subscriber,
                        SubscriptionReaderListener<T, ST>& listener, Acceptance acceptance);

    SubscriptionManager(const SubscriptionManager&) = delete;
    SubscriptionManager& operator=(const SubscriptionManager&) = delete;

    // Attaches the listener to the reader, once the subscriber is owned by `owner`: a dispatch holds it, so
    // that a callback may drop every other owner.
    void start(std::weak_ptr<Subscriber<T>> owner);
    // Detaches the listener. From outside every callback it waits for a delivery in progress of either
    // kind, and none starts after; from inside one it does not wait, since that delivery may be waiting for
    // this thread.
    void stop();
    // The subscriber, unless it is being destroyed.
    std::shared_ptr<Subscriber<T>> owner() const { return m_owner.lock(); }

    std::unique_ptr<Subscription> subscribe(const DataEventFilter<T>& filter, Callback& callback, SubscriberPtr self);
    std::unique_ptr<Subscription> subscribeAsync(const DataEventFilter<T>& filter, Callback& callback,
                                                 SubscriberPtr self);
    std::unique_ptr<Subscription> subscribeAsyncWithNotifier(const DataEventFilter<T>& filter, Notifier& notifier,
                                                             SubscriberPtr self);
    // Removes a registration. From inside any subscription callback it does not wait: the registration is
    // retired (never called again) and leaves its map when that map is next free.
    void unsubscribe(SubscriptionKind kind, const std::string& id);

    // The listener's work on data arrival: notifiers first (they only read), then listeners (they take).
    void dispatch();
    // poll's delivery of one taken batch to the synchronous subscriptions.
    void deliverToSyncSubscriptions(Samples& samples, eprosima::fastdds::dds::SampleInfoSeq& infos);

    // True on a thread that is inside one of this manager's dispatches or deliveries.
    bool isDeliveringOnThisThread() const;

    static InstanceEvent createInstanceEventFrom(const eprosima::fastdds::dds::SampleInfo& info)
    {
        return Acceptance::instanceEventOf(info);
    }
    static bool matchInstanceEvent(eprosima::fastdds::dds::ViewStateKind viewState, const DataEventFilter<T>& filter)
    {
        return Acceptance::matchInstanceEvent(viewState, filter);
    }

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

    void dispatchToNotifiers(eprosima::fastdds::dds::DataReader& reader);
    void dispatchToListeners(eprosima::fastdds::dds::DataReader& reader);
    static int32_t takeLimitOf(internal::ReaderResources& resources);
    template <class Call>
    void invokeGuarded(Call call);
    bool isRetired(const std::string& id);
    // Erases the retired registrations found in the given maps; their mutexes must be held.
    template <class... Maps>
    void eraseRetired(Maps&... maps);
    // Delivers one sample to one subscription if it passes the delivery test; `entity` is made at the first
    // delivery of the sample and serves the others, from `spare` where one is given.
    bool deliverOne(SubscriptionInfo& subscription, const eprosima::fastdds::dds::SampleInfo& info, DdsType& sample,
                    std::shared_ptr<T>& entity, std::shared_ptr<ST>* spare = nullptr);
    static std::shared_ptr<T> borrowingEntity(DdsType& sample, std::shared_ptr<ST>* spare);
    // What one read or take lends. A loan guard refers to it, the manager and the reader: three references
    // fit in the small buffer of the boost::function that Boost.ScopeExit keeps, four would be allocated.
    struct Loan
    {
        Samples samples;
        eprosima::fastdds::dds::SampleInfoSeq infos;
    };
    void returnLoan(eprosima::fastdds::dds::DataReader& reader, Loan& loan);

    log4cplus::Logger m_logger;
    std::shared_ptr<eprosima::fastdds::dds::DomainParticipant> m_participant;
    Subscriber<T>& m_subscriber;
    std::weak_ptr<Subscriber<T>> m_owner;
    std::shared_ptr<internal::ReaderResources> m_resources;
    SubscriptionReaderListener<T, ST>& m_listener;
    const Acceptance m_acceptance;
    // The most samples one take hands out: Fast DDS caps a take of LENGTH_UNLIMITED at the reader's
    // max_samples_per_read. 0 or less: no cap known.
    const int32_t m_takeLimit;
    // Set by stop(): a dispatch in progress stops taking.
    std::atomic<bool> m_stopping{false};
    // Held through a whole listener dispatch; guards the two maps below.
    std::mutex m_asyncMutex;
    std::map<std::string, SubscriptionInfo> m_asyncSubscriptions;
    std::map<std::string, NotifierSubscriptionInfo> m_notifierSubscriptions;
    // The listener path's last borrowing entity, also guarded by asyncMutex: unless a callback kept it, it
    // is pointed at the next sample instead of a new one being made.
    std::shared_ptr<ST> m_spareEntity;
    // Held by poll while it delivers; guards the map below.
    std::mutex m_syncMutex;
    std::map<std::string, SubscriptionInfo> m_syncSubscriptions;

    // Registrations closed from inside a callback, not yet erased from their maps. A leaf lock: taken with or
    // without the map mutexes, never the other way round.
    std::mutex m_retiredMutex;
    std::set<std::string> m_retired;
    // The size of m_retired, written under its mutex: while it is 0 a delivery needs not take that mutex.
    std::atomic<std::size_t> m_retiredCount{0};
    std::atomic<std::thread::id> m_asyncHolder;
    std::atomic<std::thread::id> m_syncHolder;
};

}  // namespace qara::nimb::ps

#include "ps/SubscriptionManager.inl"
