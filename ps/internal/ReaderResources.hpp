#pragma once

#include <fastdds/dds/subscriber/DataReader.hpp>
#include <fastdds/dds/subscriber/DataReaderListener.hpp>
#include <fastdds/dds/subscriber/Subscriber.hpp>
#include <fastdds/dds/topic/Topic.hpp>
#include <log4cplus/logger.h>

#include <memory>
#include <mutex>

namespace qara::nimb::ps::internal {

// The DDS entities behind one subscriber's reader. Fast DDS refuses to delete a reader while loans are out;
// the reader then lingers, and with it its listener (Fast DDS may still be calling it), its DDS subscriber
// and its topic, until the last loan has come back and release() is asked again.
class ReaderResources
{
public:
    ReaderResources(std::shared_ptr<eprosima::fastdds::dds::Topic> topic,
                    std::shared_ptr<eprosima::fastdds::dds::Subscriber> subscriber, log4cplus::Logger logger);
    // Releases what is still held; a refusal is logged.
    ~ReaderResources();

    ReaderResources(const ReaderResources&) = delete;
    ReaderResources& operator=(const ReaderResources&) = delete;

    void adopt(eprosima::fastdds::dds::DataReader* reader,
               std::unique_ptr<eprosima::fastdds::dds::DataReaderListener> listener);
    // Null once the reader is deleted.
    eprosima::fastdds::dds::DataReader* reader() const;
    // Deletes the reader, then lets go of the rest. False while loans keep the reader (not an error).
    bool release();

private:
    bool releaseLocked(bool loansMayBeOut);

    // Guards the reader pointer against a loan coming back on one thread while another closes.
    mutable std::mutex m_mutex;
    log4cplus::Logger m_logger;
    std::shared_ptr<eprosima::fastdds::dds::Topic> m_topic;
    std::shared_ptr<eprosima::fastdds::dds::Subscriber> m_subscriber;
    std::unique_ptr<eprosima::fastdds::dds::DataReaderListener> m_listener;
    eprosima::fastdds::dds::DataReader* m_reader = nullptr;
};

}  // namespace qara::nimb::ps::internal
