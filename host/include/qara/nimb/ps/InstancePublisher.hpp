#pragma once

#include <qara/nimb/Nimb.hpp>
#include <qara/nimb/ps/DataEntityFactory.hpp>

#include <chrono>
#include <memory>

namespace qara::nimb::ps {

// Writes samples of one topic; as made by Publisher::createInstancePublisher, of one registered instance,
// with its own writer. Every operation but getNimb() and close() throws IllegalStateException once closed.
template <class T>
class InstancePublisher : public virtual DataEntityFactory<T>
{
public:
    ~InstancePublisher() override = default;
    // The host object the publisher was made with; works after close() too.
    virtual std::shared_ptr<Nimb> getNimb() const = 0;
    // Writes data with the current time as source time stamp. A negative timeout throws NimbException;
    // otherwise it is not used: the write blocks only as long as the writer's QoS allows when its history
    // is full. Throws IllegalStateException for an entity not made by this library, and when DDS refuses
    // the write std::runtime_error (a Publisher) or IllegalStateException (an instance publisher).
    virtual void publish(const T& data, const std::chrono::milliseconds& timeout) = 0;
    // As above, with timestamp (seconds since the epoch, negative allowed) as the source time stamp.
    virtual void publish(double timestamp, const T& data, const std::chrono::milliseconds& timeout) = 0;
    // Waits up to "dds.wait_for_ack.timeout_ms" (default 5000; 0 or less: no wait) for the readers to
    // acknowledge what was written, then deletes the writer; a second call does nothing. Never throws.
    // Must not run while another thread publishes through a Publisher; from a callback that a Publisher's
    // own publish delivered in this process, it closes at once and the writer goes when that publish returns.
    virtual void close() = 0;
};

}  // namespace qara::nimb::ps
