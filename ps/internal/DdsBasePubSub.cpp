#include "ps/internal/DdsBasePubSub.hpp"

#include <map>

namespace qara::nimb::ps::internal {

namespace {

std::map<const eprosima::fastdds::dds::Topic*, std::size_t>& topicHolders()
{
    static std::map<const eprosima::fastdds::dds::Topic*, std::size_t> holders;
    return holders;
}

}  // namespace

std::mutex& topicMutex()
{
    static std::mutex mutex;
    return mutex;
}

bool holdTopicLocked(const eprosima::fastdds::dds::Topic* topic, bool created)
{
    auto& holders = topicHolders();
    if (created)
    {
        holders[topic] = 1;
        return true;
    }
    const auto found = holders.find(topic);
    if (found == holders.end())
    {
        return false;
    }
    ++found->second;
    return true;
}

bool releaseTopicLocked(const eprosima::fastdds::dds::Topic* topic)
{
    auto& holders = topicHolders();
    const auto found = holders.find(topic);
    if (found == holders.end() || --found->second != 0)
    {
        return false;
    }
    holders.erase(found);
    return true;
}

bool qosExceeded(int32_t deadlineMs, int32_t latencyMs, int64_t sourceSeconds, int64_t sourceNanos,
                 std::chrono::nanoseconds now)
{
    const auto nowSeconds = std::chrono::duration_cast<std::chrono::seconds>(now);
    const int64_t nowNanos = (now - nowSeconds).count();
    if (latencyMs > 0)
    {
        const int64_t nowMs = static_cast<int64_t>(nowSeconds.count()) * 1000 + nowNanos / 1000000;
        const int64_t sourceMs = sourceSeconds * 1000 + sourceNanos / 1000000;
        if (latencyMs < nowMs - sourceMs)
        {
            return true;
        }
    }
    if (deadlineMs > 0)
    {
        int64_t limitSeconds = sourceSeconds + deadlineMs / 1000;
        int64_t limitNanos = sourceNanos + static_cast<int64_t>(deadlineMs % 1000) * 1000000;
        limitSeconds += limitNanos / 1000000000;
        limitNanos %= 1000000000;
        const int64_t nowSecondsCount = nowSeconds.count();
        return nowSecondsCount > limitSeconds || (nowSecondsCount == limitSeconds && nowNanos >= limitNanos);
    }
    return false;
}

fastdds::Duration ddsDeadlinePeriod(int32_t deadlineMs)
{
    return fastdds::Duration(deadlineMs / 1000, static_cast<uint32_t>(deadlineMs % 1000));
}

}  // namespace qara::nimb::ps::internal
