#pragma once

#include "generated/dds/DecodeFailures.hpp"
#include "ps/DataEntityCreation.hpp"
#include "ps/internal/EntityQos.hpp"

#include <qara/nimb/Exceptions.hpp>

#include <fastdds/dds/core/LoanableSequence.hpp>
#include <boost/scope_exit.hpp>

#include <stdexcept>

namespace qara::nimb::ps {

template <class T, class ST>
MrvDdsSubscriber<T, ST>::MrvDdsSubscriber(const Uri& uri, const typename Base::QoSList& qos,
                                          const Nimb::Properties& properties,
                                          const std::shared_ptr<typename Base::Participant>& participant)
    : Base(uri, qos, properties, participant), m_logger(log4cplus::Logger::getInstance("nimbDdsMrvSubscriber"))
{
    m_topic = this->acquireTopic("Failed to delete topic for Mrv dds subscriber. Uri:" + this->uri().string(), m_logger);
    m_ddsSubscriber = this->createSubscriber();
    makeReader();
    this->setState(internal::EntityState::Initialized);
}

template <class T, class ST>
MrvDdsSubscriber<T, ST>::~MrvDdsSubscriber()
{
    if (this->state() != internal::EntityState::Closed)
    {
        release();
    }
}

template <class T, class ST>
void MrvDdsSubscriber<T, ST>::makeReader()
{
    namespace dds = eprosima::fastdds::dds;
    dds::DataReaderQos qos;
    qos.history().kind = dds::KEEP_LAST_HISTORY_QOS;
    qos.history().depth = 1;
    qos.endpoint().history_memory_policy = eprosima::fastdds::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;
    internal::acceptEveryCdrVersion(qos);
    dds::DataReader* reader =
        m_ddsSubscriber->create_datareader(m_topic.get(), qos, nullptr, dds::StatusMask::all(), nullptr);
    if (reader == nullptr)
    {
        internal::fail<std::runtime_error>(
            m_logger, "Failed to create data reader for Mrv dds subscriber. Uri:" + this->uri().string());
    }
    m_reader = std::shared_ptr<dds::DataReader>(reader, [this](dds::DataReader* r) {
        const internal::fastdds::ReturnCode code = m_ddsSubscriber->delete_datareader(r);
        if (code != internal::fastdds::kOk)
        {
            LOG4CPLUS_ERROR(
                m_logger, internal::withCode(
                              "Failed to delete datareader for Mrv dds subscriber. Uri:" + this->uri().string(), code));
        }
    });
}

template <class T, class ST>
void MrvDdsSubscriber<T, ST>::close()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (this->state() == internal::EntityState::Closed)
    {
        LOG4CPLUS_DEBUG(m_logger, "MrvSubscriber already closed");
        return;
    }
    this->setState(internal::EntityState::Closed);
    m_changed.notify_all();
    // The reads woken have only their state to look at; one already reading finishes with the reader.
    m_changed.wait(lock, [this] { return m_reading == 0; });
    lock.unlock();
    release();
    internal::releaseParked();
}

template <class T, class ST>
void MrvDdsSubscriber<T, ST>::release()
{
    m_reader.reset();
    m_topic.reset();
    this->setState(internal::EntityState::Closed);
}

template <class T, class ST>
std::vector<std::shared_ptr<T>> MrvDdsSubscriber<T, ST>::readMostRecent(const std::chrono::milliseconds& timeout)
{
    namespace dds = eprosima::fastdds::dds;
    this->checkState();
    if (timeout.count() < 0)
    {
        throw NimbException("Negative timeout given to Mrv subscriber readMostRecent. Uri:" + this->uri().string());
    }
    struct Reading
    {
        explicit Reading(MrvDdsSubscriber& reader) : subscriber(reader)
        {
            std::lock_guard<std::mutex> lock(subscriber.m_mutex);
            ++subscriber.m_reading;
        }
        ~Reading()
        {
            std::lock_guard<std::mutex> lock(subscriber.m_mutex);
            --subscriber.m_reading;
            subscriber.m_changed.notify_all();
        }
        MrvDdsSubscriber& subscriber;
    } reading(*this);
    {
        // The whole delay, unless the subscriber closes meanwhile: a wait woken early waits again.
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_changed.wait_for(lock, timeout, [this] { return this->state() == internal::EntityState::Closed; }))
        {
            lock.unlock();
            this->failClosed();
        }
    }

    dds::LoanableSequence<typename ST::DdsType> samples;
    dds::SampleInfoSeq infos;
    const internal::fastdds::ReturnCode code = m_reader->read(
        samples, infos, dds::LENGTH_UNLIMITED, dds::ANY_SAMPLE_STATE, dds::ANY_VIEW_STATE, dds::ALIVE_INSTANCE_STATE);
    if (code == internal::fastdds::kNoData)
    {
        return {};
    }
    if (code != internal::fastdds::kOk)
    {
        internal::failWithErrMsg<std::runtime_error>(
            m_logger, internal::withCode("Read failed for Mrv dds subscriber. Uri:" + this->uri().string(), code));
    }
    BOOST_SCOPE_EXIT_ALL(&)
    {
        const internal::fastdds::ReturnCode returned = m_reader->return_loan(samples, infos);
        if (returned != internal::fastdds::kOk)
        {
            LOG4CPLUS_ERROR(m_logger, "errMsg:" << internal::withCode("Reader failed to return loaned data back to the "
                                                                      "middle-layer for Mrv dds subscriber",
                                                                      returned));
        }
    };
    std::vector<std::shared_ptr<T>> result;
    result.reserve(static_cast<std::size_t>(samples.length()));
    for (typename decltype(samples)::size_type i = 0; i < samples.length(); ++i)
    {
        // Only what Fast DDS could not decode is left out; validity and age are not this reader's concern.
        if (!generated::dds_::DecodeFailures::contains(&samples[i]))
        {
            result.push_back(createDataEntityFrom<T, ST>(samples[i]));
        }
    }
    return result;
}

}  // namespace qara::nimb::ps
