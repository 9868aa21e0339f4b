#pragma once

namespace qara::nimb::ps {

// One registration with a subscriber. Destroying it closes it.
class Subscription
{
public:
    // Removes the registration; a second call, or one after the subscriber's close, does nothing.
    // From outside every subscription callback it waits for a delivery of its kind in progress: no call of
    // the callback is running or starts once it returns. From inside any callback it does not wait, since
    // that delivery may be waiting for this thread: no delivery that begins after it returns calls the
    // callback, but one already running on another thread may finish the call it has begun.
    virtual void close() = 0;
    virtual ~Subscription();
};

}  // namespace qara::nimb::ps
