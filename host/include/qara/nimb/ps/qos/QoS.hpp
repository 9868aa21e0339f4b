#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace qara::nimb::ps::qos {

class QoS
{
public:
    virtual ~QoS();
};

// Virtual base: the most-derived class initialises it.
class DurationBasedQoS : public virtual QoS
{
public:
    explicit DurationBasedQoS(int32_t milliseconds);
    int32_t getDuration() const;

private:
    int32_t duration;
};

class Deadline : public virtual DurationBasedQoS
{
public:
    explicit Deadline(int32_t ms);
};

class Latency : public virtual DurationBasedQoS
{
public:
    explicit Latency(int32_t ms);
};

using QoSList = std::vector<std::shared_ptr<QoS>>;

}  // namespace qara::nimb::ps::qos
