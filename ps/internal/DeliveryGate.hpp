#pragma once

#include <condition_variable>
#include <mutex>

namespace qara::nimb::ps::internal {

// Lets one thread at a time deliver a reader's arrivals, and never makes a notification wait. One that comes
// while another thread delivers, or nested in a delivery on the same thread (a callback that publishes on its
// own topic), only asks the delivering thread to go round once more; a delivery takes until the reader has
// nothing left, so nothing is missed and the order stays that of arrival.
class DeliveryGate
{
public:
    // Calls deliver() until no arrival is pending, unless another delivery is in progress. deliver must not
    // throw.
    template <class Deliver>
    void arrive(Deliver deliver);
    void open();
    // No delivery starts after it returns; with `wait`, one in progress (on another thread) has ended too.
    void close(bool wait);

private:
    // Guards the three flags; never held while delivering.
    std::mutex m_mutex;
    std::condition_variable m_idle;
    bool m_open = false;
    bool m_busy = false;
    bool m_pending = false;
};

template <class Deliver>
void DeliveryGate::arrive(Deliver deliver)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_pending = true;
    if (m_busy)
    {
        return;
    }
    m_busy = true;
    while (m_pending && m_open)
    {
        m_pending = false;
        lock.unlock();
        deliver();
        lock.lock();
    }
    m_busy = false;
    m_idle.notify_all();
}

inline void DeliveryGate::open()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = true;
}

inline void DeliveryGate::close(bool wait)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_open = false;
    if (wait)
    {
        m_idle.wait(lock, [this] { return !m_busy; });
    }
}

}  // namespace qara::nimb::ps::internal
