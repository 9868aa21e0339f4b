#pragma once

#include "ps/DataEntityCreation.hpp"
#include "ps/internal/EntityHolders.hpp"
#include "ps/internal/EntityQos.hpp"

#include <qara/nimb/Exceptions.hpp>

#include <stdexcept>

namespace qara::nimb::ps {

template <class T, class ST>
InstanceDdsPublisher<T, ST>::InstanceDdsPublisher(std::shared_ptr<DdsPublisher<T, ST>> parent, long waitForAckTimeout,
                                                  const T& instance)
    : m_logger(log4cplus::Logger::getInstance("nimbDdsInstancePublisher")),
      m_parent(std::move(parent)),
      m_closed(false),
      m_waitForAckTimeout(waitForAckTimeout)
{
    createDdsEntities(instance);
}

template <class T, class ST>
void InstanceDdsPublisher<T, ST>::createDdsEntities(const T& instance)
{
    m_topic = m_parent->acquireTopic("Failed to delete topic for dds publisher", m_logger);
    m_ddsPublisher = internal::holdPublisher(m_parent->createPublisher(), m_parent->participant(), m_waitForAckTimeout,
                                             m_logger, "Instance publisher waiting for acknowledgment failed");
    m_writer = internal::holdWriter(internal::createWriter(*m_parent, *m_ddsPublisher, m_topic.get(), m_logger),
                                    m_ddsPublisher, m_waitForAckTimeout, m_logger,
                                    "Instance writer waiting for acknowledgment failed");
    // Registered by its key alone: get_key_value hands back the registered sample whole.
    const std::unique_ptr<T> key = obtainImpl<T, ST>(instance, m_logger).cloneKey();
    m_handle = m_writer->register_instance(static_cast<const ST&>(*key).getDdsSample());
    if (m_handle == eprosima::fastdds::dds::HANDLE_NIL)
    {
        internal::fail<IllegalStateException>(m_logger, "Key instance not created");
    }
}

template <class T, class ST>
InstanceDdsPublisher<T, ST>::~InstanceDdsPublisher()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_closed)
        {
            release();
        }
    }
    m_parent->removeInstancePublisher(this);
}

template <class T, class ST>
void InstanceDdsPublisher<T, ST>::checkState() const
{
    internal::releaseParked();
    if (m_closed)
    {
        internal::fail<IllegalStateException>(m_logger, "InstancePublisher already closed");
    }
}

template <class T, class ST>
std::shared_ptr<T> InstanceDdsPublisher<T, ST>::createDataEntity()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    checkState();
    std::shared_ptr<T> entity = createDataEntityInternal<T, ST>();
    const internal::fastdds::ReturnCode code =
        m_writer->get_key_value(static_cast<ST&>(*entity).getDdsSample(), m_handle);
    if (code != internal::fastdds::kOk)
    {
        internal::failWithErrMsg<std::runtime_error>(m_logger, internal::withCode("Getting instance key failed", code));
    }
    return entity;
}

template <class T, class ST>
std::shared_ptr<Nimb> InstanceDdsPublisher<T, ST>::getNimb() const
{
    return m_parent->getNimb();
}

template <class T, class ST>
template <class Write>
void InstanceDdsPublisher<T, ST>::publishLocked(const T& data, const std::chrono::milliseconds& timeout, Write write)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    checkState();
    if (timeout.count() < 0)
    {
        throw NimbException("Negative timeout given to publish instance");
    }
    const internal::fastdds::ReturnCode code = write(obtainImpl<T, ST>(data, m_logger).getDdsSample());
    if (code != internal::fastdds::kOk)
    {
        internal::failWithErrMsg<IllegalStateException>(m_logger, internal::withCode("Publish failed", code));
    }
}

template <class T, class ST>
void InstanceDdsPublisher<T, ST>::publish(const T& data, const std::chrono::milliseconds& timeout)
{
    publishLocked(data, timeout, [this](typename ST::DdsType* sample) { return m_writer->write(sample, m_handle); });
}

template <class T, class ST>
void InstanceDdsPublisher<T, ST>::publish(double timestamp, const T& data, const std::chrono::milliseconds& timeout)
{
    publishLocked(data, timeout, [this, timestamp](typename ST::DdsType* sample) {
        return m_writer->write_w_timestamp(sample, m_handle, sourceTimeOf(timestamp));
    });
}

template <class T, class ST>
void InstanceDdsPublisher<T, ST>::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_closed)
    {
        release();
    }
}

template <class T, class ST>
void InstanceDdsPublisher<T, ST>::release()
{
    m_writer.reset();
    m_topic.reset();
    m_closed = true;
}

}  // namespace qara::nimb::ps
