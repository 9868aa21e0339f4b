#pragma once

#include "generated/dds/DecodeFailures.hpp"
#include "ps/DdsSubscription.hpp"
#include "ps/internal/Failure.hpp"

#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/ps/detail/Uuid.hpp>

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <boost/scope_exit.hpp>

#include <exception>
#include <stdexcept>

namespace qara::nimb::ps {

namespace fdds = eprosima::fastdds::dds;

template <class T, class ST>
SubscriptionReaderListener<T, ST>::SubscriptionReaderListener()
    : m_logger(log4cplus::Logger::getInstance("nimbDdsSubscriptionReaderListener"))
{
}

template <class T, class ST>
void SubscriptionReaderListener<T, ST>::attach(SubscriptionManager<T, ST>& manager)
{
    std::lock_guard<std::mutex> lock(m_gate);
    m_manager = &manager;
}

template <class T, class ST>
void SubscriptionReaderListener<T, ST>::detach()
{
    std::lock_guard<std::mutex> lock(m_gate);
    m_manager = nullptr;
}

template <class T, class ST>
void SubscriptionReaderListener<T, ST>::on_data_available(fdds::DataReader*)
{
    const internal::ListenerCallbackScope scope;
    // A callback may drop every other owner of the subscriber. Holding it here lets the dispatch finish
    // and the subscriber go only after the gate is left; it then parks its reader, which Fast DDS cannot
    // delete from inside this call. Nothing of this listener is touched after it is dropped.
    std::shared_ptr<DdsSubscriber<T, ST>> owner;
    try
    {
        std::lock_guard<std::mutex> lock(m_gate);
        if (m_manager != nullptr)
        {
            // Null while the subscriber is being destroyed on another thread, which waits here to detach.
            owner = m_manager->owner();
            if (owner)
            {
                m_manager->dispatch();
            }
        }
    }
    catch (const std::exception& e)
    {
        LOG4CPLUS_ERROR(m_logger, "errMsg:Dispatch of received data failed: " << e.what());
    }
    catch (...)
    {
        LOG4CPLUS_ERROR(m_logger, "errMsg:Dispatch of received data failed");
    }
}

template <class T, class ST>
void SubscriptionReaderListener<T, ST>::on_requested_deadline_missed(fdds::DataReader*,
                                                                     const fdds::RequestedDeadlineMissedStatus&)
{
    LOG4CPLUS_WARN(m_logger, "on_requested_deadline_missed");
}

template <class T, class ST>
void SubscriptionReaderListener<T, ST>::on_requested_incompatible_qos(fdds::DataReader*,
                                                                      const fdds::RequestedIncompatibleQosStatus&)
{
    LOG4CPLUS_WARN(m_logger, "Requested incompatible QoS ");
}

template <class T, class ST>
SubscriptionManager<T, ST>::Delivering::Delivering(std::atomic<std::thread::id>& holder) : m_holder(holder)
{
    m_holder = std::this_thread::get_id();
}

template <class T, class ST>
SubscriptionManager<T, ST>::Delivering::~Delivering()
{
    m_holder = std::thread::id();
}

template <class T, class ST>
SubscriptionManager<T, ST>::SubscriptionManager(const std::shared_ptr<fdds::DomainParticipant>& participant,
                                                const std::shared_ptr<fdds::DataReader>& reader,
                                                DdsSubscriber<T, ST>& subscriber,
                                                SubscriptionReaderListener<T, ST>& listener)
    : m_logger(log4cplus::Logger::getInstance("nimbDdsSubscriptionManager")),
      m_participant(participant),
      m_subscriber(subscriber),
      m_reader(reader),
      m_listener(listener)
{
}

template <class T, class ST>
void SubscriptionManager<T, ST>::start()
{
    m_listener.attach(*this);
    const internal::fastdds::ReturnCode code = m_reader->set_listener(&m_listener);
    if (code != internal::fastdds::kOk)
    {
        m_listener.detach();
        internal::fail<std::runtime_error>(m_logger,
                                           internal::withCode("Failed to attach a listener to the DDS reader", code));
    }
}

template <class T, class ST>
std::shared_ptr<DdsSubscriber<T, ST>> SubscriptionManager<T, ST>::owner() const
{
    return m_subscriber.weak_from_this().lock();
}

template <class T, class ST>
void SubscriptionManager<T, ST>::stop()
{
    m_listener.detach();
    const internal::fastdds::ReturnCode code = m_reader->set_listener(nullptr, fdds::StatusMask::none());
    if (code != internal::fastdds::kOk)
    {
        LOG4CPLUS_ERROR(m_logger, "errMsg:" << internal::withCode("Failed to set listener to none", code));
    }
}

template <class T, class ST>
bool SubscriptionManager<T, ST>::isDeliveringOnThisThread() const
{
    const std::thread::id self = std::this_thread::get_id();
    return m_asyncHolder.load() == self || m_syncHolder.load() == self;
}

template <class T, class ST>
template <class Info>
std::string SubscriptionManager<T, ST>::registerIn(std::map<std::string, Info>& map, const DataEventFilter<T>& filter,
                                                   Info info)
{
    if (isDeliveringOnThisThread())
    {
        // Both mutexes would be needed while this thread already holds one of them.
        throw IllegalStateException("Cannot subscribe from inside a callback of the same subscriber");
    }
    // One order over both mutexes, so that overlap checks of concurrent registrations of different kinds
    // see each other.
    std::scoped_lock lock(m_syncMutex, m_asyncMutex);
    eraseRetired(m_syncSubscriptions, m_asyncSubscriptions, m_notifierSubscriptions);
    ensureUniqueFilter(filter);
    info.id = detail::newUUID();
    std::string id = info.id;
    map.emplace(id, std::move(info));
    return id;
}

template <class T, class ST>
std::unique_ptr<Subscription> SubscriptionManager<T, ST>::subscribe(const DataEventFilter<T>& filter,
                                                                    Callback& callback, SubscriberPtr self)
{
    std::string id = registerIn(m_syncSubscriptions, filter, SubscriptionInfo{{}, filter, callback});
    return std::make_unique<SyncDdsSubscription<T, ST>>(std::move(id), std::move(self));
}

template <class T, class ST>
std::unique_ptr<Subscription> SubscriptionManager<T, ST>::subscribeAsync(const DataEventFilter<T>& filter,
                                                                         Callback& callback, SubscriberPtr self)
{
    std::string id = registerIn(m_asyncSubscriptions, filter, SubscriptionInfo{{}, filter, callback});
    return std::make_unique<AsyncDdsSubscription<T, ST>>(std::move(id), std::move(self));
}

template <class T, class ST>
std::unique_ptr<Subscription> SubscriptionManager<T, ST>::subscribeAsyncWithNotifier(const DataEventFilter<T>& filter,
                                                                                     Notifier& notifier,
                                                                                     SubscriberPtr self)
{
    std::string id = registerIn(m_notifierSubscriptions, filter, NotifierSubscriptionInfo{{}, filter, notifier});
    return std::make_unique<AsyncDdsSubscriptionNotifier<T, ST>>(std::move(id), std::move(self));
}

template <class T, class ST>
void SubscriptionManager<T, ST>::unsubscribe(SubscriptionKind kind, const std::string& id)
{
    if (isDeliveringOnThisThread())
    {
        // This thread holds one of the map mutexes: taking the other could deadlock with a delivery of the
        // other kind, and the own map may be in the middle of being walked.
        std::lock_guard<std::mutex> lock(m_retiredMutex);
        m_retired.insert(id);
        return;
    }
    switch (kind)
    {
        case SubscriptionKind::Sync:
        {
            std::lock_guard<std::mutex> lock(m_syncMutex);
            m_syncSubscriptions.erase(id);
            break;
        }
        case SubscriptionKind::Async:
        {
            std::lock_guard<std::mutex> lock(m_asyncMutex);
            m_asyncSubscriptions.erase(id);
            break;
        }
        case SubscriptionKind::Notifier:
        {
            std::lock_guard<std::mutex> lock(m_asyncMutex);
            m_notifierSubscriptions.erase(id);
            break;
        }
    }
}

template <class T, class ST>
bool SubscriptionManager<T, ST>::isRetired(const std::string& id)
{
    std::lock_guard<std::mutex> lock(m_retiredMutex);
    return m_retired.count(id) != 0;
}

template <class T, class ST>
void SubscriptionManager<T, ST>::ensureUniqueFilter(const DataEventFilter<T>& filter)
{
    ensureUniqueFilterIn(m_asyncSubscriptions, filter);
    ensureUniqueFilterIn(m_notifierSubscriptions, filter);
    ensureUniqueFilterIn(m_syncSubscriptions, filter);
}

template <class T, class ST>
template <class Info>
void SubscriptionManager<T, ST>::ensureUniqueFilterIn(const std::map<std::string, Info>& map,
                                                      const DataEventFilter<T>& filter)
{
    for (const auto& entry : map)
    {
        if (overlaps(filter, entry.second.filter))
        {
            internal::fail<std::runtime_error>(m_logger, "Filter intersects with an already registered subscription");
        }
    }
}

template <class T, class ST>
bool SubscriptionManager<T, ST>::overlaps(const DataEventFilter<T>& a, const DataEventFilter<T>& b)
{
    const bool instances = !a.instance || !b.instance || a.instance->keyEquals(*b.instance);
    const bool states = a.instanceState == b.instanceState || a.instanceState == InstanceState::ANY ||
                        b.instanceState == InstanceState::ANY;
    bool events = a.instanceEvents.empty() || b.instanceEvents.empty();
    for (auto it = a.instanceEvents.begin(); !events && it != a.instanceEvents.end(); ++it)
    {
        events = b.instanceEvents.count(*it) != 0;
    }
    return instances && states && events;
}

template <class T, class ST>
InstanceEvent SubscriptionManager<T, ST>::createInstanceEventFrom(const fdds::SampleInfo& info)
{
    const auto state = info.instance_state;
    if (state == fdds::NOT_ALIVE_DISPOSED_INSTANCE_STATE || state == fdds::NOT_ALIVE_NO_WRITERS_INSTANCE_STATE ||
        state == (fdds::NOT_ALIVE_DISPOSED_INSTANCE_STATE | fdds::NOT_ALIVE_NO_WRITERS_INSTANCE_STATE))
    {
        return InstanceEvent::DELETED;
    }
    if (info.view_state == fdds::NEW_VIEW_STATE)
    {
        return InstanceEvent::CREATED;
    }
    if (info.view_state == fdds::NOT_NEW_VIEW_STATE || info.view_state == fdds::ANY_VIEW_STATE)
    {
        return InstanceEvent::UPDATED;
    }
    throw NimbException("Nimb InstanceEvent can not be deduced from sampleInfo");
}

template <class T, class ST>
bool SubscriptionManager<T, ST>::matchInstanceEvent(fdds::ViewStateKind viewState, const DataEventFilter<T>& filter)
{
    if (filter.instanceEvents.empty())
    {
        return true;
    }
    for (InstanceEvent event : filter.instanceEvents)
    {
        if ((event == InstanceEvent::CREATED && viewState == fdds::NEW_VIEW_STATE) ||
            (event == InstanceEvent::UPDATED && viewState == fdds::NOT_NEW_VIEW_STATE))
        {
            return true;
        }
    }
    return false;
}

template <class T, class ST>
bool SubscriptionManager<T, ST>::matchInstanceState(fdds::InstanceStateKind instanceState,
                                                    const DataEventFilter<T>& filter)
{
    switch (filter.instanceState)
    {
        case InstanceState::ANY:
            return true;
        case InstanceState::ALIVE:
            return instanceState == fdds::ALIVE_INSTANCE_STATE;
        case InstanceState::NOT_ALIVE:
            return instanceState == fdds::NOT_ALIVE_DISPOSED_INSTANCE_STATE;
    }
    return false;
}

template <class T, class ST>
bool SubscriptionManager<T, ST>::matchFilter(const DataEventFilter<T>& filter, const fdds::SampleInfo& info,
                                             DdsType& sample)
{
    if (filter.instance && !ST(&sample).keyEquals(*filter.instance))
    {
        return false;
    }
    return matchInstanceState(info.instance_state, filter) && matchInstanceEvent(info.view_state, filter);
}

template <class T, class ST>
bool SubscriptionManager<T, ST>::passesDeliveryTest(const DataEventFilter<T>& filter, const fdds::SampleInfo& info,
                                                    DdsType& sample) const
{
    return m_subscriber.accepts(info, sample) && matchFilter(filter, info, sample);
}

template <class T, class ST>
bool SubscriptionManager<T, ST>::passesReadTest(const DdsSubscriber<T, ST>& subscriber,
                                                const DataEventFilter<T>& filter, const fdds::SampleInfo& info,
                                                DdsType& sample)
{
    if (!subscriber.accepts(info, sample))
    {
        return false;
    }
    if (!filter.instance)
    {
        return true;
    }
    if (!ST(&sample).keyEquals(*filter.instance))
    {
        return matchInstanceState(info.instance_state, filter) || matchInstanceEvent(info.view_state, filter);
    }
    return true;
}

template <class T, class ST>
template <class Call>
void SubscriptionManager<T, ST>::invokeGuarded(Call call)
{
    // One failing callback must neither stop the others nor leave the listener.
    try
    {
        call();
    }
    catch (const std::exception& e)
    {
        LOG4CPLUS_ERROR(m_logger, "errMsg:Subscription callback failed: " << e.what());
    }
    catch (...)
    {
        LOG4CPLUS_ERROR(m_logger, "errMsg:Subscription callback failed");
    }
}

template <class T, class ST>
template <class... Maps>
void SubscriptionManager<T, ST>::eraseRetired(Maps&... maps)
{
    std::lock_guard<std::mutex> lock(m_retiredMutex);
    for (auto it = m_retired.begin(); it != m_retired.end();)
    {
        const std::size_t erased = (maps.erase(*it) + ...);
        it = erased != 0 ? m_retired.erase(it) : std::next(it);
    }
}

template <class T, class ST>
void SubscriptionManager<T, ST>::dispatch()
{
    std::lock_guard<std::mutex> lock(m_asyncMutex);
    {
        Delivering delivering(m_asyncHolder);
        if (!m_notifierSubscriptions.empty())
        {
            dispatchToNotifiers();
        }
        if (!m_asyncSubscriptions.empty())
        {
            dispatchToListeners();
        }
    }
    eraseRetired(m_asyncSubscriptions, m_notifierSubscriptions);
}

template <class T, class ST>
void SubscriptionManager<T, ST>::returnLoan(Samples& samples, fdds::SampleInfoSeq& infos)
{
    const internal::fastdds::ReturnCode code = m_reader->return_loan(samples, infos);
    if (code != internal::fastdds::kOk)
    {
        LOG4CPLUS_ERROR(m_logger, "errMsg:" << internal::withCode(
                                      "Subscription manager listener failed to return loaned data back to the "
                                      "middle-layer",
                                      code));
    }
}

template <class T, class ST>
void SubscriptionManager<T, ST>::dispatchToNotifiers()
{
    Samples samples;
    fdds::SampleInfoSeq infos;
    const internal::fastdds::ReturnCode code = m_reader->read(
        samples, infos, fdds::LENGTH_UNLIMITED, fdds::ANY_SAMPLE_STATE, fdds::ANY_VIEW_STATE, fdds::ANY_INSTANCE_STATE);
    if (code == internal::fastdds::kNoData)
    {
        return;
    }
    if (code != internal::fastdds::kOk)
    {
        LOG4CPLUS_ERROR(m_logger, "errMsg:" << internal::withCode(
                                      "Subscription manager failed to read data when dispatching to notifiers", code));
        return;
    }
    BOOST_SCOPE_EXIT_ALL(&)
    {
        returnLoan(samples, infos);
    };
    for (auto& entry : m_notifierSubscriptions)
    {
        NotifierSubscriptionInfo& subscription = entry.second;
        for (typename Samples::size_type i = 0; i < samples.length(); ++i)
        {
            if (!isRetired(subscription.id) && matchFilter(subscription.filter, infos[i], samples[i]))
            {
                invokeGuarded([&] { subscription.notifier(m_subscriber); });
                break;
            }
        }
    }
}

template <class T, class ST>
bool SubscriptionManager<T, ST>::deliverOne(SubscriptionInfo& subscription, const fdds::SampleInfo& info,
                                            DdsType& sample, std::shared_ptr<T>& entity)
{
    if (isRetired(subscription.id) || !passesDeliveryTest(subscription.filter, info, sample))
    {
        return false;
    }
    // One borrowing entity per sample serves every subscription: it only views the lent sample.
    if (!entity)
    {
        entity = std::make_shared<ST>(&sample);
    }
    subscription.callback(m_subscriber,
                          DdsDataEvent<T>(sourceTimestampOf(info), info.valid_data, entity,
                                          subscription.filter.instanceState, createInstanceEventFrom(info)));
    return true;
}

template <class T, class ST>
void SubscriptionManager<T, ST>::dispatchToListeners()
{
    // Takes every sample, read or not: the notifiers may have read them just before.
    for (;;)
    {
        Samples samples;
        fdds::SampleInfoSeq infos;
        if (m_reader->take(samples, infos, fdds::LENGTH_UNLIMITED, fdds::ANY_SAMPLE_STATE, fdds::ANY_VIEW_STATE,
                           fdds::ANY_INSTANCE_STATE) != internal::fastdds::kOk)
        {
            return;
        }
        BOOST_SCOPE_EXIT_ALL(&)
        {
            returnLoan(samples, infos);
        };
        for (typename Samples::size_type i = 0; i < samples.length(); ++i)
        {
            std::shared_ptr<T> entity;
            for (auto& entry : m_asyncSubscriptions)
            {
                invokeGuarded([&] { deliverOne(entry.second, infos[i], samples[i], entity); });
            }
        }
    }
}

template <class T, class ST>
void SubscriptionManager<T, ST>::deliverToSyncSubscriptions(Samples& samples, fdds::SampleInfoSeq& infos)
{
    std::lock_guard<std::mutex> lock(m_syncMutex);
    {
        Delivering delivering(m_syncHolder);
        std::vector<std::shared_ptr<T>> entities(static_cast<std::size_t>(samples.length()));
        for (auto& entry : m_syncSubscriptions)
        {
            for (typename Samples::size_type i = 0; i < samples.length(); ++i)
            {
                deliverOne(entry.second, infos[i], samples[i], entities[static_cast<std::size_t>(i)]);
            }
        }
    }
    eraseRetired(m_syncSubscriptions);
}

}  // namespace qara::nimb::ps
