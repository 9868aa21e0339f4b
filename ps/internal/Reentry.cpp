#include "ps/internal/Reentry.hpp"

#include <mutex>
#include <new>
#include <vector>

namespace qara::nimb::ps::internal {

namespace {

thread_local int t_listenerDepth = 0;
thread_local int t_pollDepth = 0;

// Guards the parked list only; nothing is released while it is held.
std::mutex& parkedMutex()
{
    static std::mutex mutex;
    return mutex;
}

// Never destroyed: at exit, Fast DDS may already be gone, and the process takes the readers with it. Built in
// static storage rather than on the heap, so that a plug-in unloaded with nothing parked leaves nothing behind.
std::vector<std::shared_ptr<Parked>>& parkedList()
{
    using List = std::vector<std::shared_ptr<Parked>>;
    alignas(List) static unsigned char storage[sizeof(List)];
    static List* parked = new (storage) List();
    return *parked;
}

int& depthOf(CallbackScope::Kind kind)
{
    return kind == CallbackScope::Kind::Listener ? t_listenerDepth : t_pollDepth;
}

}  // namespace

namespace detail {

std::atomic<int> parkedCount{0};

void releaseParkedNow()
{
    if (insideListenerCallback())
    {
        return;
    }
    std::vector<std::shared_ptr<Parked>> due;
    {
        std::lock_guard<std::mutex> lock(parkedMutex());
        due.swap(parkedList());
        parkedCount.store(0, std::memory_order_release);
    }
    for (const auto& parked : due)
    {
        parked->releaseParked();
    }
}

}  // namespace detail

CallbackScope::CallbackScope(Kind kind) : m_kind(kind)
{
    ++depthOf(m_kind);
}

CallbackScope::~CallbackScope()
{
    --depthOf(m_kind);
}

bool insideListenerCallback()
{
    return t_listenerDepth > 0;
}

bool insideCallback()
{
    return t_listenerDepth > 0 || t_pollDepth > 0;
}

void park(std::shared_ptr<Parked> parked)
{
    std::lock_guard<std::mutex> lock(parkedMutex());
    parkedList().push_back(std::move(parked));
    detail::parkedCount.store(static_cast<int>(parkedList().size()), std::memory_order_release);
}

}  // namespace qara::nimb::ps::internal
