#pragma once

#include "icd/qos/CodeQos.hpp"
#include "ps/internal/DdsBasePubSub.hpp"

#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>

#include <stdexcept>

namespace qara::nimb::ps::internal {

// The code QoS (used when no XML profile library is configured) with the deadline of the QoS list.
template <class Qos>
Qos withDeadline(Qos qos, int32_t deadlineMs)
{
    if (deadlineMs > 0)
    {
        qos.deadline().period = ddsDeadlinePeriod(deadlineMs);
    }
    return qos;
}

inline eprosima::fastdds::dds::DataWriterQos codeWriterQos(int32_t deadlineMs)
{
    return withDeadline(icd::qos::codeWriterQos(), deadlineMs);
}

inline eprosima::fastdds::dds::DataReaderQos codeReaderQos(int32_t deadlineMs)
{
    return withDeadline(icd::qos::codeReaderQos(), deadlineMs);
}

using icd::qos::acceptEveryCdrVersion;

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
