#pragma once

#include "ps/internal/DdsBasePubSub.hpp"

#include <qara/nimb/ps/MrvSubscriber.hpp>

#include <fastdds/dds/subscriber/DataReader.hpp>
#include <log4cplus/logger.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace qara::nimb::ps {

// Answers only "what are the latest values": its reader keeps the last sample of each instance, and a read
// looks at that cache (without taking) after the caller's delay.
template <class T, class ST>
class MrvDdsSubscriber : public MrvSubscriber<T>, private internal::DdsBasePubSub<T, ST>
{
public:
    using Base = internal::DdsBasePubSub<T, ST>;

    MrvDdsSubscriber(const Uri& uri, const typename Base::QoSList& qos, const Nimb::Properties& properties,
                     const std::shared_ptr<typename Base::Participant>& participant);
    ~MrvDdsSubscriber() override;

    void close() override;
    std::vector<std::shared_ptr<T>> readMostRecent(const std::chrono::milliseconds& timeout) override;

    const std::shared_ptr<eprosima::fastdds::dds::DataReader>& reader() const { return m_reader; }
    // Reads in progress, their delay included.
    int readersInside()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reading;
    }

private:
    void makeTopic();
    void makeReader();
    void release();

    log4cplus::Logger m_logger;
    // Guards m_reading and the change to the closed state; close() waits on m_changed for the reads in
    // progress, which that change wakes from their delay. A leaf lock.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_reading = 0;
    std::shared_ptr<eprosima::fastdds::dds::Topic> m_topic;
    std::shared_ptr<eprosima::fastdds::dds::Subscriber> m_ddsSubscriber;
    std::shared_ptr<eprosima::fastdds::dds::DataReader> m_reader;
};

}  // namespace qara::nimb::ps

#include "ps/MrvDdsSubscriber.inl"
