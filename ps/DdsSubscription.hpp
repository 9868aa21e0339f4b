#pragma once

#include "ps/SubscriptionManager.hpp"

#include <qara/nimb/ps/Subscription.hpp>

#include <memory>
#include <string>

namespace qara::nimb::ps {

// A registration handle. It keeps the subscriber object alive, closed or not; closing it after the
// subscriber was closed only marks it closed.
template <class T, class ST>
class DdsSubscription : public Subscription
{
public:
    DdsSubscription(std::string id, std::shared_ptr<DdsSubscriber<T, ST>> subscriber);

    void close() override = 0;

    const std::string& id() const { return m_id; }

protected:
    void closeIn(SubscriptionKind kind);

    std::string m_id;
    std::shared_ptr<DdsSubscriber<T, ST>> m_subscriber;
    bool m_closed;
};

template <class T, class ST, SubscriptionKind Kind>
class DdsSubscriptionOf final : public DdsSubscription<T, ST>
{
public:
    using DdsSubscription<T, ST>::DdsSubscription;
    ~DdsSubscriptionOf() override;

    void close() override { this->closeIn(Kind); }
};

template <class T, class ST>
using SyncDdsSubscription = DdsSubscriptionOf<T, ST, SubscriptionKind::Sync>;
template <class T, class ST>
using AsyncDdsSubscription = DdsSubscriptionOf<T, ST, SubscriptionKind::Async>;
template <class T, class ST>
using AsyncDdsSubscriptionNotifier = DdsSubscriptionOf<T, ST, SubscriptionKind::Notifier>;

}  // namespace qara::nimb::ps

#include "ps/DdsSubscription.inl"
