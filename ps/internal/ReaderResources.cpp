#include "ps/internal/ReaderResources.hpp"

#include <stdexcept>
#include <utility>

namespace qara::nimb::ps::internal {

namespace dds = eprosima::fastdds::dds;

struct ReaderResources::PooledWaitSet
{
    dds::WaitSet waitSet;
    // Kept with its wait set, so that a wait allocates nothing once the set has been used.
    dds::ConditionSeq active;
};

ReaderResources::ReaderResources(std::shared_ptr<dds::Topic> topic, std::shared_ptr<dds::Subscriber> subscriber,
                                 log4cplus::Logger logger, std::string uri)
    : m_logger(std::move(logger)), m_uri(std::move(uri)), m_topic(std::move(topic)), m_subscriber(std::move(subscriber))
{
}

ReaderResources::~ReaderResources()
{
    release();
}

void ReaderResources::adopt(dds::DataReader* reader, std::unique_ptr<dds::DataReaderListener> listener)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reader = reader;
    m_listener = std::move(listener);
}

ReaderResources::Use::Use(ReaderResources& resources) : m_resources(resources)
{
    // Counted before closing is looked at, and close() sets closing before it counts: either this use sees
    // the close, or the close sees this use and leaves the reader to it.
    m_resources.m_users.fetch_add(1);
    if (!m_resources.m_closing.load())
    {
        m_reader = m_resources.m_reader;
    }
}

ReaderResources::Use::~Use()
{
    if (m_resources.m_users.fetch_sub(1) == 1 && m_resources.m_closing.load())
    {
        m_resources.releaseIfUnused();
    }
}

ReaderResources::Waiter::Waiter(ReaderResources& resources) : m_resources(resources)
{
    // Inside a use, so nothing is released meanwhile.
    dds::ReadCondition* condition = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_resources.m_mutex);
        condition = m_resources.m_condition;
        if (condition != nullptr && !m_resources.m_idleSets.empty())
        {
            m_set = std::move(m_resources.m_idleSets.back());
            m_resources.m_idleSets.pop_back();
            return;
        }
    }
    if (condition == nullptr)
    {
        // Any sample state: samples a notifier has read are still to be taken here, and every batch takes
        // what it saw, so the condition cannot stay raised by samples nobody will take.
        dds::ReadCondition* made = m_resources.m_reader->create_readcondition(
            dds::ANY_SAMPLE_STATE, dds::ANY_VIEW_STATE, dds::ALIVE_INSTANCE_STATE);
        if (made == nullptr)
        {
            fail<std::runtime_error>(m_resources.m_logger, "Failed to create a read condition");
        }
        {
            std::lock_guard<std::mutex> lock(m_resources.m_mutex);
            if (m_resources.m_condition == nullptr)
            {
                m_resources.m_condition = std::exchange(made, nullptr);
            }
            condition = m_resources.m_condition;
        }
        if (made != nullptr)
        {
            m_resources.m_reader->delete_readcondition(made);  // another waiter made one first
        }
    }
    auto set = std::make_unique<PooledWaitSet>();
    set->active.reserve(2);
    for (dds::Condition* attached :
         {static_cast<dds::Condition*>(condition), static_cast<dds::Condition*>(&m_resources.m_closed)})
    {
        const fastdds::ReturnCode code = set->waitSet.attach_condition(*attached);
        if (code != fastdds::kOk)
        {
            m_resources.failWithUri("Failed to attach a condition to a waitset.", code);
        }
    }
    m_set = std::move(set);
    std::lock_guard<std::mutex> lock(m_resources.m_mutex);
    // Room for every set made so far, so that giving one back never allocates.
    m_resources.m_idleSets.reserve(m_resources.m_idleSets.capacity() + 1);
}

ReaderResources::Waiter::~Waiter()
{
    std::lock_guard<std::mutex> lock(m_resources.m_mutex);
    m_resources.m_idleSets.push_back(std::move(m_set));
}

ReaderResources::Wake ReaderResources::Waiter::wait(const fastdds::Duration& timeout)
{
    if (m_resources.m_closing.load())
    {
        return Wake::Closed;
    }
    m_set->active.clear();
    const fastdds::ReturnCode code = m_set->waitSet.wait(m_set->active, timeout);
    if (m_resources.m_closing.load())
    {
        return Wake::Closed;
    }
    if (code == fastdds::kTimeout || (code == fastdds::kOk && m_set->active.empty()))
    {
        return Wake::Timeout;
    }
    if (code != fastdds::kOk)
    {
        m_resources.failWithUri("Wait set wait error.", code);
    }
    return Wake::Data;
}

fastdds::ReturnCode ReaderResources::returnLoan(dds::LoanableCollection& samples, dds::SampleInfoSeq& infos)
{
    dds::DataReader* reader = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        reader = m_reader;
    }
    // The reader cannot go meanwhile: Fast DDS refuses to delete it while this loan is out.
    const fastdds::ReturnCode code = reader != nullptr ? reader->return_loan(samples, infos) : fastdds::kOk;
    if (m_closing.load())
    {
        releaseIfUnused();
    }
    return code;
}

void ReaderResources::close()
{
    if (m_closing.exchange(true))
    {
        return;
    }
    m_closed.set_trigger_value(true);
    releaseIfUnused();
}

void ReaderResources::releaseIfUnused()
{
    if (m_users.load() != 0)
    {
        return;
    }
    if (insideListenerCallback())
    {
        park(shared_from_this());
        return;
    }
    release();
}

void ReaderResources::releaseParked()
{
    releaseIfUnused();
}

void ReaderResources::release()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_releasing)
    {
        m_releaseAgain = true;
        return;
    }
    m_releasing = true;
    do
    {
        m_releaseAgain = false;
        // The waits have ended: every wait set is back in the pool.
        std::vector<std::unique_ptr<PooledWaitSet>> sets = std::move(m_idleSets);
        dds::ReadCondition* condition = std::exchange(m_condition, nullptr);
        dds::DataReader* reader = m_reader;
        lock.unlock();
        for (const auto& set : sets)
        {
            set->waitSet.detach_condition(m_closed);
            set->waitSet.detach_condition(*condition);
        }
        sets.clear();
        if (condition != nullptr)
        {
            const fastdds::ReturnCode code = reader->delete_readcondition(condition);
            if (code != fastdds::kOk)
            {
                LOG4CPLUS_ERROR(m_logger, withCode("Delete read condition failed", code));
            }
        }
        const fastdds::ReturnCode deleted = reader != nullptr ? m_subscriber->delete_datareader(reader) : fastdds::kOk;
        // Refused while loans are out: the last one to come back releases the reader.
        if (deleted != fastdds::kOk && !(deleted == fastdds::kPreconditionNotMet && m_closing.load()))
        {
            LOG4CPLUS_ERROR(m_logger, withCode("Failed to delete a DDS data reader for dds subscriber", deleted));
        }
        lock.lock();
        if (deleted == fastdds::kOk)
        {
            m_reader = nullptr;
            auto listener = std::move(m_listener);
            auto subscriber = std::move(m_subscriber);
            auto topic = std::move(m_topic);
            lock.unlock();
            listener.reset();
            subscriber.reset();
            topic.reset();
            lock.lock();
        }
    } while (m_releaseAgain && m_reader != nullptr);
    m_releasing = false;
}

void ReaderResources::failWithUri(const char* text, fastdds::ReturnCode code) const
{
    failWithErrMsg<std::runtime_error>(m_logger, withCode(text + std::string(" Uri:") + m_uri, code));
}

}  // namespace qara::nimb::ps::internal
