#pragma once

#include "ps/internal/DdsBasePubSub.hpp"

#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <fastdds/dds/publisher/qos/DataWriterQos.hpp>
#include <fastdds/dds/subscriber/qos/DataReaderQos.hpp>

#include <stdexcept>

namespace qara::nimb::ps::internal {

// Writer QoS used when no XML profile library is configured: keep every sample, within generous limits.
inline eprosima::fastdds::dds::DataWriterQos codeWriterQos(int32_t deadlineMs)
{
    eprosima::fastdds::dds::DataWriterQos qos;
    if (deadlineMs > 0)
    {
        qos.deadline().period = ddsDeadlinePeriod(deadlineMs);
    }
    qos.history().kind = eprosima::fastdds::dds::KEEP_ALL_HISTORY_QOS;
    qos.history().depth = 1000;
    qos.resource_limits().max_samples = 40000;
    qos.resource_limits().max_instances = 100;
    qos.endpoint().history_memory_policy = eprosima::fastdds::rtps::DYNAMIC_RESERVE_MEMORY_MODE;
    return qos;
}

// Accepts writers of either CDR version: a reader with an empty list would match XCDR1 writers only.
inline void acceptEveryCdrVersion(eprosima::fastdds::dds::DataReaderQos& qos)
{
    qos.representation().m_value = {eprosima::fastdds::dds::XCDR_DATA_REPRESENTATION,
                                    eprosima::fastdds::dds::XCDR2_DATA_REPRESENTATION};
}

// Reader QoS used when no XML profile library is configured: keep every sample, within generous limits.
inline eprosima::fastdds::dds::DataReaderQos codeReaderQos(int32_t deadlineMs)
{
    eprosima::fastdds::dds::DataReaderQos qos;
    qos.history().kind = eprosima::fastdds::dds::KEEP_ALL_HISTORY_QOS;
    qos.history().depth = 1000;
    qos.resource_limits().max_samples = 40000;
    qos.resource_limits().max_instances = 100;
    qos.endpoint().history_memory_policy = eprosima::fastdds::rtps::DYNAMIC_REUSABLE_MEMORY_MODE;
    if (deadlineMs > 0)
    {
        qos.deadline().period = ddsDeadlinePeriod(deadlineMs);
    }
    acceptEveryCdrVersion(qos);
    return qos;
}

// A writer from the profile library's data-writer profile, or with the code QoS when there is no library.
template <class Base>
eprosima::fastdds::dds::DataWriter* createWriter(const Base& base, eprosima::fastdds::dds::Publisher& publisher,
                                                 eprosima::fastdds::dds::Topic* topic, const log4cplus::Logger& logger)
{
    if (base.getQosLibraryName() != nullptr)
    {
        const std::string profile = base.profileName(ProfileType::DataWriter);
        auto* writer = publisher.create_datawriter_with_profile(topic, profile, nullptr,
                                                                eprosima::fastdds::dds::StatusMask::all());
        if (writer == nullptr)
        {
            fail<std::runtime_error>(logger, "Failed to create writer with profile:" + profile);
        }
        return writer;
    }
    auto* writer = publisher.create_datawriter(topic, codeWriterQos(base.deadline()), nullptr,
                                               eprosima::fastdds::dds::StatusMask::all());
    if (writer == nullptr)
    {
        fail<std::runtime_error>(logger, "Failed to create writer");
    }
    return writer;
}

}  // namespace qara::nimb::ps::internal
