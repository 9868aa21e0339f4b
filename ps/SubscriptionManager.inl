#pragma once

#include "ps/DdsSubscription.hpp"
#include "ps/internal/Failure.hpp"

#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/ps/detail/Uuid.hpp>

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
void SubscriptionReaderListener<T, ST>::attach(std::weak_ptr<SubscriptionManager<T, ST>> manager)
{
    m_manager = std::move(manager);
    m_gate.open();
}

template <class T, class ST>
void SubscriptionReaderListener<T, ST>::on_data_available(fdds::DataReader*)
{
    const internal::CallbackScope scope(internal::CallbackScope::Kind::Listener);
    // Held until the gate is left: a callback may drop every other owner of the subscriber, which then goes
    // here, still inside this call, and parks its reader. Nothing of this listener is touched after.
    std::shared_ptr<Subscriber<T>> owner;
    std::shared_ptr<SubscriptionManager<T, ST>> manager;
    m_gate.arrive([&] {
        try
        {
            if (!manager)
            {
                manager = m_manager.lock();
                // Null while the subscriber is being destroyed on another thread.
                owner = manager ? manager->owner() : nullptr;
            }
            if (owner)
            {
                manager->dispatch();
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
    });
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
                                                std::shared_ptr<internal::ReaderResources> resources,
                                                Subscriber<T>& subscriber, SubscriptionReaderListener<T, ST>& listener,
                                                Acceptance acceptance)
    : m_logger(log4cplus::Logger::getInstance("nimbDdsSubscriptionManager")),
      m_participant(participant),
      m_subscriber(subscriber),
      m_resources(std::move(resources)),
      m_listener(listener),
      m_acceptance(acceptance),
      m_takeLimit(takeLimitOf(*m_resources))
{
}

template <class T, class ST>
int32_t SubscriptionManager<T, ST>::takeLimitOf(internal::ReaderResources& resources)
{
    const internal::ReaderResources::Use use(resources);
    return use ? use.reader().get_qos().reader_resource_limits().max_samples_per_read : 0;
}

template <class T, class ST>
void SubscriptionManager<T, ST>::start(std::weak_ptr<Subscriber<T>> owner)
{
    m_owner = std::move(owner);
    m_listener.attach(this->weak_from_this());
    const internal::ReaderResources::Use use(*m_resources);
    const internal::fastdds::ReturnCode code = use.reader().set_listener(&m_listener);
    if (code != internal::fastdds::kOk)
    {
        m_listener.detach(false);
        internal::fail<std::runtime_error>(m_logger,
                                           internal::withCode("Failed to attach a listener to the DDS reader", code));
    }
}

template <class T, class ST>
void SubscriptionManager<T, ST>::stop()
{
    m_stopping = true;
    const bool wait = !internal::insideCallback();
    m_listener.detach(wait);
    {
        const internal::ReaderResources::Use use(*m_resources);
        const internal::fastdds::ReturnCode code =
            use ? use.reader().set_listener(nullptr, fdds::StatusMask::none()) : internal::fastdds::kOk;
        if (code != internal::fastdds::kOk)
        {
            LOG4CPLUS_ERROR(m_logger, "errMsg:" << internal::withCode("Failed to set listener to none", code));
        }
    }
    if (wait)
    {
        // A poll on another thread may be delivering a batch it took before the close.
        std::lock_guard<std::mutex> lock(m_syncMutex);
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
    if (internal::insideCallback())
    {
        // Both mutexes are needed, and the delivery holding one of them may be waiting for this thread.
        throw IllegalStateException("Cannot subscribe from inside a subscription callback");
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
    if (internal::insideCallback())
    {
        // The delivery holding this map's mutex may be waiting for this thread, and if this thread holds it,
        // the map may be in the middle of being walked.
        std::lock_guard<std::mutex> lock(m_retiredMutex);
        m_retired.insert(id);
        m_retiredCount.store(m_retired.size(), std::memory_order_release);
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
    if (m_retiredCount.load(std::memory_order_acquire) == 0)
    {
        return false;
    }
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
        if (Acceptance::overlaps(filter, entry.second.filter))
        {
            internal::fail<std::runtime_error>(m_logger, "Filter intersects with an already registered subscription");
        }
    }
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
    if (m_retiredCount.load(std::memory_order_acquire) == 0)
    {
        return;
    }
    std::lock_guard<std::mutex> lock(m_retiredMutex);
    for (auto it = m_retired.begin(); it != m_retired.end();)
    {
        const std::size_t erased = (maps.erase(*it) + ...);
        it = erased != 0 ? m_retired.erase(it) : std::next(it);
    }
    m_retiredCount.store(m_retired.size(), std::memory_order_release);
}

template <class T, class ST>
void SubscriptionManager<T, ST>::dispatch()
{
    const internal::ReaderResources::Use use(*m_resources);
    if (!use || m_stopping)
    {
        return;
    }
    std::lock_guard<std::mutex> lock(m_asyncMutex);
    {
        Delivering delivering(m_asyncHolder);
        if (!m_notifierSubscriptions.empty())
        {
            dispatchToNotifiers(use.reader());
        }
        if (!m_asyncSubscriptions.empty())
        {
            dispatchToListeners(use.reader());
        }
    }
    eraseRetired(m_asyncSubscriptions, m_notifierSubscriptions);
}

template <class T, class ST>
void SubscriptionManager<T, ST>::returnLoan(fdds::DataReader& reader, Loan& loan)
{
    const internal::fastdds::ReturnCode code = reader.return_loan(loan.samples, loan.infos);
    if (code != internal::fastdds::kOk)
    {
        LOG4CPLUS_ERROR(m_logger, "errMsg:" << internal::withCode(
                                      "Subscription manager listener failed to return loaned data back to the "
                                      "middle-layer",
                                      code));
    }
}

template <class T, class ST>
void SubscriptionManager<T, ST>::dispatchToNotifiers(fdds::DataReader& reader)
{
    Loan loan;
    Samples& samples = loan.samples;
    fdds::SampleInfoSeq& infos = loan.infos;
    const internal::fastdds::ReturnCode code = reader.read(samples, infos, fdds::LENGTH_UNLIMITED,
                                                           fdds::ANY_SAMPLE_STATE, fdds::ANY_VIEW_STATE,
                                                           fdds::ANY_INSTANCE_STATE);
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
    BOOST_SCOPE_EXIT_ALL(this, &reader, &loan)
    {
        returnLoan(reader, loan);
    };
    for (auto& entry : m_notifierSubscriptions)
    {
        NotifierSubscriptionInfo& subscription = entry.second;
        for (typename Samples::size_type i = 0; i < samples.length(); ++i)
        {
            if (!isRetired(subscription.id) && Acceptance::matches(subscription.filter, infos[i], samples[i]))
            {
                invokeGuarded([&] { subscription.notifier(m_subscriber); });
                break;
            }
        }
    }
}

template <class T, class ST>
bool SubscriptionManager<T, ST>::deliverOne(SubscriptionInfo& subscription, const fdds::SampleInfo& info,
                                            DdsType& sample, std::shared_ptr<T>& entity, std::shared_ptr<ST>* spare)
{
    if (isRetired(subscription.id) || !m_acceptance.passesDeliveryTest(subscription.filter, info, sample))
    {
        return false;
    }
    // One borrowing entity per sample serves every subscription: it only views the lent sample.
    if (!entity)
    {
        entity = borrowingEntity(sample, spare);
    }
    subscription.callback(m_subscriber,
                          DdsDataEvent<T>(sourceTimestampOf(info), info.valid_data, entity,
                                          subscription.filter.instanceState, createInstanceEventFrom(info)));
    return true;
}

template <class T, class ST>
std::shared_ptr<T> SubscriptionManager<T, ST>::borrowingEntity(DdsType& sample, std::shared_ptr<ST>* spare)
{
    if (spare == nullptr)
    {
        return std::make_shared<ST>(&sample);
    }
    // Held by `spare` alone, the entity is out of every callback's hands: a borrowing entity is valid only
    // during its callback, so one that a callback kept stays as it is and a new one is made.
    if (*spare != nullptr && spare->use_count() == 1)
    {
        **spare = ST(&sample);
    }
    else
    {
        *spare = std::make_shared<ST>(&sample);
    }
    return *spare;
}

template <class T, class ST>
void SubscriptionManager<T, ST>::dispatchToListeners(fdds::DataReader& reader)
{
    // Takes every sample, read or not: the notifiers may have read them just before. A full batch is followed
    // by another take; an arrival during the callbacks (one they published, say) comes with a notification of
    // its own, which the delivery gate turns into one more round, so an empty take is never needed.
    for (bool full = true; full && !m_stopping;)
    {
        Loan loan;
        Samples& samples = loan.samples;
        fdds::SampleInfoSeq& infos = loan.infos;
        if (reader.take(samples, infos, fdds::LENGTH_UNLIMITED, fdds::ANY_SAMPLE_STATE, fdds::ANY_VIEW_STATE,
                        fdds::ANY_INSTANCE_STATE) != internal::fastdds::kOk)
        {
            return;
        }
        full = m_takeLimit <= 0 || samples.length() >= m_takeLimit;
        BOOST_SCOPE_EXIT_ALL(this, &reader, &loan)
        {
            returnLoan(reader, loan);
        };
        for (typename Samples::size_type i = 0; i < samples.length(); ++i)
        {
            std::shared_ptr<T> entity;
            for (auto& entry : m_asyncSubscriptions)
            {
                invokeGuarded([&] { deliverOne(entry.second, infos[i], samples[i], entity, &m_spareEntity); });
            }
        }
    }
}

template <class T, class ST>
void SubscriptionManager<T, ST>::deliverToSyncSubscriptions(Samples& samples, fdds::SampleInfoSeq& infos)
{
    std::lock_guard<std::mutex> lock(m_syncMutex);
    {
        const internal::CallbackScope scope(internal::CallbackScope::Kind::Poll);
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
