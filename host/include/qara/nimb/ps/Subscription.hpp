#pragma once

namespace qara::nimb::ps {

// One registration with a subscriber. Destroying it closes it.
class Subscription
{
public:
    // Removes the registration; a second call, or one after the subscriber's close, does nothing.
    // From outside the subscriber's callbacks it waits for a delivery of its kind in progress: no call of
    // the callback is running or starts once it returns. From inside a callback of the same subscriber it
    // does not wait, since the delivery of the other kind may be waiting for this thread: no delivery that
    // begins after it returns calls the callback, but one already running on another thread may finish the
    // call it has begun.
    virtual void close() = 0;
    virtual ~Subscription();
};

}  // namespace qara::nimb::ps
