#include <qara/nimb/ps/qos/QoS.hpp>

namespace qara::nimb::ps::qos {

QoS::~QoS() = default;

DurationBasedQoS::DurationBasedQoS(int32_t milliseconds) : duration(milliseconds) {}

int32_t DurationBasedQoS::getDuration() const
{
    return duration;
}

Deadline::Deadline(int32_t ms) : DurationBasedQoS(ms) {}

Latency::Latency(int32_t ms) : DurationBasedQoS(ms) {}

}  // namespace qara::nimb::ps::qos
