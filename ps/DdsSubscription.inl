#pragma once

namespace qara::nimb::ps {

template <class T, class ST>
DdsSubscription<T, ST>::DdsSubscription(std::string id, std::shared_ptr<DdsSubscriber<T, ST>> subscriber)
    : m_id(std::move(id)), m_subscriber(std::move(subscriber)), m_closed(false)
{
}

template <class T, class ST>
void DdsSubscription<T, ST>::closeIn(SubscriptionKind kind)
{
    internal::releaseParked();
    if (m_closed)
    {
        return;
    }
    if (const auto manager = m_subscriber->subscriptionManager())
    {
        manager->unsubscribe(kind, m_id);
    }
    m_closed = true;
}

template <class T, class ST, SubscriptionKind Kind>
DdsSubscriptionOf<T, ST, Kind>::~DdsSubscriptionOf()
{
    try
    {
        this->closeIn(Kind);
    }
    catch (...)
    {
        // A destructor never throws; the registration stays until the subscriber closes.
    }
}

}  // namespace qara::nimb::ps
