#pragma once

#include "ps/internal/Failure.hpp"

#include <fastdds/dds/domain/DomainParticipant.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/publisher/Publisher.hpp>
#include <log4cplus/logger.h>

#include <memory>

// Shared pointers whose deleters remove a writer or DDS publisher from the entity that made it. Fast DDS
// deletes a writer without waiting for acknowledgements, so the deleters wait first; the last samples
// would be lost otherwise. A deleter only logs, it never throws.
namespace qara::nimb::ps::internal {

template <class Entity>
void awaitAcknowledgements(Entity& entity, long timeoutMs, const log4cplus::Logger& logger, const char* failure)
{
    if (timeoutMs <= 0)
    {
        return;
    }
    const fastdds::ReturnCode code = entity.wait_for_acknowledgments(fastdds::Duration(timeoutMs / 1000.0L));
    if (code != fastdds::kOk)
    {
        LOG4CPLUS_WARN(logger, withCode(failure, code));
    }
}

// `publisher` is the owner's member, read when the writer is released: the DDS publisher held then.
inline std::shared_ptr<eprosima::fastdds::dds::DataWriter> holdWriter(
    eprosima::fastdds::dds::DataWriter* writer, const std::shared_ptr<eprosima::fastdds::dds::Publisher>& publisher,
    long waitForAckTimeout, const log4cplus::Logger& logger, const char* waitFailure)
{
    return std::shared_ptr<eprosima::fastdds::dds::DataWriter>(
        writer, [&publisher, waitForAckTimeout, logger, waitFailure](eprosima::fastdds::dds::DataWriter* w) {
            awaitAcknowledgements(*w, waitForAckTimeout, logger, waitFailure);
            const fastdds::ReturnCode code = publisher->delete_datawriter(w);
            if (code != fastdds::kOk)
            {
                LOG4CPLUS_ERROR(logger, withCode("Failed to delete data writer", code));
            }
        });
}

inline std::shared_ptr<eprosima::fastdds::dds::Publisher> holdPublisher(
    eprosima::fastdds::dds::Publisher* publisher,
    std::shared_ptr<eprosima::fastdds::dds::DomainParticipant> participant, long waitForAckTimeout,
    const log4cplus::Logger& logger, const char* waitFailure)
{
    return std::shared_ptr<eprosima::fastdds::dds::Publisher>(
        publisher, [participant = std::move(participant), waitForAckTimeout, logger,
                    waitFailure](eprosima::fastdds::dds::Publisher* p) {
            awaitAcknowledgements(*p, waitForAckTimeout, logger, waitFailure);
            const fastdds::ReturnCode code = participant->delete_publisher(p);
            if (code != fastdds::kOk)
            {
                LOG4CPLUS_ERROR(logger, withCode("Failed to delete publisher", code));
            }
        });
}

}  // namespace qara::nimb::ps::internal
