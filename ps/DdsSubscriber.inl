#pragma once

#include "generated/dds/DecodeFailures.hpp"
#include "ps/DataEntityCreation.hpp"
#include "ps/internal/EntityQos.hpp"

#include <qara/nimb/Exceptions.hpp>

#include <fastdds/dds/core/condition/WaitSet.hpp>
#include <fastdds/dds/subscriber/ReadCondition.hpp>
#include <boost/scope_exit.hpp>

#include <stdexcept>

namespace qara::nimb::ps {

namespace detail {

constexpr const char* kReturnLoanFailure = "Reader failed to return loaned data back to the middle-layer.";
// The count-limited event reads have always reported it with blanks around the dash.
constexpr const char* kReturnLoanFailureSpaced = "Reader failed to return loaned data back to the middle - layer.";

inline int32_t sampleCount(std::size_t maxSamples)
{
    return maxSamples != 0 ? static_cast<int32_t>(maxSamples) : eprosima::fastdds::dds::LENGTH_UNLIMITED;
}

// The slice a waiting read sleeps at most before it looks at its deadline again.
inline eprosima::fastdds::dds::Duration_t waitSlice()
{
    return eprosima::fastdds::dds::Duration_t(0, 100000000);
}

}  // namespace detail

template <class T, class ST>
DdsSubscriber<T, ST>::DdsLoanedDataEntity::DdsLoanedDataEntity(std::shared_ptr<DdsSubscriber> lender)
    : owner(std::move(lender)), loanReturned(true)
{
}

template <class T, class ST>
DdsSubscriber<T, ST>::DdsLoanedDataEntity::~DdsLoanedDataEntity()
{
    if (!loanReturned)
    {
        try
        {
            owner->returnLoan(dataSeq, infoSeq);
            loanReturned = true;
        }
        catch (...)
        {
            // returnLoan has logged it; a destructor does not throw.
        }
    }
}

template <class T, class ST>
void DdsSubscriber<T, ST>::DdsLoanedDataEntity::close()
{
    if (!loanReturned)
    {
        owner->returnLoan(dataSeq, infoSeq);
        loanReturned = true;
    }
}

template <class T, class ST>
DdsSubscriber<T, ST>::DdsSubscriber(const Uri& uri, const typename Base::QoSList& qos,
                                    const Nimb::Properties& properties,
                                    const std::shared_ptr<typename Base::Participant>& participant)
    : Base(uri, qos, properties, participant),
      m_logger(log4cplus::Logger::getInstance("nimbDdsSubscriber")),
      m_acceptance(this->deadline(), this->latency())
{
    createReader(this->acquireTopic("Failed to delete topic for dds subscriber Uri:" + uri.string(), m_logger));
    m_subscriptionManager = std::make_shared<SubscriptionManager<T, ST>>(this->participant(), m_resources, *this,
                                                                         *m_listener, m_acceptance);
    this->setState(internal::EntityState::Initialized);
    LOG4CPLUS_TRACE(m_logger, "Subscriber for " << uri.string() << " created");
}

template <class T, class ST>
std::shared_ptr<DdsSubscriber<T, ST>> DdsSubscriber<T, ST>::create(
    const Uri& uri, const typename Base::QoSList& qos, const Nimb::Properties& properties,
    const std::shared_ptr<typename Base::Participant>& participant)
{
    auto subscriber = std::make_shared<DdsSubscriber>(uri, qos, properties, participant);
    subscriber->m_subscriptionManager->start(subscriber);
    return subscriber;
}

template <class T, class ST>
DdsSubscriber<T, ST>::~DdsSubscriber()
{
    if (this->state() != internal::EntityState::Closed)
    {
        release();
    }
    internal::releaseParked();
}

template <class T, class ST>
void DdsSubscriber<T, ST>::createReader(std::shared_ptr<eprosima::fastdds::dds::Topic> topic)
{
    namespace dds = eprosima::fastdds::dds;
    dds::Subscriber* subscriber = nullptr;
    dds::DataReader* reader = nullptr;
    const bool fromProfiles = this->getQosLibraryName() != nullptr;
    const std::string subscriberProfile = fromProfiles ? this->profileName(ProfileType::Subscriber) : std::string();
    subscriber =
        fromProfiles
            ? this->participant()->create_subscriber_with_profile(subscriberProfile, nullptr, dds::StatusMask::all())
            : this->participant()->create_subscriber(dds::SUBSCRIBER_QOS_DEFAULT, nullptr, dds::StatusMask::all());
    if (subscriber == nullptr)
    {
        internal::fail<std::runtime_error>(
            m_logger, fromProfiles ? "Failed to create subscriber with profile:" + subscriberProfile
                                   : std::string("Failed to create subscriber"));
    }
    auto held = std::shared_ptr<dds::Subscriber>(subscriber, [participant = this->participant(),
                                                              logger = m_logger](dds::Subscriber* s) {
        const internal::fastdds::ReturnCode code = participant->delete_subscriber(s);
        if (code != internal::fastdds::kOk)
        {
            LOG4CPLUS_ERROR(logger, internal::withCode("Failed to delete a DDS subscriber for dds subscriber", code));
        }
    });
    m_resources = std::make_shared<internal::ReaderResources>(topic, held, m_logger, this->uri().string());

    if (fromProfiles)
    {
        const std::string readerProfile = this->profileName(ProfileType::DataReader);
        reader = subscriber->create_datareader_with_profile(topic.get(), readerProfile, nullptr, dds::StatusMask::all(),
                                                            nullptr);
        if (reader == nullptr)
        {
            internal::fail<std::runtime_error>(m_logger, "Failed to create reader with profile:" + readerProfile);
        }
    }
    else
    {
        reader = subscriber->create_datareader(topic.get(), internal::codeReaderQos(this->deadline()), nullptr,
                                               dds::StatusMask::all(), nullptr);
        if (reader == nullptr)
        {
            internal::fail<std::runtime_error>(m_logger, "Failed to create reader");
        }
    }
    auto listener = std::make_unique<SubscriptionReaderListener<T, ST>>();
    m_listener = listener.get();
    m_resources->adopt(reader, std::move(listener));
    m_readerView = reader;
}

template <class T, class ST>
std::shared_ptr<T> DdsSubscriber<T, ST>::createDataEntity()
{
    this->checkState();
    return createDataEntityInternal<T, ST>();
}

template <class T, class ST>
void DdsSubscriber<T, ST>::close()
{
    if (this->state() == internal::EntityState::Closed)
    {
        LOG4CPLUS_DEBUG(m_logger, "Subscriber already closed Uri: " << this->uri().string());
        return;
    }
    checkNotInsideCallback("close");
    release();
    internal::releaseParked();
}

template <class T, class ST>
void DdsSubscriber<T, ST>::release()
{
    std::shared_ptr<SubscriptionManager<T, ST>> manager;
    {
        std::lock_guard<std::mutex> lock(m_lifecycleMutex);
        manager = std::move(m_subscriptionManager);
    }
    if (manager)
    {
        manager->stop();
    }
    // Before the reader closes: a read turned away by it reports the closed state.
    this->setState(internal::EntityState::Closed);
    m_resources->close();
}

template <class T, class ST>
std::shared_ptr<SubscriptionManager<T, ST>> DdsSubscriber<T, ST>::subscriptionManager() const
{
    std::lock_guard<std::mutex> lock(m_lifecycleMutex);
    return m_subscriptionManager;
}

template <class T, class ST>
std::shared_ptr<SubscriptionManager<T, ST>> DdsSubscriber<T, ST>::openManager() const
{
    this->checkState();
    std::shared_ptr<SubscriptionManager<T, ST>> manager = subscriptionManager();
    if (!manager)
    {
        internal::fail<IllegalStateException>(m_logger, "Entity closed Uri: " + this->uri().string());
    }
    return manager;
}

template <class T, class ST>
void DdsSubscriber<T, ST>::checkNotInsideCallback(const char* operation) const
{
    const auto manager = subscriptionManager();
    if (manager && manager->isDeliveringOnThisThread())
    {
        throw IllegalStateException(std::string("Cannot ") + operation +
                                    " a subscriber from inside one of its own callbacks");
    }
}

template <class T, class ST>
void DdsSubscriber<T, ST>::checkOpen(const Use& use) const
{
    if (!use)
    {
        this->failClosed();
    }
}

template <class T, class ST>
void DdsSubscriber<T, ST>::failWithUri(const char* text, internal::fastdds::ReturnCode code) const
{
    internal::failWithErrMsg<std::runtime_error>(
        m_logger, internal::withCode(text + std::string(" Uri:") + this->uri().string(), code));
}

template <class T, class ST>
bool DdsSubscriber<T, ST>::take(const Use& use, Samples& samples, Infos& infos, int32_t maxSamples, const char* failure,
                                const eprosima::fastdds::dds::InstanceHandle_t* instance)
{
    namespace dds = eprosima::fastdds::dds;
    const internal::fastdds::ReturnCode code =
        instance != nullptr ? use.reader().take_instance(samples, infos, maxSamples, *instance, dds::ANY_SAMPLE_STATE,
                                                         dds::ANY_VIEW_STATE, dds::ANY_INSTANCE_STATE)
                            : use.reader().take(samples, infos, maxSamples, dds::ANY_SAMPLE_STATE, dds::ANY_VIEW_STATE,
                                                dds::ANY_INSTANCE_STATE);
    if (code == internal::fastdds::kNoData)
    {
        return false;
    }
    if (code != internal::fastdds::kOk)
    {
        failWithUri(failure, code);
    }
    return true;
}

template <class T, class ST>
template <class Body>
auto DdsSubscriber<T, ST>::withLoan(const Use& use, Samples& samples, Infos& infos, const char* returnFailure,
                                    Body body)
{
    // The plain form keeps its captures on the stack; the _ALL form's boost::function would allocate for four.
    BOOST_SCOPE_EXIT_TPL(this_, &use, &samples, &infos, returnFailure)
    {
        const internal::fastdds::ReturnCode code = use.reader().return_loan(samples, infos);
        if (code != internal::fastdds::kOk)
        {
            LOG4CPLUS_ERROR(this_->m_logger, "errMsg:" << internal::withCode(returnFailure, code));
        }
    }
    BOOST_SCOPE_EXIT_END
    return body();
}

template <class T, class ST>
typename DdsSubscriber<T, ST>::Samples::size_type DdsSubscriber<T, ST>::firstAccepted(const Samples& samples,
                                                                                      const Infos& infos) const
{
    typename Samples::size_type i = 0;
    while (i < samples.length() && !m_acceptance.accepts(infos[i], samples[i]))
    {
        ++i;
    }
    return i;
}

template <class T, class ST>
std::vector<std::shared_ptr<T>> DdsSubscriber<T, ST>::read(std::size_t maxSamples)
{
    this->checkState();
    const Use use(*m_resources);
    checkOpen(use);
    std::vector<std::shared_ptr<T>> result;
    Samples samples;
    Infos infos;
    if (!take(use, samples, infos, detail::sampleCount(maxSamples), "Reader take failed for dds subscriber."))
    {
        return result;
    }
    withLoan(use, samples, infos, detail::kReturnLoanFailure, [&] {
        result.reserve(static_cast<std::size_t>(samples.length()));
        for (typename Samples::size_type i = 0; i < samples.length(); ++i)
        {
            if (m_acceptance.accepts(infos[i], samples[i]))
            {
                result.push_back(createDataEntityFrom<T, ST>(samples[i]));
            }
        }
    });
    return result;
}

template <class T, class ST>
eprosima::fastdds::dds::InstanceHandle_t DdsSubscriber<T, ST>::lookupInstance(const T& instance)
{
    const ST& impl = obtainImpl<T, ST>(instance, m_logger);
    typename ST::PubSubType typeSupport;
    eprosima::fastdds::dds::InstanceHandle_t handle;
    if (!typeSupport.compute_key(impl.getDdsSample(), handle, false))
    {
        internal::failWithErrMsg<std::runtime_error>(m_logger, internal::withCode("Lookup instance key failed", -1));
    }
    return handle;
}

template <class T, class ST>
std::shared_ptr<T> DdsSubscriber<T, ST>::readInstance(const T& instance)
{
    this->checkState();
    const eprosima::fastdds::dds::InstanceHandle_t handle = lookupInstance(instance);
    if (handle == eprosima::fastdds::dds::HANDLE_NIL)
    {
        return nullptr;
    }
    const Use use(*m_resources);
    checkOpen(use);
    Samples samples;
    Infos infos;
    if (!take(use, samples, infos, 1, "Reader take failed for dds subscriber's readInstance.", &handle))
    {
        return nullptr;
    }
    return withLoan(use, samples, infos, detail::kReturnLoanFailure, [&]() -> std::shared_ptr<T> {
        const auto first = firstAccepted(samples, infos);
        return first < samples.length() ? createDataEntityFrom<T, ST>(samples[first]) : nullptr;
    });
}

template <class T, class ST>
bool DdsSubscriber<T, ST>::readInstance(const T& instance, T& out)
{
    const std::shared_ptr<T> found = readInstance(instance);
    if (!found)
    {
        return false;
    }
    out = *found;
    return true;
}

template <class T, class ST>
std::shared_ptr<LoanedDataEntity<T>> DdsSubscriber<T, ST>::loanedRead()
{
    return lend("Reader take failed for dds subscriber's loanedRead.", nullptr);
}

template <class T, class ST>
std::shared_ptr<LoanedDataEntity<T>> DdsSubscriber<T, ST>::loanedReadInstance(const T& instance)
{
    this->checkState();
    const eprosima::fastdds::dds::InstanceHandle_t handle = lookupInstance(instance);
    if (handle == eprosima::fastdds::dds::HANDLE_NIL)
    {
        return nullptr;
    }
    return lend("Reader take failed for dds subscriber's loanedReadInstance.", &handle);
}

template <class T, class ST>
std::shared_ptr<LoanedDataEntity<T>> DdsSubscriber<T, ST>::lend(
    const char* takeFailure, const eprosima::fastdds::dds::InstanceHandle_t* instance)
{
    this->checkState();
    auto loaned = std::make_shared<DdsLoanedDataEntity>(this->shared_from_this());
    const Use use(*m_resources);
    checkOpen(use);
    if (!take(use, loaned->dataSeq, loaned->infoSeq, 1, takeFailure, instance))
    {
        return nullptr;
    }
    loaned->loanReturned = false;
    const auto first = firstAccepted(loaned->dataSeq, loaned->infoSeq);
    if (first == loaned->dataSeq.length())
    {
        return nullptr;
    }
    loaned->entity.emplace(&loaned->dataSeq[first]);
    return loaned;
}

template <class T, class ST>
void DdsSubscriber<T, ST>::returnLoan(Samples& samples, Infos& infos)
{
    internal::releaseParked();
    // After close the reader lingers only for the loans still out; once it is gone there is nothing to give
    // back to.
    const internal::fastdds::ReturnCode code = m_resources->returnLoan(samples, infos);
    if (code != internal::fastdds::kOk)
    {
        failWithUri("Failed to return loan back to middle-layer.", code);
    }
}

template <class T, class ST>
std::size_t DdsSubscriber<T, ST>::appendEvents(Events& events, const DataEventFilter<T>& filter, Samples& samples,
                                               const Infos& infos, std::size_t limit)
{
    std::size_t appended = 0;
    for (typename Samples::size_type i = 0; i < samples.length() && appended < limit; ++i)
    {
        if (m_acceptance.passesReadTest(filter, infos[i], samples[i]))
        {
            events.push_back(std::make_shared<DdsDataEvent<T>>(sourceTimestampOf(infos[i]), true,
                                                               createDataEntityFrom<T, ST>(samples[i]),
                                                               filter.instanceState, InstanceEvent::UPDATED));
            ++appended;
        }
    }
    return appended;
}

template <class T, class ST>
std::size_t DdsSubscriber<T, ST>::readDataEvents(const DataEventFilter<T>& filter, Events& events,
                                                 std::size_t eventCountLimit, const std::chrono::milliseconds& timeout)
{
    this->checkState();
    if (timeout.count() < 0)
    {
        throw NimbException("Negative timeout given to readDataEvents. Uri:" + this->uri().string());
    }
    if (eventCountLimit == 0)
    {
        return timeout.count() == 0 ? readDataEventsCache(filter, events)
                                    : readDataEventsUntilTimeout(filter, events, timeout);
    }
    return timeout.count() == 0 ? readDataEventsUntilEventCountLimit(filter, events, eventCountLimit)
                                : readDataEventsUntilEventCountLimitOrTimeout(filter, events, eventCountLimit, timeout);
}

template <class T, class ST>
std::size_t DdsSubscriber<T, ST>::readDataEventsCache(const DataEventFilter<T>& filter, Events& events)
{
    const Use use(*m_resources);
    checkOpen(use);
    Samples samples;
    Infos infos;
    if (!take(use, samples, infos, eprosima::fastdds::dds::LENGTH_UNLIMITED,
              "Reader take failed for dds subscriber's readDataEventsCache."))
    {
        return 0;
    }
    return withLoan(use, samples, infos, detail::kReturnLoanFailure,
                    [&] { return appendEvents(events, filter, samples, infos); });
}

template <class T, class ST>
template <class BatchSize, class OnBatch>
void DdsSubscriber<T, ST>::waitAndTake(std::optional<Clock::time_point> deadline, bool waitForRest,
                                       const char* takeFailure, const char* returnFailure, BatchSize batchSize,
                                       OnBatch onBatch)
{
    using Wake = internal::ReaderResources::Wake;
    const Use use(*m_resources);
    checkOpen(use);
    // Declared after the use: the wait set goes back to the pool while the reader is still held.
    Waiter waiter(*m_resources);
    for (int32_t size = batchSize(); size != 0; size = batchSize())
    {
        internal::fastdds::Duration wait = detail::waitSlice();
        if (deadline && waitForRest)
        {
            const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (rest < 0)
            {
                return;
            }
            if (rest >= 100)
            {
                wait = internal::fastdds::Duration(static_cast<int32_t>(rest / 1000),
                                                   static_cast<uint32_t>(rest % 1000) * 1000000u);
            }
        }
        else if (deadline && Clock::now() >= *deadline)
        {
            return;
        }
        const Wake wake = waiter.wait(wait);
        if (wake == Wake::Closed)
        {
            return;
        }
        Samples samples;
        Infos infos;
        if (wake == Wake::Data && take(use, samples, infos, size, takeFailure))
        {
            withLoan(use, samples, infos, returnFailure, [&] { onBatch(samples, infos); });
        }
    }
}

template <class T, class ST>
std::size_t DdsSubscriber<T, ST>::readEventsUntil(const DataEventFilter<T>& filter, Events& events,
                                                  std::size_t eventCountLimit,
                                                  std::optional<Clock::time_point> deadline, const char* takeFailure)
{
    std::size_t remaining = eventCountLimit;
    waitAndTake(
        deadline, false, takeFailure, detail::kReturnLoanFailureSpaced, [&] { return static_cast<int32_t>(remaining); },
        [&](Samples& samples, const Infos& infos) {
            remaining -= appendEvents(events, filter, samples, infos, remaining);
        });
    return eventCountLimit - remaining;
}

template <class T, class ST>
std::size_t DdsSubscriber<T, ST>::readDataEventsUntilEventCountLimitOrTimeout(const DataEventFilter<T>& filter,
                                                                              Events& events,
                                                                              std::size_t eventCountLimit,
                                                                              const std::chrono::milliseconds& timeout)
{
    return readEventsUntil(filter, events, eventCountLimit, Clock::now() + timeout,
                           "Reader take failed for dds subscriber's readDataEventsUntilEventCountLimitOrTimeout.");
}

template <class T, class ST>
std::size_t DdsSubscriber<T, ST>::readDataEventsUntilEventCountLimit(const DataEventFilter<T>& filter, Events& events,
                                                                     std::size_t eventCountLimit)
{
    return readEventsUntil(filter, events, eventCountLimit, std::nullopt,
                           "Reader take failed for dds subscriber's readDataEventsUntilEventCountLimit.");
}

template <class T, class ST>
std::size_t DdsSubscriber<T, ST>::readDataEventsUntilTimeout(const DataEventFilter<T>& filter, Events& events,
                                                             const std::chrono::milliseconds& timeout)
{
    std::size_t appended = 0;
    waitAndTake(
        Clock::now() + timeout, true, "Reader take failed in readDataEventsUntilTimeout.", detail::kReturnLoanFailure,
        [] { return eprosima::fastdds::dds::LENGTH_UNLIMITED; },
        [&](Samples& samples, const Infos& infos) { appended += appendEvents(events, filter, samples, infos); });
    return appended;
}

template <class T, class ST>
std::size_t DdsSubscriber<T, ST>::poll(std::size_t maxSamples, const std::chrono::milliseconds& timeout)
{
    // A callback may drop the last other owner of this subscriber: it then goes when poll has returned.
    const std::shared_ptr<DdsSubscriber> self = this->weak_from_this().lock();
    const std::shared_ptr<SubscriptionManager<T, ST>> manager = openManager();
    if (timeout.count() < 0)
    {
        throw NimbException("Negative timeout given to poll. Uri:" + this->uri().string());
    }
    if (internal::insideCallback())
    {
        // Its delivery would wait for syncMutex, which a poll on another thread may hold while its callback
        // waits for the reader lock Fast DDS holds through this thread's listener call, or for this thread.
        throw IllegalStateException("Cannot poll from inside a subscription callback");
    }
    const Clock::time_point deadline = Clock::now() + timeout;
    std::size_t total = 0;
    if (timeout.count() == 0)
    {
        return total;  // its deadline has passed before the first wait
    }
    waitAndTake(
        deadline, false, "Reader take failed in poll.", detail::kReturnLoanFailure,
        [&] { return detail::sampleCount(maxSamples); },
        [&](Samples& samples, Infos& infos) {
            manager->deliverToSyncSubscriptions(samples, infos);
            total += static_cast<std::size_t>(samples.length());
        });
    return total;
}

template <class T, class ST>
std::unique_ptr<Subscription> DdsSubscriber<T, ST>::subscribe(
    const DataEventFilter<T>& filter, std::function<void(Subscriber<T>&, const DataEvent<T>&)> callback)
{
    return openManager()->subscribe(filter, callback, this->shared_from_this());
}

template <class T, class ST>
std::unique_ptr<Subscription> DdsSubscriber<T, ST>::subscribeAsync(
    const DataEventFilter<T>& filter, std::function<void(Subscriber<T>&, const DataEvent<T>&)> callback)
{
    return openManager()->subscribeAsync(filter, callback, this->shared_from_this());
}

template <class T, class ST>
std::unique_ptr<Subscription> DdsSubscriber<T, ST>::subscribeAsync(const DataEventFilter<T>& filter,
                                                                   std::function<void(Subscriber<T>&)> notifier)
{
    return openManager()->subscribeAsyncWithNotifier(filter, notifier, this->shared_from_this());
}

}  // namespace qara::nimb::ps
