#include "ps/internal/DdsBasePubSub.hpp"

namespace qara::nimb::ps::internal {

std::mutex& topicMutex()
{
    static std::mutex mutex;
    return mutex;
}

fastdds::Duration ddsDeadlinePeriod(int32_t deadlineMs)
{
    return fastdds::Duration(deadlineMs / 1000, static_cast<uint32_t>(deadlineMs % 1000));
}

}  // namespace qara::nimb::ps::internal
