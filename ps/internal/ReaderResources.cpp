#include "ps/internal/ReaderResources.hpp"

#include "ps/internal/Failure.hpp"

namespace qara::nimb::ps::internal {

ReaderResources::ReaderResources(std::shared_ptr<eprosima::fastdds::dds::Topic> topic,
                                 std::shared_ptr<eprosima::fastdds::dds::Subscriber> subscriber,
                                 log4cplus::Logger logger)
    : m_logger(std::move(logger)), m_topic(std::move(topic)), m_subscriber(std::move(subscriber))
{
}

ReaderResources::~ReaderResources()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    releaseLocked(false);
}

void ReaderResources::adopt(eprosima::fastdds::dds::DataReader* reader,
                            std::unique_ptr<eprosima::fastdds::dds::DataReaderListener> listener)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reader = reader;
    m_listener = std::move(listener);
}

eprosima::fastdds::dds::DataReader* ReaderResources::reader() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reader;
}

bool ReaderResources::release()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return releaseLocked(true);
}

bool ReaderResources::releaseLocked(bool loansMayBeOut)
{
    if (m_reader != nullptr)
    {
        const fastdds::ReturnCode code = m_subscriber->delete_datareader(m_reader);
        if (code == fastdds::kPreconditionNotMet && loansMayBeOut)
        {
            return false;
        }
        if (code != fastdds::kOk)
        {
            LOG4CPLUS_ERROR(m_logger, withCode("Failed to delete a DDS data reader for dds subscriber", code));
            return false;
        }
        m_reader = nullptr;
    }
    m_listener.reset();
    m_subscriber.reset();
    m_topic.reset();
    return true;
}

}  // namespace qara::nimb::ps::internal
