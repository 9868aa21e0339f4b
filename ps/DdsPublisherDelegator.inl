#pragma once

#include "ps/InstanceDdsPublisher.hpp"

namespace qara::nimb::ps {

template <class T, class ST>
DdsPublisherDelegator<T, ST>::DdsPublisherDelegator(std::shared_ptr<DdsPublisher<T, ST>> publisher)
    : m_publisher(std::move(publisher)), m_waitForAckTimeout(m_publisher->waitForAckTimeout())
{
}

template <class T, class ST>
std::unique_ptr<InstancePublisher<T>> DdsPublisherDelegator<T, ST>::createInstancePublisher(const T& instance)
{
    m_publisher->checkState();
    auto instancePublisher = std::make_unique<InstanceDdsPublisher<T, ST>>(m_publisher, m_waitForAckTimeout, instance);
    if (!m_publisher->addInstancePublisher(instancePublisher.get()))
    {
        m_publisher->failClosed();  // closed meanwhile: the new one goes with this refusal
    }
    return instancePublisher;
}

}  // namespace qara::nimb::ps
