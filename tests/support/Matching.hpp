#pragma once

#include <fastdds/dds/core/status/PublicationMatchedStatus.hpp>
#include <fastdds/dds/core/status/SubscriptionMatchedStatus.hpp>
#include <fastdds/dds/publisher/DataWriter.hpp>
#include <fastdds/dds/subscriber/DataReader.hpp>

#include <chrono>
#include <functional>
#include <thread>

namespace tarvex_test {

// How many remote ends a reader or a writer has matched now. Each end learns of the other on its own, so a
// matched reader does not yet mean that the writer will send to it.
inline int matchedCount(eprosima::fastdds::dds::DataReader& reader)
{
    eprosima::fastdds::dds::SubscriptionMatchedStatus status;
    reader.get_subscription_matched_status(status);
    return status.current_count;
}

inline int matchedCount(eprosima::fastdds::dds::DataWriter& writer)
{
    eprosima::fastdds::dds::PublicationMatchedStatus status;
    writer.get_publication_matched_status(status);
    return status.current_count;
}

// Checks `condition` every 10 ms until it holds; false if it still does not after `limit`.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !condition();
         std::this_thread::sleep_for(std::chrono::milliseconds(10)))
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            return false;
        }
    }
    return true;
}

}  // namespace tarvex_test
