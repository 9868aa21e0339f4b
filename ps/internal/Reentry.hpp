#pragma once

#include <atomic>
#include <memory>

namespace qara::nimb::ps::internal {

// What a thread inside a subscription callback must not do at once. Fast DDS cannot delete a reader from
// inside a listener call on the same thread, and a callback that waited for another subscriber's delivery
// could wait for a thread that is waiting for this one.
class CallbackScope
{
public:
    enum class Kind
    {
        Listener,  // a Fast DDS listener call, and the deliveries it makes
        Poll       // poll's delivery to synchronous callbacks, on the host's thread
    };

    explicit CallbackScope(Kind kind);
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    Kind m_kind;
};

// Inside a Fast DDS listener call on this thread: no reader may be deleted.
bool insideListenerCallback();
// Inside any subscription callback on this thread: nothing may wait for another delivery.
bool insideCallback();

// Something whose release had to wait for the thread to leave a listener call.
class Parked
{
public:
    virtual ~Parked() = default;
    // Releases what can be released now; may park itself again.
    virtual void releaseParked() = 0;
};

void park(std::shared_ptr<Parked> parked);

namespace detail {
extern std::atomic<int> parkedCount;
void releaseParkedNow();
}  // namespace detail

// Releases what listener calls parked, unless this thread is inside one. Every call into the library makes
// it, so the check is one atomic load while nothing is parked.
inline void releaseParked()
{
    if (detail::parkedCount.load(std::memory_order_acquire) != 0)
    {
        detail::releaseParkedNow();
    }
}

}  // namespace qara::nimb::ps::internal
