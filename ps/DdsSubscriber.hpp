#pragma once

#include "ps/SubscriptionManager.hpp"
#include "ps/internal/DdsBasePubSub.hpp"
#include "ps/internal/ReaderResources.hpp"

#include <qara/nimb/ps/LoanedDataEntity.hpp>
#include <qara/nimb/ps/Subscriber.hpp>

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <log4cplus/logger.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

namespace qara::nimb::ps {

// Reads one topic through its own DDS subscriber and reader: by copy, by loan, as data events, and by
// polling for synchronous subscriptions. Always made with make_shared: loans and subscription handles
// keep it alive. Every read, wait and delivery holds a use of the reader (ReaderResources), which close()
// ends for the waits and which keeps the reader until the last of them returns.
template <class T, class ST>
class DdsSubscriber : public Subscriber<T>,
                      public std::enable_shared_from_this<DdsSubscriber<T, ST>>,
                      public internal::DdsBasePubSub<T, ST>
{
public:
    using Base = internal::DdsBasePubSub<T, ST>;
    using DdsType = typename ST::DdsType;
    using Samples = eprosima::fastdds::dds::LoanableSequence<DdsType>;
    using Infos = eprosima::fastdds::dds::SampleInfoSeq;
    using Events = std::vector<std::shared_ptr<DataEvent<T>>>;

    // A sample lent by the reader, viewed without a copy until the loan is given back.
    class DdsLoanedDataEntity : public LoanedDataEntity<T>
    {
    public:
        explicit DdsLoanedDataEntity(std::shared_ptr<DdsSubscriber> lender);
        ~DdsLoanedDataEntity() override;

        T& getData() override { return *entity; }
        void close() override;

        Samples dataSeq;
        Infos infoSeq;
        std::shared_ptr<DdsSubscriber> owner;
        std::optional<ST> entity;
        bool loanReturned;
    };

    // A subscriber whose reader delivers to subscriptions from the start; the constructor alone leaves the
    // reader without its listener.
    static std::shared_ptr<DdsSubscriber> create(const Uri& uri, const typename Base::QoSList& qos,
                                                 const Nimb::Properties& properties,
                                                 const std::shared_ptr<typename Base::Participant>& participant);

    DdsSubscriber(const Uri& uri, const typename Base::QoSList& qos, const Nimb::Properties& properties,
                  const std::shared_ptr<typename Base::Participant>& participant);
    ~DdsSubscriber() override;

    std::shared_ptr<T> createDataEntity() override;
    void close() override;

    std::vector<std::shared_ptr<T>> read(std::size_t maxSamples) override;
    std::shared_ptr<T> readInstance(const T& instance) override;
    bool readInstance(const T& instance, T& out) override;
    std::shared_ptr<LoanedDataEntity<T>> loanedRead() override;
    std::shared_ptr<LoanedDataEntity<T>> loanedReadInstance(const T& instance) override;
    std::size_t readDataEvents(const DataEventFilter<T>& filter, Events& events, std::size_t eventCountLimit,
                               const std::chrono::milliseconds& timeout) override;
    std::unique_ptr<Subscription> subscribe(const DataEventFilter<T>& filter,
                                            std::function<void(Subscriber<T>&, const DataEvent<T>&)> callback) override;
    std::size_t poll(std::size_t maxSamples, const std::chrono::milliseconds& timeout) override;
    std::unique_ptr<Subscription> subscribeAsync(
        const DataEventFilter<T>& filter, std::function<void(Subscriber<T>&, const DataEvent<T>&)> callback) override;
    std::unique_ptr<Subscription> subscribeAsync(const DataEventFilter<T>& filter,
                                                 std::function<void(Subscriber<T>&)> notifier) override;

    eprosima::fastdds::dds::InstanceHandle_t lookupInstance(const T& instance);
    void returnLoan(Samples& samples, Infos& infos);

    std::size_t readDataEventsCache(const DataEventFilter<T>& filter, Events& events);
    std::size_t readDataEventsUntilTimeout(const DataEventFilter<T>& filter, Events& events,
                                           const std::chrono::milliseconds& timeout);
    std::size_t readDataEventsUntilEventCountLimit(const DataEventFilter<T>& filter, Events& events,
                                                   std::size_t eventCountLimit);
    std::size_t readDataEventsUntilEventCountLimitOrTimeout(const DataEventFilter<T>& filter, Events& events,
                                                            std::size_t eventCountLimit,
                                                            const std::chrono::milliseconds& timeout);

    // Null once the subscriber is closed.
    std::shared_ptr<SubscriptionManager<T, ST>> subscriptionManager() const;
    // For inspection while the subscriber is open.
    eprosima::fastdds::dds::DataReader* reader() const { return m_readerView; }
    // Reads, waits and deliveries in progress.
    int readersInside() const { return m_resources->users(); }

private:
    using Clock = std::chrono::system_clock;
    using Use = internal::ReaderResources::Use;
    using Waiter = internal::ReaderResources::Waiter;

    void createReader(std::shared_ptr<eprosima::fastdds::dds::Topic> topic);
    // The manager of an open subscriber; IllegalStateException once closed.
    std::shared_ptr<SubscriptionManager<T, ST>> openManager() const;
    // The index of the first accepted sample of a batch, or its length when there is none.
    typename Samples::size_type firstAccepted(const Samples& samples, const Infos& infos) const;
    std::shared_ptr<LoanedDataEntity<T>> lend(const char* takeFailure,
                                              const eprosima::fastdds::dds::InstanceHandle_t* instance);
    // Takes a batch; false for no data, a logged runtime_error for a failure.
    bool take(const Use& use, Samples& samples, Infos& infos, int32_t maxSamples, const char* failure,
              const eprosima::fastdds::dds::InstanceHandle_t* instance = nullptr);
    // Runs `body` and gives the loan back on every way out.
    template <class Body>
    auto withLoan(const Use& use, Samples& samples, Infos& infos, const char* returnFailure, Body body);
    // Appends an event for each sample of the batch that passes the read test, at most `limit` of them.
    std::size_t appendEvents(Events& events, const DataEventFilter<T>& filter, Samples& samples, const Infos& infos,
                             std::size_t limit = SIZE_MAX);
    // Waits for data until batchSize() says 0, the deadline passes or the subscriber closes, and hands each
    // batch taken (at most batchSize() samples) to onBatch. waitForRest: wait for the time left when it is
    // 100 ms or more, rather than in slices.
    template <class BatchSize, class OnBatch>
    void waitAndTake(std::optional<Clock::time_point> deadline, bool waitForRest, const char* takeFailure,
                     const char* returnFailure, BatchSize batchSize, OnBatch onBatch);
    std::size_t readEventsUntil(const DataEventFilter<T>& filter, Events& events, std::size_t eventCountLimit,
                                std::optional<Clock::time_point> deadline, const char* takeFailure);
    void checkOpen(const Use& use) const;
    [[noreturn]] void failWithUri(const char* text, internal::fastdds::ReturnCode code) const;
    void checkNotInsideCallback(const char* operation) const;
    void release();

    log4cplus::Logger m_logger;
    const internal::SampleAcceptance<T, ST> m_acceptance;
    // Owns the reader with its listener, DDS subscriber and topic; outlives the subscriber's close while
    // reads, deliveries or loans still use the reader.
    std::shared_ptr<internal::ReaderResources> m_resources;
    SubscriptionReaderListener<T, ST>* m_listener = nullptr;
    eprosima::fastdds::dds::DataReader* m_readerView = nullptr;
    // Guards m_subscriptionManager, which close() takes out while handles on other threads look it up.
    // A leaf lock: nothing is called while it is held.
    mutable std::mutex m_lifecycleMutex;
    std::shared_ptr<SubscriptionManager<T, ST>> m_subscriptionManager;
};

}  // namespace qara::nimb::ps

#include "ps/DdsSubscriber.inl"
