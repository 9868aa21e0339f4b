#pragma once

#include "ps/internal/Failure.hpp"
#include "ps/internal/Reentry.hpp"

#include <fastdds/dds/core/LoanableCollection.hpp>
#include <fastdds/dds/core/condition/GuardCondition.hpp>
#include <fastdds/dds/core/condition/WaitSet.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/ReadCondition.hpp>
#include <fastdds/dds/subscriber/SampleInfo.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <log4cplus/logger.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qara::nimb::ps::internal {

// The DDS entities behind one subscriber's reader, and who is using them. Every read, wait and delivery
// holds a Use; close() turns new uses away and wakes the waiting ones. The entities are deleted once nobody
// needs them: by the last use to end, by the last loan to come back (Fast DDS refuses to delete a reader
// with loans out), or, where that happens inside a listener call, by the next call into the library.
class ReaderResources : public Parked, public std::enable_shared_from_this<ReaderResources>
{
    struct PooledWaitSet;

public:
    ReaderResources(std::shared_ptr<eprosima::fastdds::dds::Topic> topic,
                    std::shared_ptr<eprosima::fastdds::dds::Subscriber> subscriber, log4cplus::Logger logger,
                    std::string uri);
    // Releases what is still held; a refusal is logged.
    ~ReaderResources() override;

    ReaderResources(const ReaderResources&) = delete;
    ReaderResources& operator=(const ReaderResources&) = delete;

    void adopt(eprosima::fastdds::dds::DataReader* reader,
               std::unique_ptr<eprosima::fastdds::dds::DataReaderListener> listener);

    // The reader for as long as it lives; false once closing.
    class Use
    {
    public:
        explicit Use(ReaderResources& resources);
        ~Use();
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        explicit operator bool() const { return m_reader != nullptr; }
        eprosima::fastdds::dds::DataReader& reader() const { return *m_reader; }

    private:
        ReaderResources& m_resources;
        eprosima::fastdds::dds::DataReader* m_reader = nullptr;
    };

    enum class Wake
    {
        Timeout,
        Data,
        Closed
    };

    // A wait set over the reader's read condition and the close guard, taken from a pool for one waiting
    // thread; both are made at the first wait and kept until the reader goes. Only inside a Use.
    class Waiter
    {
    public:
        explicit Waiter(ReaderResources& resources);
        ~Waiter();
        Waiter(const Waiter&) = delete;
        Waiter& operator=(const Waiter&) = delete;

        // Waits until a sample of an alive instance is in the reader, read before or not, or until close.
        Wake wait(const fastdds::Duration& timeout);

    private:
        ReaderResources& m_resources;
        std::unique_ptr<PooledWaitSet> m_set;
    };

    // Gives a loan back, unless the reader is already gone (then there is nothing to give back to).
    fastdds::ReturnCode returnLoan(eprosima::fastdds::dds::LoanableCollection& samples,
                                   eprosima::fastdds::dds::SampleInfoSeq& infos);
    // Stops new uses and wakes the waiting ones; the entities go now or when the last user lets go.
    void close();
    void releaseParked() override;
    // Uses in progress (waits among them), for tests that must act while one is under way.
    int users() const { return m_users.load(); }

private:
    void releaseIfUnused();
    // Deletes what is still held, outside the lock; one thread at a time, again if asked meanwhile.
    void release();
    [[noreturn]] void failWithUri(const char* text, fastdds::ReturnCode code) const;

    log4cplus::Logger m_logger;
    std::string m_uri;
    std::atomic<int> m_users{0};
    std::atomic<bool> m_closing{false};
    eprosima::fastdds::dds::GuardCondition m_closed;
    // Guards everything below. A leaf lock: no DDS call is made under it, since Fast DDS holds its reader's
    // own lock while it calls the listener, whose callbacks may read, wait and return loans.
    mutable std::mutex m_mutex;
    bool m_releasing = false;
    bool m_releaseAgain = false;
    std::shared_ptr<eprosima::fastdds::dds::Topic> m_topic;
    std::shared_ptr<eprosima::fastdds::dds::Subscriber> m_subscriber;
    std::unique_ptr<eprosima::fastdds::dds::DataReaderListener> m_listener;
    eprosima::fastdds::dds::DataReader* m_reader = nullptr;
    eprosima::fastdds::dds::ReadCondition* m_condition = nullptr;
    std::vector<std::unique_ptr<PooledWaitSet>> m_idleSets;
};

}  // namespace qara::nimb::ps::internal
