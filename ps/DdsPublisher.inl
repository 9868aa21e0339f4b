#pragma once

#include "ps/DataEntityCreation.hpp"
#include "ps/internal/EntityHolders.hpp"
#include "ps/internal/EntityQos.hpp"

#include <qara/nimb/Exceptions.hpp>
#include <qara/nimb/util/Properties.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace qara::nimb::ps {

inline internal::fastdds::Time sourceTimeOf(double timestamp)
{
    const double seconds = std::floor(timestamp);
    return internal::fastdds::Time(static_cast<int32_t>(seconds),
                                   static_cast<uint32_t>((timestamp - seconds) * 1000000000.0));
}

template <class T, class ST>
DdsPublisher<T, ST>::DdsPublisher(const Uri& uri, const typename Base::QoSList& qos, const Nimb::Properties& properties,
                                  const std::shared_ptr<typename Base::Participant>& participant,
                                  std::shared_ptr<Nimb> nimb)
    : Base(uri, qos, properties, participant),
      m_logger(log4cplus::Logger::getInstance("nimbDdsPublisher")),
      m_waitForAckTimeout(util::getLongProperty(properties, "dds.wait_for_ack.timeout_ms", 5000)),
      m_nimb(std::move(nimb))
{
    m_topic = this->acquireTopic("Failed to delete topic for dds publisher", m_logger);
    m_ddsPublisher = internal::holdPublisher(this->createPublisher(), this->participant(), m_waitForAckTimeout,
                                             m_logger, "Publisher waiting for acknowledgment failed");
    m_writer =
        internal::holdWriter(internal::createWriter(*this, *m_ddsPublisher, m_topic.get(), m_logger), m_ddsPublisher,
                             m_waitForAckTimeout, m_logger, "Writer waiting for acknowledgment failed");
    this->setState(internal::EntityState::Initialized);
    LOG4CPLUS_TRACE(m_logger, "Publisher for " << uri.string() << " created");
}

template <class T, class ST>
DdsPublisher<T, ST>::~DdsPublisher()
{
    if (this->state() != internal::EntityState::Closed)
    {
        release();
    }
}

template <class T, class ST>
std::shared_ptr<Nimb> DdsPublisher<T, ST>::getNimb() const
{
    return m_nimb;
}

template <class T, class ST>
std::unique_ptr<InstancePublisher<T>> DdsPublisher<T, ST>::createInstancePublisher(const T&)
{
    throw IllegalStateException("Not implemented");
}

template <class T, class ST>
std::vector<const DdsPublisher<T, ST>*>& DdsPublisher<T, ST>::writingOnThisThread()
{
    thread_local std::vector<const DdsPublisher*> writing;
    return writing;
}

template <class T, class ST>
void DdsPublisher<T, ST>::publish(const T& data, const std::chrono::milliseconds& timeout)
{
    const ST& impl = checkPublish(data, timeout);
    write([&] { return m_writer->write(impl.getDdsSample(), eprosima::fastdds::dds::HANDLE_NIL); });
}

template <class T, class ST>
void DdsPublisher<T, ST>::publish(double timestamp, const T& data, const std::chrono::milliseconds& timeout)
{
    const ST& impl = checkPublish(data, timeout);
    write([&] {
        return m_writer->write_w_timestamp(impl.getDdsSample(), eprosima::fastdds::dds::HANDLE_NIL,
                                           sourceTimeOf(timestamp));
    });
}

template <class T, class ST>
template <class Write>
void DdsPublisher<T, ST>::write(Write write)
{
    auto& writing = writingOnThisThread();
    writing.push_back(this);
    const internal::fastdds::ReturnCode code = write();
    writing.pop_back();
    if (m_closedWhileWriting && std::find(writing.begin(), writing.end(), this) == writing.end())
    {
        release();
    }
    // A reader in this process is handed the sample inside the write, and a callback may have dropped it.
    internal::releaseParked();
    if (code != internal::fastdds::kOk)
    {
        internal::failWithErrMsg<std::runtime_error>(
            m_logger, internal::withCode("Writer failed to write for dds publisher Uri:" + this->uri().string(), code));
    }
}

template <class T, class ST>
const ST& DdsPublisher<T, ST>::checkPublish(const T& data, const std::chrono::milliseconds& timeout)
{
    this->checkState();
    if (timeout.count() < 0)
    {
        throw NimbException("Negative timeout given to publish Uri:" + this->uri().string());
    }
    return obtainImpl<T, ST>(data, m_logger);
}

template <class T, class ST>
std::shared_ptr<T> DdsPublisher<T, ST>::createDataEntity()
{
    this->checkState();
    return createDataEntityInternal<T, ST>();
}

template <class T, class ST>
void DdsPublisher<T, ST>::close()
{
    if (this->state() == internal::EntityState::Closed)
    {
        return;
    }
    const auto& writing = writingOnThisThread();
    if (std::find(writing.begin(), writing.end(), this) != writing.end())
    {
        // Inside a callback of this publisher's own write: the writer is still in use further up.
        this->closeInstancePublishers();
        this->setState(internal::EntityState::Closed);
        m_closedWhileWriting = true;
        return;
    }
    release();
    internal::releaseParked();
}

template <class T, class ST>
void DdsPublisher<T, ST>::release()
{
    this->closeInstancePublishers();
    m_writer.reset();
    m_topic.reset();
    this->setState(internal::EntityState::Closed);
}

}  // namespace qara::nimb::ps
